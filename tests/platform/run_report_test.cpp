// The closing line of a run: what it says for each kind of run, and how it
// is folded for a narrow terminal.
#include <gtest/gtest.h>

#include <string>

#include "platform/common/run_report.h"

namespace {

std::string Closing(const RunFacts& f, size_t room = 512)
{
    char out[512];
    size_t n = RunFormatClosing(f, "flashupdate", out, room);
    EXPECT_EQ(n, std::string(out).size());
    return std::string(out, n);
}

std::string Fold(const std::string& line, size_t width)
{
    char out[1024];
    size_t n = RunFoldLine(line.data(), line.size(), width, out, sizeof out);
    return std::string(out, n);
}

TEST(RunReport, TheFlashComesFirstThenTheRegistryAndTheRestart)
{
    RunFacts f;
    EXPECT_EQ(Closing(f), "flashupdate: nothing done, flash unchanged\n");
    f.flashMapped = true;
    EXPECT_EQ(Closing(f), "flashupdate: flash unchanged\n");

    // Written, then asked about the restart: complete.
    f.programmedBytes = 0x1F000;
    f.erasedBytes = 0x40000;
    f.changedLow = 0x80000;
    f.changedHigh = 0xC0000;
    f.writtenLow = 0x80000;
    f.writtenHigh = 0xA0000;
    f.reachedQuestion = true;
    f.restart = 2;
    EXPECT_EQ(Closing(f), "flashupdate: flash written and read back: 131072 bytes at flash offset 0x00080000; "
                          "cold restart\n");

    // Changed since the question (or never asked): failed, and said first.
    f.reachedQuestion = false;
    f.restart = 0;
    f.stoppedBySignal = true;
    std::string failed = Closing(f);
    EXPECT_EQ(failed.rfind("flashupdate: FAILED: flash changed (262144 bytes erased, 126976 programmed, in "
                           "0x00080000-0x000BFFFF)", 0),
              0u)
        << failed;
    EXPECT_NE(failed.find("do not restart"), std::string::npos) << failed;
    EXPECT_EQ(failed.substr(failed.size() - 22), "; stopped by a signal\n");

    RunFacts registry;
    registry.registryClear = 1;
    registry.registrySave = -1;
    registry.restart = -1;
    EXPECT_EQ(Closing(registry), "flashupdate: registry cleared; registry save FAILED; restart FAILED\n");
    registry = RunFacts{};
    registry.registrySave = 1;
    registry.restart = 1;
    EXPECT_EQ(Closing(registry), "flashupdate: registry saved; warm restart\n");
}

TEST(RunReport, AShortBufferStillEndsTheLine)
{
    RunFacts f;
    EXPECT_EQ(Closing(f, 16), "flashupdate: n\n");
    EXPECT_EQ(Closing(f, 2), "\n");
    EXPECT_EQ(Closing(f, 1), "") << "no room for the newline: nothing, terminated";
}

TEST(RunReport, FoldingKeepsEveryWordAndFitsTheWidth)
{
    const std::string line =
        "flashupdate: flash written and read back: 2097152 bytes at flash offset 0x00080000; cold restart\n";
    EXPECT_EQ(Fold(line, 0), line);
    EXPECT_EQ(Fold(line, 200), line);
    for (size_t width : {4u, 10u, 20u, 33u, 80u}) {
        SCOPED_TRACE(width);
        std::string folded = Fold(line, width);
        std::string joined;
        size_t start = 0;
        for (size_t nl; (nl = folded.find('\n', start)) != std::string::npos; start = nl + 1) {
            std::string part = folded.substr(start, nl - start);
            EXPECT_LT(part.size(), width) << part;
            if (start > 0) {
                ASSERT_EQ(part.rfind("  ", 0), 0u) << "a further line is indented: " << part;
                part = part.substr(2);
                // A line broken at a blank continues with the next word.
                if (width > 12 && !joined.empty())
                    joined += ' ';
            }
            joined += part;
        }
        EXPECT_EQ(start, folded.size()) << "ends with its newline";
        if (width > 12) {
            EXPECT_EQ(joined + "\n", line);
        } else {   // words wider than the line are cut: no character lost
            auto letters = [](std::string s) {
                std::erase_if(s, [](char c) { return c == ' ' || c == '\n'; });
                return s;
            };
            EXPECT_EQ(letters(folded), letters(line));
        }
    }
}

TEST(RunReport, TheReasonLineNamesTheProgramAndIsSaidOnce)
{
    RunReportEnable("flashupdate");
    RunNoteReason("No such file or directory");
    EXPECT_EQ(RunReasonLine(), "flashupdate: No such file or directory\n");
    RunDropReason();
    EXPECT_EQ(RunReasonLine(), "");
    RunReportEnable(nullptr);
    RunNoteReason("Is a directory");
    EXPECT_EQ(RunReasonLine(), "") << "the report is off";
    RunDropReason();
}

}  // namespace
