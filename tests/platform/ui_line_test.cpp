// The unattended line protocol, on descriptors the test controls: answers
// are written into a pipe, what the protocol writes goes to a temporary file.
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>

#include "files_board_dir.h"
#include "platform/clock.h"
#include "platform/host/clock.h"
#include "platform/host/text.h"
#include "platform/posix/ui_line.h"
#include "platform/posix/ui_presenter.h"
#include "platform/text.h"
#include "platform/ui.h"
#include "tests/platform/bin_chooser.h"

namespace {

class UiLine : public ::testing::Test {
protected:
    // Installs the line protocol reading `input` (then end of input).
    void Start(const std::string& input)
    {
        ASSERT_EQ(pipe(in_), 0);
        ASSERT_EQ(write(in_[1], input.data(), input.size()), static_cast<ssize_t>(input.size()));
        close(in_[1]);
        in_[1] = -1;
        out_ = tmpfile();
        ASSERT_NE(out_, nullptr);
        UiSetPresenter(UiNewLinePresenter(in_[0], fileno(out_)));
        OsInitCommonControls();
    }
    // Starts with an input pipe that stays open; Feed() writes to it.
    void StartOpen()
    {
        ASSERT_EQ(pipe(in_), 0);
        out_ = tmpfile();
        ASSERT_NE(out_, nullptr);
        UiSetPresenter(UiNewLinePresenter(in_[0], fileno(out_)));
        OsInitCommonControls();
    }
    void Feed(const std::string& text)
    {
        ASSERT_EQ(write(in_[1], text.data(), text.size()), static_cast<ssize_t>(text.size()));
    }
    void TearDown() override
    {
        UiSetPresenter(nullptr);
        if (in_[0] >= 0)
            close(in_[0]);
        if (in_[1] >= 0)
            close(in_[1]);
        if (out_)
            fclose(out_);
        OsUseRealClock();
    }
    std::string Output()
    {
        std::string text;
        char buf[4096];
        ssize_t n;
        // pread: the presenter may still be writing through the same offset.
        while ((n = pread(fileno(out_), buf, sizeof buf, static_cast<off_t>(text.size()))) > 0)
            text.append(buf, static_cast<size_t>(n));
        return text;
    }
    static size_t Count(const std::string& text, const std::string& word)
    {
        size_t n = 0;
        for (size_t p = text.find(word); p != std::string::npos; p = text.find(word, p + 1))
            ++n;
        return n;
    }
    int in_[2] = {-1, -1};
    FILE* out_ = nullptr;
};

TEST_F(UiLine, MessageBoxesReadTheirAnswersInAnyCase)
{
    Start("yes\nn\nOk\nc\r\n  CANCEL \n");
    EXPECT_EQ(OsMessageBox(nullptr, L"To finish the update reset the system.\n Reset now?", L"RESET",
                           OS_MB_YESNO),
              OS_IDYES);
    EXPECT_EQ(OsMessageBox(nullptr, L"again?", L"RESET", OS_MB_YESNO), OS_IDNO);
    EXPECT_EQ(OsMessageBox(nullptr, L"overlap", L"WARNING", 0x131), OS_IDOK);
    EXPECT_EQ(OsMessageBox(nullptr, L"overlap", L"WARNING", 0x131), OS_IDCANCEL);
    EXPECT_EQ(OsMessageBox(nullptr, L"overlap", L"WARNING", 0x131), OS_IDCANCEL);
    std::string out = Output();
    EXPECT_NE(out.find("RESET\nTo finish the update reset the system.\n Reset now?\n"),
              std::string::npos)
        << out;
    EXPECT_NE(out.find("[Yes / No]"), std::string::npos);
    EXPECT_NE(out.find("[OK / Cancel]"), std::string::npos);
}

TEST_F(UiLine, EndOfInputTakesTheDefaultButton)
{
    Start("");
    EXPECT_EQ(OsMessageBox(nullptr, L"overlap", L"WARNING", 0x131), OS_IDCANCEL)
        << "the second button is the default";
    EXPECT_EQ(OsMessageBox(nullptr, L"reset?", L"RESET", OS_MB_YESNO), OS_IDYES);
    EXPECT_EQ(OsMessageBox(nullptr, L"saved", L"Registry", OS_MB_OK), OS_IDOK);
    EXPECT_EQ(OsMessageBox(nullptr, L"x", L"y", OS_MB_OKCANCEL), OS_IDOK);
    EXPECT_EQ(Count(Output(), "(end of input:"), 4u);
}

TEST_F(UiLine, ALineNamingNoButtonIsAskedAgain)
{
    Start("maybe\n\nok\nno\n");
    EXPECT_EQ(OsMessageBox(nullptr, L"reset?", L"RESET", OS_MB_YESNO), OS_IDNO);
    std::string out = Output();
    EXPECT_EQ(Count(out, "is no button of this box"), 3u) << out;
}

// A dialog with two buttons; records its commands; ends on 2.
const OsDialogItem kMainItems[] = {
    {1001, L"BUTTON", L"Save Registry to Flash", 7, 7, 105, 19, 0x50010000},
    {1004, L"BUTTON", L"BSP Version", 7, 70, 105, 19, 0x50010000},
};
const OsDialogTemplate kMain = {L"Update Tool", 0x80C800C0, 0, 0, 119, 119, L"System", 8, 2, kMainItems};
std::vector<int> commands;

intptr_t MainProc(Window dialog, uint32_t message, uintptr_t wParam, intptr_t)
{
    if (message == OS_WM_INITDIALOG)
        OsSetWindowText(dialog, L"Update Tool 1.7");
    if (message == OS_WM_COMMAND) {
        commands.push_back(static_cast<int>(wParam & 0xFFFF));
        if ((wParam & 0xFFFF) == 2)
            OsEndDialog(dialog, 0);
    }
    return 1;
}

TEST_F(UiLine, DialogPressesByIdOrTextThenEmptyLineCloses)
{
    commands.clear();
    Start("1004\nbsp version\nSave Registry to Flash\nNo Such Button\n4242\n\n1001\n");
    EXPECT_EQ(OsDialogBoxIndirectParam(nullptr, &kMain, nullptr, MainProc, 0), 0);
    EXPECT_EQ(commands, (std::vector<int>{1004, 1004, 1001, 4242, 2}));
    std::string out = Output();
    EXPECT_NE(out.find("Dialog: Update Tool 1.7\n"), std::string::npos)
        << "the caption as it stands after initialisation:\n" << out;
    EXPECT_EQ(out.find("Dialog: Update Tool\n"), std::string::npos);
    EXPECT_NE(out.find("[1004] BSP Version"), std::string::npos);
    EXPECT_NE(out.find("[1001] Save Registry to Flash"), std::string::npos);
    EXPECT_NE(out.find("\"No Such Button\" names no button"), std::string::npos);
}

TEST_F(UiLine, EndOfInputClosesTheDialog)
{
    commands.clear();
    Start("1001");   // a last line without newline still counts
    EXPECT_EQ(OsDialogBoxIndirectParam(nullptr, &kMain, nullptr, MainProc, 0), 0);
    EXPECT_EQ(commands, (std::vector<int>{1001, 2}));
}

TEST_F(UiLine, DialogEndedInItsInitialisationIsNeverShownNorClosed)
{
    Start("");
    auto endsAtOnce = [](Window dialog, uint32_t message, uintptr_t, intptr_t) -> intptr_t {
        if (message == OS_WM_INITDIALOG)
            OsEndDialog(dialog, 7);
        return 0;
    };
    EXPECT_EQ(OsDialogBoxIndirectParam(nullptr, &kMain, nullptr, endsAtOnce, 0), 7);
    EXPECT_EQ(Output(), "");
}

TEST_F(UiLine, OpenFileRefusesMissingFilesAndPathsThatDoNotFit)
{
    char hostPath[] = "/tmp/ui-line-XXXXXX";
    int fd = mkstemp(hostPath);
    ASSERT_GE(fd, 0);
    close(fd);
    std::string longPath = "/tmp/" + std::string(300, 'x');
    Start("/nonexistent-folder/a.bin\n/tmp/no-such-file.bin\n" + longPath + "\n" + hostPath + "\n");
    wchar_t file[260] = L"";
    OsOpenFileName record = BinChooserRecord(file, 260);
    EXPECT_EQ(OsGetOpenFileName(&record), 1);
    std::wstring expected(hostPath, hostPath + sizeof hostPath - 1);
    EXPECT_EQ(std::wstring(file), expected);
    std::string out = Output();
    EXPECT_NE(out.find("IMAGE files (*.bin) in \\"), std::string::npos) << out;
    EXPECT_NE(out.find("No such folder: /nonexistent-folder/a.bin"), std::string::npos);
    EXPECT_NE(out.find("No such file: /tmp/no-such-file.bin"), std::string::npos);
    EXPECT_NE(out.find("too long"), std::string::npos);

    // End of input cancels and leaves the buffer as it was.
    EXPECT_EQ(OsGetOpenFileName(&record), 0);
    EXPECT_EQ(std::wstring(file), expected);
    unlink(hostPath);
}

// A transcript reads as the dialog it was: every answer taken is echoed on a
// line of its own, defaults at end of input marked as such.
TEST_F(UiLine, EveryAnswerTakenIsEchoed)
{
    commands.clear();
    Start("1004\nmaybe\nyes\nbsp version\n");
    auto proc = [](Window dialog, uint32_t message, uintptr_t wParam, intptr_t) -> intptr_t {
        if (message == OS_WM_COMMAND && (wParam & 0xFFFF) == 1004)
            OsMessageBox(dialog, L"Reset now?", L"RESET", OS_MB_YESNO);
        if (message == OS_WM_COMMAND && (wParam & 0xFFFF) == 2)
            OsEndDialog(dialog, 0);
        return 1;
    };
    OsDialogBoxIndirectParam(nullptr, &kMain, nullptr, proc, 0);
    EXPECT_EQ(OsMessageBox(nullptr, L"overlap", L"WARNING", 0x131), OS_IDCANCEL);
    std::string out = Output();
    for (const char* line : {"-> [1004] BSP Version\nRESET\n", "-> maybe\n\"maybe\" is no button",
                             "-> Yes\n", "-> [2] close (end of input)\n",
                             "(end of input: Cancel)\n-> Cancel (end of input)\n"})
        EXPECT_NE(out.find(line), std::string::npos) << line << " in:\n" << out;
    EXPECT_EQ(Count(out, "-> [1004] BSP Version\n"), 2u);
}

// One line of input is bounded: a longer one is read past in linear time and
// answered, and the next line is taken as usual. (Quadratic reading took
// many seconds for a line of this size.)
TEST_F(UiLine, AnOverlongLineIsReadPastAndAnswered)
{
    StartOpen();
    std::thread feeder([this] {
        std::string huge(32u << 20, 'y');   // would answer Yes, were it kept
        huge += "\nno\n";
        for (size_t done = 0; done < huge.size();) {
            ssize_t n = write(in_[1], huge.data() + done, huge.size() - done);
            if (n <= 0)
                break;
            done += static_cast<size_t>(n);
        }
        close(in_[1]);
        in_[1] = -1;
    });
    EXPECT_EQ(OsMessageBox(nullptr, L"reset?", L"RESET", OS_MB_YESNO), OS_IDNO);
    feeder.join();
    std::string out = Output();
    EXPECT_NE(out.find("That line is too long (65536 bytes at most)"), std::string::npos) << out;
    EXPECT_LT(out.size(), 4096u) << "the line itself is never written back";

    // At the bound exactly a line is still taken; one byte more is not.
    LineReader reader(-1);
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    std::string input = std::string(LineReader::kMaxLine, 'a') + "\n" +
                        std::string(LineReader::kMaxLine + 1, 'b') + "\nlast";
    std::thread writer([&] {
        EXPECT_EQ(write(fds[1], input.data(), input.size()), static_cast<ssize_t>(input.size()));
        close(fds[1]);
    });
    LineReader bounded(fds[0]);
    std::string line;
    EXPECT_EQ(bounded.ReadLine(&line, nullptr, 0, -1), 1);
    EXPECT_EQ(line.size(), LineReader::kMaxLine);
    EXPECT_EQ(bounded.ReadLine(&line, nullptr, 0, -1), LineReader::kTooLong);
    EXPECT_EQ(bounded.ReadLine(&line, nullptr, 0, -1), 1);
    EXPECT_EQ(line, "last");
    EXPECT_EQ(bounded.ReadLine(&line, nullptr, 0, -1), 0);
    writer.join();
    close(fds[0]);
}

// A bare name is taken in the folder the dialog shows, as in a file dialog;
// a folder is refused as a folder.
TEST_F(UiLine, OpenFileTakesBareNamesInItsFolderAndRefusesFolders)
{
    BoardDir board;
    std::ofstream(board.rootfs() + "/nk.bin") << "B000FF\n";
    mkdir((board.rootfs() + "/Windows").c_str(), 0755);
    Start("Windows\nnk.bin\n");
    wchar_t file[260] = L"";
    OsOpenFileName record = BinChooserRecord(file, 260);
    EXPECT_EQ(OsGetOpenFileName(&record), 1);
    EXPECT_EQ(std::wstring(file), L"\\nk.bin");
    std::string out = Output();
    EXPECT_NE(out.find("That is a folder, not a file: \\Windows"), std::string::npos) << out;
    EXPECT_NE(out.find("-> \\nk.bin\n"), std::string::npos);
    EXPECT_EQ(UiResolveChoice(L"./nk.bin", L"\\"), L"./nk.bin") << "host paths stand as they are";
    EXPECT_EQ(UiResolveChoice(L"Tools\\x.bin", L"\\Flash Disk"), L"\\Flash Disk\\Tools\\x.bin");
}

// A host file whose name is not UTF-8: the typed bytes are kept, and the
// path the dialog hands back names that very file.
TEST_F(UiLine, OpenFileTakesAHostNameThatIsNotUtf8)
{
    BoardDir board;
    const std::string host = board.dir() + "/n\xFFme.bin";
    std::ofstream(host) << "B000FF\n";
    Start(host + "\n");
    wchar_t file[260] = L"";
    OsOpenFileName record = BinChooserRecord(file, 260);
    ASSERT_EQ(OsGetOpenFileName(&record), 1) << Output();
    char narrow[300];
    OsNarrowUtf8(file, narrow, sizeof narrow);
    EXPECT_EQ(std::string(narrow), host);
}

// A dialog like the progress dialog: Abort is its only button, a worker
// writes texts and bars and asks a question on the input.
const OsDialogItem kProgressItems[] = {
    {2, L"BUTTON", L"Abort", 52, 71, 58, 11, 0x50010000},
    {1002, L"msctls_progress32", L"Progress1", 7, 20, 157, 13, 0x50800000},
    {1004, L"STATIC", L"", 7, 7, 157, 10, 0x50020000},
};
const OsDialogTemplate kProgress = {L"Updating IMAGE", 0x80C800C0, 0, 0, 171, 89, L"System", 8, 3,
                                    kProgressItems};
std::thread progressWorker;
std::atomic<int> aborts{0};
int workerAnswer;

intptr_t ProgressProc(Window dialog, uint32_t message, uintptr_t wParam, intptr_t)
{
    if (message == OS_WM_COMMAND && (wParam & 0xFFFF) == 2)
        aborts++;
    if (message != OS_WM_INITDIALOG)
        return 1;
    progressWorker = std::thread([dialog] {
        OsSendMessage(OsGetDlgItem(dialog, 1002), OS_PBM_SETRANGE32, 0, 100);
        for (int i = 0; i < 100; ++i) {
            wchar_t text[32];
            swprintf(text, 32, L"Section %d", i);
            OsSetDlgItemText(dialog, 1004, text);
            OsSendMessage(OsGetDlgItem(dialog, 1002), OS_PBM_SETPOS, static_cast<uintptr_t>(i + 1), 0);
        }
        workerAnswer = OsMessageBox(dialog, L"Reset now?", L"RESET", OS_MB_YESNO);
        OsEndDialog(dialog, 0);
    });
    return 1;
}

TEST_F(UiLine, ThreadedProgressIsThrottledAndLeavesTheInputToMessageBoxes)
{
    OsUseVirtualClock(0, 1);   // the run takes far less than the throttle interval
    Start("no\n");
    aborts = 0;
    EXPECT_EQ(OsDialogBoxIndirectParam(nullptr, &kProgress, nullptr, ProgressProc, 0), 0);
    progressWorker.join();
    EXPECT_EQ(workerAnswer, OS_IDNO) << "the dialog must not have read the worker's answer";
    EXPECT_EQ(aborts.load(), 0);
    std::string out = Output();
    EXPECT_LE(Count(out, "Updating IMAGE 1004: "), 3u) << out;
    EXPECT_NE(out.find("Updating IMAGE 1004: Section 99\n"), std::string::npos)
        << "the last state is always written:\n" << out;
    EXPECT_NE(out.find("Updating IMAGE 1002: 100/100\n"), std::string::npos);
    EXPECT_LT(out.find("Updating IMAGE 1004: Section 99"), out.find("Closed: Updating IMAGE"));
    EXPECT_NE(out.find("(Ctrl-C: Abort)"), std::string::npos);
    // Each change also names its control, right after the line scripts match.
    EXPECT_NE(out.find("Updating IMAGE 1004: Section 99\nUpdating IMAGE [1004 text]: Section 99\n"),
              std::string::npos) << out;
    EXPECT_NE(out.find("Updating IMAGE [1002 bar]: 100/100  100 %\n"), std::string::npos);
    EXPECT_NE(out.find("-> No\n"), std::string::npos);
}

intptr_t InterruptedProc(Window dialog, uint32_t message, uintptr_t wParam, intptr_t)
{
    if (message == OS_WM_INITDIALOG)
        progressWorker = std::thread([] { EXPECT_TRUE(UiInterrupt()); });
    if (message == OS_WM_COMMAND && (wParam & 0xFFFF) == 2 && ++aborts == 1)
        OsEndDialog(dialog, 4);
    return 1;
}

TEST_F(UiLine, ThreadedInterruptSendsCommandTwoToTheOpenDialog)
{
    StartOpen();   // the input stays open: only Ctrl-C can end this dialog
    UiPrepareInterrupts();
    aborts = 0;
    EXPECT_EQ(OsDialogBoxIndirectParam(nullptr, &kProgress, nullptr, InterruptedProc, 0), 4);
    progressWorker.join();
    EXPECT_EQ(aborts.load(), 1);
    EXPECT_FALSE(UiInterrupt()) << "no dialog open: the caller ends the program instead";
}

// A message box from another thread takes the input from a dialog that is
// waiting for its next command.
std::atomic<int> boxAnswer{0};
std::thread boxThread;

intptr_t MainWithWorkerBox(Window dialog, uint32_t message, uintptr_t wParam, intptr_t)
{
    if (message == OS_WM_INITDIALOG)
        boxThread = std::thread([dialog] {
            boxAnswer = OsMessageBox(dialog, L"Reset now?", L"RESET", OS_MB_YESNO);
        });
    if (message == OS_WM_COMMAND) {
        commands.push_back(static_cast<int>(wParam & 0xFFFF));
        if ((wParam & 0xFFFF) == 2)
            OsEndDialog(dialog, 0);
    }
    return 1;
}

TEST_F(UiLine, ThreadedMessageBoxTakesTheInputFromAWaitingDialog)
{
    commands.clear();
    boxAnswer = 0;
    StartOpen();
    std::thread feeder([this] {
        // Answer once the box has asked; then close the dialog.
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (Output().find("[Yes / No]") == std::string::npos &&
               std::chrono::steady_clock::now() < deadline)
            std::this_thread::yield();
        Feed("no\n");
        while (boxAnswer.load() == 0 && std::chrono::steady_clock::now() < deadline)
            std::this_thread::yield();
        Feed("1004\n\n");
        close(in_[1]);   // end of input: nothing waits for ever, whatever went wrong
        in_[1] = -1;
    });
    EXPECT_EQ(OsDialogBoxIndirectParam(nullptr, &kMain, nullptr, MainWithWorkerBox, 0), 0);
    feeder.join();
    boxThread.join();
    EXPECT_EQ(boxAnswer.load(), OS_IDNO);
    EXPECT_EQ(commands, (std::vector<int>{1004, 2}));
}

}  // namespace
