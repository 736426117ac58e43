// The command-line grammar of flashupdate and its main dialog, on a board
// with a restart hook (a restart must not end the test) and the UI double.
#include <gtest/gtest.h>

#include <cwchar>
#include <string>
#include <vector>

#include "board/board.h"
#include "board/hal.h"
#include "platform/clock.h"
#include "platform/host/clock.h"
#include "platform/host/entry.h"
#include "tests/support/temp_board.h"
#include "tests/support/ui_double.h"
#include "resources/resources.h"
#include "shell/entry.h"
#include "shell/main_dialog.h"
#include "update/globals.h"

namespace {

struct Restart {
    bool cold;
    uint64_t atMicros;
};
std::vector<Restart> restarts;

void OnRestart(bool cold) { restarts.push_back({cold, OsClockMicros()}); }

class ShellTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        restarts.clear();
        board::SetRestartHook(OnRestart);
        OsUseVirtualClock(1000000, 1);
        uidouble::Install();
        ImagePath[0] = 0;
    }
    void TearDown() override
    {
        uidouble::Uninstall();
        OsUseRealClock();
        board::SetRestartHook(nullptr);
    }
    int Run(const wchar_t* commandLine)
    {
        std::wstring copy(commandLine);
        std::vector<wchar_t> buffer(copy.begin(), copy.end());
        buffer.push_back(0);
        return FlashUpdateMain(OsModuleFor(&AppResources), nullptr, buffer.data(), 0);
    }
    std::vector<std::string> EventsLike(const std::string& word)
    {
        std::vector<std::string> out;
        for (const auto& e : board::Events())
            if (e.rfind(word, 0) == 0)
                out.push_back(e);
        return out;
    }
    TempBoard board_;
};

TEST(RestartDelay, ConvertsLikeTheDeviceRuntime)
{
    EXPECT_EQ(ParseRestartDelay(L""), 0u);
    EXPECT_EQ(ParseRestartDelay(L"500"), 500u);
    EXPECT_EQ(ParseRestartDelay(L"  \t42abc"), 42u);
    EXPECT_EQ(ParseRestartDelay(L"+7"), 7u);
    EXPECT_EQ(ParseRestartDelay(L" c50"), 0u);
    EXPECT_EQ(ParseRestartDelay(L"-500"), 0u) << "a negative delay restarts at once";
    EXPECT_EQ(ParseRestartDelay(L"2147483647"), 2147483647u);
    EXPECT_EQ(ParseRestartDelay(L"2147483648"), 2147483647u) << "clamped, not wrapped";
    EXPECT_EQ(ParseRestartDelay(L"99999999999999999999999"), 2147483647u);
}

TEST_F(ShellTest, RestartOptionsAndTheirDelays)
{
    uint64_t start = OsClockMicros();
    EXPECT_EQ(Run(L"/r"), 1);
    ASSERT_EQ(restarts.size(), 1u);
    EXPECT_FALSE(restarts[0].cold);
    EXPECT_LT(restarts[0].atMicros - start, 1000u) << "no delay";

    start = OsClockMicros();
    EXPECT_EQ(Run(L"/r 500"), 1);
    ASSERT_EQ(restarts.size(), 2u);
    EXPECT_FALSE(restarts[1].cold);
    EXPECT_GE(restarts[1].atMicros - start, 500000u);
    EXPECT_LT(restarts[1].atMicros - start, 510000u);

    start = OsClockMicros();
    EXPECT_EQ(Run(L"/rc500"), 1);
    ASSERT_EQ(restarts.size(), 3u);
    EXPECT_TRUE(restarts[2].cold);
    EXPECT_GE(restarts[2].atMicros - start, 500000u);

    start = OsClockMicros();
    EXPECT_EQ(Run(L"/r c50"), 1) << "position 2 is a blank: warm, at once";
    ASSERT_EQ(restarts.size(), 4u);
    EXPECT_FALSE(restarts[3].cold);
    EXPECT_LT(restarts[3].atMicros - start, 1000u);

    EXPECT_EQ(Run(L"/rc"), 1);
    EXPECT_EQ(Run(L"/rcold"), 1);
    EXPECT_EQ(Run(L"/reboot"), 1);
    ASSERT_EQ(restarts.size(), 7u);
    EXPECT_TRUE(restarts[4].cold);
    EXPECT_TRUE(restarts[5].cold);
    EXPECT_FALSE(restarts[6].cold);
}

// The clean-boot mark of "/rc" is set before the delay is slept.
static std::vector<std::string> eventsAtSleep;
static uint64_t fakeNow;
static uint64_t FakeNow(void*) { return fakeNow; }
static void FakeSleep(void*, uint64_t us)
{
    eventsAtSleep = board::Events();
    fakeNow += us;
}

TEST_F(ShellTest, CleanBootMarkComesBeforeTheSleep)
{
    OsClockOps ops{FakeNow, FakeSleep, nullptr};
    OsSetClock(&ops);
    eventsAtSleep.clear();
    Run(L"/rc 500");
    OsUseVirtualClock();
    bool marked = false;
    for (const auto& e : eventsAtSleep)
        if (e.find("clean-boot") != std::string::npos)
            marked = true;
    EXPECT_TRUE(marked);
    ASSERT_EQ(restarts.size(), 1u);
    EXPECT_TRUE(restarts[0].cold);
}

TEST_F(ShellTest, FailedRestartReturnsOne)
{
    ASSERT_TRUE(board::SetSetting("hal-restart", "fail"));
    EXPECT_EQ(Run(L"/r"), 1);
    EXPECT_TRUE(restarts.empty());
    EXPECT_TRUE(uidouble::Boxes().empty()) << "a failed restart is not reported";
}

TEST_F(ShellTest, UnknownAndUpperCaseOptionsDoNothing)
{
    for (const wchar_t* line : {L"/", L"/U x.bin", L"/F", L"/R", L"/x", L"/?"}) {
        EXPECT_EQ(Run(line), 1);
    }
    EXPECT_TRUE(restarts.empty());
    EXPECT_TRUE(uidouble::Boxes().empty());
    EXPECT_TRUE(uidouble::DialogsOpened().empty());
}

TEST_F(ShellTest, SaveRegistryFromTheCommandLine)
{
    EXPECT_EQ(Run(L"/f"), 1);
    ASSERT_TRUE(board::SetSetting("registry-flush", "fail"));
    EXPECT_EQ(Run(L"/f whatever"), 1);
    auto boxes = uidouble::Boxes();
    ASSERT_EQ(boxes.size(), 2u);
    EXPECT_EQ(boxes[0].text, L"Registry Succesfully Saved");
    EXPECT_EQ(boxes[0].caption, L"Registry");
    EXPECT_EQ(boxes[0].style, 0u);
    EXPECT_EQ(boxes[0].owner, nullptr);
    EXPECT_EQ(boxes[1].text, L"Registry Save FAILED!");
}

TEST_F(ShellTest, NoOptionOpensTheMainDialogWithItsCaption)
{
    uidouble::PressNext(2);
    EXPECT_EQ(Run(L""), 1);
    uidouble::PressNext(2);
    EXPECT_EQ(Run(L" /u x.bin"), 1) << "a leading blank is no option";
    auto opened = uidouble::DialogsOpened();
    ASSERT_EQ(opened.size(), 2u);
    EXPECT_EQ(uidouble::Caption(opened[0].dialog), L"Update Tool 1.7");
    EXPECT_EQ(opened[0].owner, nullptr);
    EXPECT_TRUE(uidouble::OpenFileCalls().empty());
}

TEST_F(ShellTest, MainDialogCommands)
{
    ASSERT_TRUE(board::SetSetting("hal-restart", "fail"));
    uidouble::PressNext(1001);   // save
    uidouble::PressNext(1000);   // clear
    uidouble::PressNext(4242);   // unknown: ignored
    uidouble::PressNext(1005);   // warm restart fails: nothing shown
    uidouble::PressNext(1003);   // cold restart fails: nothing shown
    uidouble::PressNext(2);
    EXPECT_EQ(Run(L""), 1);
    auto boxes = uidouble::Boxes();
    ASSERT_EQ(boxes.size(), 2u);
    EXPECT_EQ(boxes[0].text, L"Registry Succesfully Saved");
    EXPECT_EQ(boxes[1].text, L"Registry Succesfully Cleared");
    EXPECT_EQ(boxes[1].caption, L"Registry");
    auto opened = uidouble::DialogsOpened();
    ASSERT_EQ(opened.size(), 1u);
    EXPECT_EQ(boxes[0].owner, opened[0].dialog);
    EXPECT_EQ(EventsLike("restart failed").size(), 2u);
    EXPECT_EQ(EventsLike("clean-boot").size(), 1u);
}

TEST_F(ShellTest, RegistryFailuresShowTheirTexts)
{
    ASSERT_TRUE(board::SetSetting("registry-flush", "fail"));
    ASSERT_TRUE(board::SetSetting("hal-registry-clear", "fail"));
    uidouble::PressNext(1001);
    uidouble::PressNext(1000);
    uidouble::PressNext(2);
    Run(L"");
    auto boxes = uidouble::Boxes();
    ASSERT_EQ(boxes.size(), 2u);
    EXPECT_EQ(boxes[0].text, L"Registry Save FAILED!");
    EXPECT_EQ(boxes[1].text, L"Registry Clear FAILED!");
}

TEST(MainDialogProcTest, UnknownMessagesAndCommands)
{
    EXPECT_EQ(MainDialogProc(nullptr, 0x0F, 0, 0), 0);
    EXPECT_EQ(MainDialogProc(nullptr, OS_WM_COMMAND, 0xABCD0000u | 999u, 0), 1);
}

TEST_F(ShellTest, UpdateOptionFillsImagePath)
{
    // "/u" alone: the chooser asks; cancelled, nothing is started.
    EXPECT_EQ(Run(L"/u"), 1);
    EXPECT_EQ(Run(L"/u "), 1);
    auto calls = uidouble::OpenFileCalls();
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_EQ(calls[0].initialName, L"");

    // A path that does not fit is refused with a message, never cut.
    std::wstring longLine = L"/u " + std::wstring(260, L'a');
    EXPECT_EQ(Run(longLine.c_str()), 1);
    auto boxes = uidouble::Boxes();
    ASSERT_FALSE(boxes.empty());
    EXPECT_EQ(boxes.back().caption, L"ERROR");
    EXPECT_EQ(uidouble::DialogsOpened().size(), 2u) << "no progress dialog for a refused path";
}

TEST_F(ShellTest, UpdateOptionReportsAMissingFileByItsPath)
{
    // The separator is skipped whatever it is; quotes stay part of the path.
    EXPECT_EQ(Run(L"/uX\"\\nothere.bin\""), 1);
    auto boxes = uidouble::Boxes();
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].text, L"Cannot Open Image File \"\\nothere.bin\"");
    EXPECT_EQ(boxes[0].caption, L"ERROR");
    EXPECT_EQ(ImagePath[0], 0) << "emptied when the worker ends";
}

}  // namespace
