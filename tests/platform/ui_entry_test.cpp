// Program start: the command line handed to the entry, the module, the
// result.
#include <gtest/gtest.h>

#include <string>

#include "platform/host/entry.h"
#include "platform/posix/ui_presenter.h"
#include "tests/support/temp_board.h"

namespace {

std::wstring seenLine;
Instance seenInstance;
Instance seenPrevious;

int RecordingEntry(Instance instance, Instance previous, wchar_t* commandLine, int)
{
    seenLine = commandLine;
    seenInstance = instance;
    seenPrevious = previous;
    return 1;
}

int RunProgram(std::vector<std::string> args)
{
    std::vector<char*> argv;
    for (auto& a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    static const OsResourceTable table = {0, nullptr};
    int r = OsRunProgram(static_cast<int>(args.size()), argv.data(), &table, RecordingEntry);
    EXPECT_EQ(seenInstance, OsModuleFor(&table));
    EXPECT_EQ(seenPrevious, nullptr);
    return r;
}

TEST(UiEntry, ArgumentsJoinedWithSingleBlanksAndWidenedFromUtf8)
{
    TempBoard board;
    EXPECT_EQ(RunProgram({"flashupdate"}), 1);
    EXPECT_EQ(seenLine, L"");
    EXPECT_EQ(RunProgram({"flashupdate", "/u", "/tmp/n\xC3\xA4me.bin"}), 1);
    EXPECT_EQ(seenLine, L"/u /tmp/n\u00E4me.bin");
    EXPECT_EQ(RunProgram({"flashupdate", "/u", "a  b", "c"}), 1);
    EXPECT_EQ(seenLine, L"/u a  b c") << "blanks inside an argument stay";
    EXPECT_EQ(RunProgram({"flashupdate", "/r", "\xFF"}), 1);
    EXPECT_EQ(seenLine, L"/r \xDCFF") << "a byte that is no UTF-8 is kept, and goes back to itself";
}

TEST(UiText, Utf8BothWays)
{
    // Wide text is UTF-16 on either width: beyond U+FFFF, a surrogate pair.
    const std::wstring text = {L'a', L'\u00E4', L'\u20AC', static_cast<wchar_t>(0xD83D), static_cast<wchar_t>(0xDE00)};
    EXPECT_EQ(UiUtf8(text), "a\xC3\xA4\xE2\x82\xAC\xF0\x9F\x98\x80");
    EXPECT_EQ(UiWideFromUtf8(UiUtf8(text)), text);
    // Bytes that are not UTF-8 are kept: each stands for itself and goes
    // back to the same byte.
    EXPECT_EQ(UiWideFromUtf8("\xC3"), L"\xDCC3") << "cut sequence: the byte itself";
    EXPECT_EQ(UiWideFromUtf8("\xE0\x80\x80"), L"\xDCE0\xDC80\xDC80") << "overlong form refused";
    EXPECT_EQ(UiUtf8(UiWideFromUtf8("n\xFFme\xE0\x80")), "n\xFFme\xE0\x80");
    const wchar_t pair[] = {L'a', static_cast<wchar_t>(0xD83D), static_cast<wchar_t>(0xDE00), 0};
    EXPECT_EQ(UiUtf8(pair), "a\xF0\x9F\x98\x80") << "a UTF-16 pair is one character";
}

TEST(UiBoxes, ButtonsDefaultsAndCloseAnswers)
{
    EXPECT_EQ(UiBoxButtons(0x131), (std::vector<int>{OS_IDOK, OS_IDCANCEL}));
    EXPECT_EQ(UiBoxDefault(0x131), OS_IDCANCEL);
    EXPECT_EQ(UiBoxDefault(OS_MB_YESNO), OS_IDYES);
    EXPECT_EQ(UiBoxDefault(OS_MB_YESNO | 0x200), OS_IDYES) << "no third button: the first";
    EXPECT_EQ(UiBoxCloseAnswer(OS_MB_YESNO), OS_IDNO);
    EXPECT_EQ(UiBoxCloseAnswer(0x131), OS_IDCANCEL);
    EXPECT_EQ(UiBoxCloseAnswer(OS_MB_OK), OS_IDOK);
}

}  // namespace
