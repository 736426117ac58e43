// Ctrl-C belongs to the window in front when it arrives: a message box
// takes it as Escape, the open-file dialog as cancel, and neither hands it
// on to the dialog behind, then or later. The line protocol on descriptors
// the test controls; UiInterrupt is what the signal handler calls.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/common/sync.h"
#include "platform/host/clock.h"
#include "platform/posix/ui_presenter.h"
#include "platform/sync.h"
#include "platform/ui.h"
#include "tests/platform/bin_chooser.h"
#include "tests/platform/files_board_dir.h"

namespace {

class UiInterrupts : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_EQ(pipe(in_), 0);
        out_ = tmpfile();
        ASSERT_NE(out_, nullptr);
        UiSetPresenter(UiNewLinePresenter(in_[0], fileno(out_)));
        OsInitCommonControls();
        UiPrepareInterrupts();
        commands_.clear();
    }
    void TearDown() override
    {
        UiSetPresenter(nullptr);
        close(in_[0]);
        CloseInput();
        fclose(out_);
    }
    void Feed(const std::string& text) { ASSERT_EQ(write(in_[1], text.data(), text.size()), ssize_t(text.size())); }
    void CloseInput()
    {
        if (in_[1] >= 0)
            close(in_[1]);
        in_[1] = -1;
    }
    std::string Output()
    {
        std::string text;
        char buf[4096];
        ssize_t n;
        while ((n = pread(fileno(out_), buf, sizeof buf, static_cast<off_t>(text.size()))) > 0)
            text.append(buf, static_cast<size_t>(n));
        return text;
    }
    // Waits (bounded) until the output shows text.
    bool Shown(const std::string& text)
    {
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (Output().find(text) == std::string::npos) {
            if (std::chrono::steady_clock::now() > deadline)
                return false;
            std::this_thread::yield();
        }
        return true;
    }

    int in_[2] = {-1, -1};
    FILE* out_ = nullptr;
    static std::vector<int> commands_;
};
std::vector<int> UiInterrupts::commands_;

const OsDialogItem kItems[] = {
    {2, L"BUTTON", L"Abort", 52, 71, 58, 11, 0x50010000},
    {1001, L"BUTTON", L"Next", 7, 7, 58, 11, 0x50010000},
};
const OsDialogTemplate kDialog = {L"Front", 0x80C800C0, 0, 0, 171, 89, L"System", 8, 2, kItems};

std::atomic<int> g_boxAnswer{0};
std::atomic<bool> g_boxDone{false};
std::atomic<int> g_workerTid{0};
std::atomic<int> g_commandCount{0};
std::thread g_worker;
int g_chooserResult = -1;

TEST_F(UiInterrupts, ThreadedAMessageBoxTakesItAsEscapeAndTheDialogBehindNeverSeesIt)
{
    g_boxAnswer = 0;
    g_boxDone = false;
    g_commandCount = 0;
    auto proc = [](Window dialog, uint32_t message, uintptr_t wParam, intptr_t) -> intptr_t {
        if (message == OS_WM_INITDIALOG)
            g_worker = std::thread([dialog] {
                g_boxAnswer = OsMessageBox(dialog, L"To finish the update reset the system.\n Reset now?", L"RESET",
                                           OS_MB_YESNO);
                g_boxDone = true;
            });
        if (message == OS_WM_COMMAND) {
            commands_.push_back(static_cast<int>(wParam & 0xFFFF));
            ++g_commandCount;
            if ((wParam & 0xFFFF) == 2)
                OsEndDialog(dialog, 0);
        }
        return 1;
    };
    std::thread user([this] {
        ASSERT_TRUE(Shown("[Yes / No]"));
        EXPECT_TRUE(UiInterrupt());
        // The box answers at once; were the interrupt the dialog's, the box
        // would wait for its line and take Yes at the end of input.
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (!g_boxDone && std::chrono::steady_clock::now() < deadline)
            std::this_thread::yield();
        // The dialog is in front again: its next command, then Ctrl-C.
        Feed("1001\n");
        deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (g_commandCount == 0 && std::chrono::steady_clock::now() < deadline)
            std::this_thread::yield();
        EXPECT_TRUE(UiInterrupt());
        deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (g_commandCount < 2 && std::chrono::steady_clock::now() < deadline)
            std::this_thread::yield();
        CloseInput();
    });
    EXPECT_EQ(OsDialogBoxIndirectParam(nullptr, &kDialog, nullptr, proc, 0), 0);
    user.join();
    g_worker.join();
    EXPECT_EQ(g_boxAnswer.load(), OS_IDNO) << Output();
    EXPECT_NE(Output().find("(interrupted: No)"), std::string::npos) << Output();
    EXPECT_EQ(commands_, (std::vector<int>{1001, 2})) << Output();
}

TEST_F(UiInterrupts, ThreadedTheOpenFileDialogCancelsAndHoldsNothingForTheDialogBehind)
{
    char hostPath[] = "/tmp/ui-interrupt-XXXXXX";
    int fd = mkstemp(hostPath);
    ASSERT_GE(fd, 0);
    close(fd);
    static std::string path;
    path = hostPath;
    g_chooserResult = -1;
    auto proc = [](Window dialog, uint32_t message, uintptr_t wParam, intptr_t) -> intptr_t {
        if (message == OS_WM_INITDIALOG) {
            static wchar_t file[260];
            file[0] = 0;
            OsOpenFileName record = BinChooserRecord(file, 260);
            record.owner = dialog;
            g_chooserResult = OsGetOpenFileName(&record);
        }
        if (message == OS_WM_COMMAND) {
            commands_.push_back(static_cast<int>(wParam & 0xFFFF));
            if ((wParam & 0xFFFF) == 1001)
                OsEndDialog(dialog, 0);
        }
        return 1;
    };
    std::thread user([this] {
        ASSERT_TRUE(Shown("Path (empty line: cancel):"));
        EXPECT_TRUE(UiInterrupt());
        // A chooser deaf to Ctrl-C would take this path, and the dialog
        // behind it would get the held interrupt as its first command.
        Feed(path + "\n1001\n");
    });
    EXPECT_EQ(OsDialogBoxIndirectParam(nullptr, &kDialog, nullptr, proc, 0), 0);
    user.join();
    unlink(hostPath);
    EXPECT_EQ(g_chooserResult, 0) << Output();
    EXPECT_EQ(commands_, (std::vector<int>{1001})) << Output();
    EXPECT_FALSE(UiInterrupt()) << "no window open";
}

// Once a box has its answer it is no longer in front, even while its echo
// waits for a reader of a full standard error: the interrupt is the
// dialog's (command 2), never lost with the finished box.
TEST_F(UiInterrupts, ThreadedAnInterruptWhileTheAnswersEchoBlocksGoesToTheDialogBehind)
{
    int err[2];
    ASSERT_EQ(pipe(err), 0);
    fcntl(err[1], F_SETPIPE_SZ, 4096);
    UiSetPresenter(UiNewLinePresenter(in_[0], err[1]));
    g_boxAnswer = 0;
    g_boxDone = false;
    g_commandCount = 0;
    auto proc = [](Window dialog, uint32_t message, uintptr_t wParam, intptr_t) -> intptr_t {
        if (message == OS_WM_INITDIALOG)
            g_worker = std::thread([dialog] {
                g_workerTid = static_cast<int>(syscall(SYS_gettid));
                g_boxAnswer = OsMessageBox(dialog, L"Overlap", L"WARNING", OS_MB_OKCANCEL);
                g_boxDone = true;
            });
        if (message == OS_WM_COMMAND) {
            commands_.push_back(static_cast<int>(wParam & 0xFFFF));
            ++g_commandCount;
            OsEndDialog(dialog, 0);
        }
        return 1;
    };
    std::string seen;
    auto readUntil = [&](const std::string& text) {
        char buf[4096];
        while (seen.find(text) == std::string::npos) {
            ssize_t n = read(err[0], buf, sizeof buf);
            if (n <= 0)
                return false;
            seen.append(buf, static_cast<size_t>(n));
        }
        return true;
    };
    std::thread user([&] {
        ASSERT_TRUE(readUntil("[OK / Cancel]\n"));
        // Standard error full: the box's echo will block.
        fcntl(err[1], F_SETFL, fcntl(err[1], F_GETFL) | O_NONBLOCK);
        std::string filler(4096, '.');
        while (write(err[1], filler.data(), filler.size()) > 0) {
        }
        fcntl(err[1], F_SETFL, fcntl(err[1], F_GETFL) & ~O_NONBLOCK);
        Feed("ok\n");
        // The box has taken its answer once its thread waits in write(2):
        // only the echo is left to write then.
        auto inWrite = [] {
            std::ifstream call("/proc/self/task/" + std::to_string(g_workerTid.load()) + "/syscall");
            long number = -1;
            return (call >> number) && number == SYS_write;
        };
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (!inWrite() && std::chrono::steady_clock::now() < deadline)
            std::this_thread::yield();
        EXPECT_FALSE(g_boxDone.load()) << "the echo should still wait";
        EXPECT_TRUE(UiInterrupt());
        ASSERT_TRUE(readUntil("-> OK\n"));
        deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (g_commandCount == 0 && std::chrono::steady_clock::now() < deadline) {
            char buf[4096];
            fcntl(err[0], F_SETFL, fcntl(err[0], F_GETFL) | O_NONBLOCK);
            ssize_t n = read(err[0], buf, sizeof buf);
            if (n > 0)
                seen.append(buf, static_cast<size_t>(n));
            std::this_thread::yield();
        }
        if (g_commandCount == 0)
            Feed("1001\n");   // the interrupt was lost: end the dialog anyway
    });
    EXPECT_EQ(OsDialogBoxIndirectParam(nullptr, &kDialog, nullptr, proc, 0), 0);
    user.join();
    g_worker.join();
    UiSetPresenter(nullptr);
    close(err[0]);
    close(err[1]);
    EXPECT_EQ(g_boxAnswer.load(), OS_IDOK) << seen;
    EXPECT_EQ(commands_, (std::vector<int>{2})) << seen;
}

// A wait for the board's flash says what it waits for once it has lasted the
// grace time on the platform's clock (virtual here), once; a shorter wait
// and a long wait for another mutex say nothing.
TEST_F(UiInterrupts, ThreadedAWaitForTheFlashIsSaidOnceItLasts)
{
    BoardDir board;
    Handle flash = OsCreateMutex(L"NorFlash");
    Handle other = OsCreateMutex(L"Other");
    ASSERT_EQ(OsWaitForSingleObject(flash, 0), OS_WAIT_OBJECT_0);
    ASSERT_EQ(OsWaitForSingleObject(other, 0), OS_WAIT_OBJECT_0);
    OsUseVirtualClock(1000, 1);
    const std::string said = std::string(kFlashWaitText) + "\n";
    uint32_t shortWait = 0, otherWait = 0, longWait = 0;
    std::string before;
    std::thread waiter([&] {
        Handle ownFlash = OsCreateMutex(L"NorFlash");
        Handle ownOther = OsCreateMutex(L"Other");
        shortWait = OsWaitForSingleObject(ownFlash, kFlashWaitGraceMs - 100);
        otherWait = OsWaitForSingleObject(ownOther, 10 * kFlashWaitGraceMs);
        before = Output();
        longWait = OsWaitForSingleObject(ownFlash, OS_INFINITE);
        OsReleaseMutex(ownFlash);
        OsCloseHandle(ownFlash);
        OsCloseHandle(ownOther);
    });
    bool shown = Shown(said);
    OsReleaseMutex(flash);
    waiter.join();
    OsUseRealClock();
    EXPECT_TRUE(shown) << Output();
    EXPECT_EQ(shortWait, OS_WAIT_TIMEOUT);
    EXPECT_EQ(otherWait, OS_WAIT_TIMEOUT);
    EXPECT_EQ(before, "") << "said before the grace time, or for another mutex";
    EXPECT_EQ(longWait, OS_WAIT_OBJECT_0) << "taken once the holder let go";
    EXPECT_EQ(Output(), said) << "said once";
    OsReleaseMutex(other);
    OsCloseHandle(flash);
    OsCloseHandle(other);
}

}  // namespace
