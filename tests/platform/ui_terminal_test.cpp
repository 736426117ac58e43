// The terminal presenter's keys, fed through a pipe (no terminal settings
// are touched when the input is no terminal).
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "platform/clock.h"
#include "platform/host/clock.h"
#include "platform/posix/ui_presenter.h"
#include "platform/posix/ui_terminal_layout.h"
#include "files_board_dir.h"
#include "tests/support/ui_double.h"
#include "platform/ui.h"
#include "tests/platform/bin_chooser.h"

namespace {

class UiTerminal : public ::testing::Test {
protected:
    void Start(const std::string& keys)
    {
        ASSERT_EQ(pipe(in_), 0);
        ASSERT_EQ(write(in_[1], keys.data(), keys.size()), static_cast<ssize_t>(keys.size()));
        close(in_[1]);
        out_ = tmpfile();
        ASSERT_NE(out_, nullptr);
        UiSetPresenter(UiNewTerminalPresenter(in_[0], fileno(out_)));
    }
    void TearDown() override
    {
        UiSetPresenter(nullptr);
        close(in_[0]);
        if (out_)
            fclose(out_);
    }
    std::string Output()
    {
        std::string text;
        char buf[4096];
        lseek(fileno(out_), 0, SEEK_SET);
        ssize_t n;
        while ((n = read(fileno(out_), buf, sizeof buf)) > 0)
            text.append(buf, static_cast<size_t>(n));
        return text;
    }
    int in_[2] = {-1, -1};
    FILE* out_ = nullptr;
};

const OsDialogItem kItems[] = {
    {1001, L"BUTTON", L"Save Registry to Flash", 7, 7, 105, 19, 0x50010000},
    {1000, L"BUTTON", L"Clear Registry on Flash", 7, 28, 105, 19, 0x50010000},
    {1004, L"BUTTON", L"BSP Version", 7, 70, 105, 19, 0x50010000},
};
const OsDialogTemplate kMain = {L"Update Tool", 0x80C800C0, 0, 0, 119, 119, L"System", 8, 3, kItems};
std::vector<int> commands;

intptr_t Proc(Window dialog, uint32_t message, uintptr_t wParam, intptr_t)
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

TEST_F(UiTerminal, NumbersArrowsEnterAndEscape)
{
    commands.clear();
    // "3"; Right, Right, Enter (third button); Left, Enter (second); Escape.
    Start(std::string("3") + "\x1b[C\x1b[C\r" + "\x1b[D\r" + "\x1b");
    EXPECT_EQ(OsDialogBoxIndirectParam(nullptr, &kMain, nullptr, Proc, 0), 0);
    EXPECT_EQ(commands, (std::vector<int>{1004, 1004, 1000, 2}));
    std::string out = Output();
    EXPECT_NE(out.find("Update Tool 1.7"), std::string::npos);
    EXPECT_NE(out.find("BSP Version"), std::string::npos);
}

// The main dialog's layout: Coldboot comes before Warmboot in the template,
// but Warmboot is the left one of the bottom row.
const OsDialogItem kLayoutItems[] = {
    {1001, L"BUTTON", L"Save Registry to Flash", 7, 7, 105, 19, 0x50010000},
    {1000, L"BUTTON", L"Clear Registry on Flash", 7, 28, 105, 19, 0x50010000},
    {1002, L"BUTTON", L"Update Bootloader/Image", 7, 49, 105, 19, 0x50010000},
    {1004, L"BUTTON", L"BSP Version", 7, 70, 105, 19, 0x50010000},
    {1003, L"BUTTON", L"Coldboot", 69, 93, 43, 19, 0x50010000},
    {1005, L"BUTTON", L"Warmboot", 7, 93, 43, 19, 0x50010000},
};
const OsDialogTemplate kLayout = {L"Update Tool", 0x80C800C0, 0, 0, 119, 119, L"System", 8, 6, kLayoutItems};

TEST_F(UiTerminal, ArrowsFollowTheLayout)
{
    commands.clear();
    const std::string down = "\x1b[B", right = "\x1b[C", left = "\x1b[D", up = "\x1b[A";
    // Down four times from the first button: past BSP Version to the left
    // button below it; then Right, Left, and Up back to BSP Version.
    Start(down + down + down + down + "\r" + right + "\r" + left + "\r" + up + "\r" + "\x1b");
    EXPECT_EQ(OsDialogBoxIndirectParam(nullptr, &kLayout, nullptr, Proc, 0), 0);
    EXPECT_EQ(commands, (std::vector<int>{1005, 1003, 1005, 1004, 2}));
    std::string out = Output();
    EXPECT_NE(out.find("[6 Warmboot]"), std::string::npos) << "numbers stay in template order";
    EXPECT_NE(out.find("Esc or Ctrl-C: close"), std::string::npos) << out;
}

// A function key, Home or Delete is a whole sequence ("ESC [ 1 5 ~" is
// F5) and presses nothing: its digits once pressed buttons (F5 button 5,
// Coldboot; F10 button 1), and at a box F1 answered it as Escape.
TEST_F(UiTerminal, FunctionKeysAndOtherSequencesPressNothing)
{
    commands.clear();
    const std::string f1 = "\x1bOP", f5 = "\x1b[15~", f10 = "\x1b[21~", del = "\x1b[3~", home = "\x1b[1~";
    // The box first: F1 and F5 leave it waiting, "y" answers it. Then the
    // dialog: the keys press nothing, Ctrl+Right moves on, Enter presses.
    Start(f1 + f5 + "y" + f5 + f10 + del + home + "\x1b[1;5C" + "\r" + "\x1b");
    EXPECT_EQ(OsMessageBox(nullptr, L"Reset now?", L"RESET", OS_MB_YESNO), OS_IDYES);
    EXPECT_EQ(OsDialogBoxIndirectParam(nullptr, &kLayout, nullptr, Proc, 0), 0);
    EXPECT_EQ(commands, (std::vector<int>{1000, 2}));
}

TEST_F(UiTerminal, EndOfInputClosesTheDialog)
{
    commands.clear();
    Start("1");
    EXPECT_EQ(OsDialogBoxIndirectParam(nullptr, &kMain, nullptr, Proc, 0), 0);
    EXPECT_EQ(commands, (std::vector<int>{1001, 2}));
}

TEST_F(UiTerminal, MessageBoxKeys)
{
    Start(std::string("n") + "x\r" + "\x1b[C\r" + "\x1b" + "y");
    EXPECT_EQ(OsMessageBox(nullptr, L"Reset now?", L"RESET", OS_MB_YESNO), OS_IDNO);
    EXPECT_EQ(OsMessageBox(nullptr, L"go on?", L"WARNING", 0x131), OS_IDCANCEL)
        << "an unknown key is ignored; Enter takes the default (Cancel)";
    EXPECT_EQ(OsMessageBox(nullptr, L"go on?", L"WARNING", 0x131), OS_IDOK)
        << "Right from Cancel wraps round to OK";
    EXPECT_EQ(OsMessageBox(nullptr, L"Reset now?", L"RESET", OS_MB_YESNO), OS_IDNO)
        << "Escape closes: No";
    EXPECT_EQ(OsMessageBox(nullptr, L"Reset now?", L"RESET", OS_MB_YESNO), OS_IDYES);
    EXPECT_EQ(OsMessageBox(nullptr, L"saved", L"Registry", OS_MB_OK), OS_IDOK) << "end of input";
    EXPECT_NE(Output().find("Reset now?"), std::string::npos);
}

// A worker writes into the dialog and asks at once. The box must come below
// the dialog's latest state, and the dialog must never be redrawn in place
// over the box's lines while it is shown.
const OsDialogItem kWorkItems[] = {
    {1004, L"STATIC", L"", 7, 7, 157, 10, 0x50020000},
    {1010, L"BUTTON", L"Go", 7, 20, 40, 10, 0x50010000},
};
const OsDialogTemplate kWork = {L"Working", 0x80C800C0, 0, 0, 171, 89, L"System", 8, 2, kWorkItems};
std::thread worker;

intptr_t StartsAskingWorker(Window dialog, uint32_t message, uintptr_t wParam, intptr_t)
{
    if (message == OS_WM_COMMAND && (wParam & 0xFFFF) == 1010)
        worker = std::thread([dialog] {
            OsSetDlgItemText(dialog, 1004, L"latest step");
            OsMessageBox(dialog, L"Reset now?", L"RESET", OS_MB_YESNO);
            OsEndDialog(dialog, 0);
        });
    return 1;
}

TEST_F(UiTerminal, ThreadedBoxComesBelowTheDialogsLatestStateAndIsNeverOverdrawn)
{
    Start("1");   // the box then takes its default at the end of input
    OsDialogBoxIndirectParam(nullptr, &kWork, nullptr, StartsAskingWorker, 0);
    worker.join();
    std::string out = Output();
    size_t box = out.find("RESET");
    ASSERT_NE(box, std::string::npos);
    size_t latest = out.find("latest step");
    ASSERT_NE(latest, std::string::npos);
    EXPECT_LT(latest, box) << "the dialog's latest state is drawn before the box";
    size_t answered = out.find("  -> ", box);
    ASSERT_NE(answered, std::string::npos);
    for (size_t up = out.find("\x1b[", box); up != std::string::npos && up < answered;
         up = out.find("\x1b[", up + 1)) {
        size_t end = out.find_first_not_of("0123456789", up + 2);
        EXPECT_FALSE(end != std::string::npos && out[end] == 'A')
            << "a redraw in place climbed over the box";
    }
}

// The lines as a terminal keeps them: each line from its last carriage
// return, without escapes; the columns each takes (the test's texts hold
// ASCII and CJK characters only, two columns each).
std::vector<std::pair<std::string, size_t>> ShownLines(const std::string& out)
{
    std::vector<std::pair<std::string, size_t>> lines;
    size_t start = 0;
    while (start <= out.size()) {
        size_t nl = out.find('\n', start);
        std::string line = out.substr(start, nl == std::string::npos ? std::string::npos : nl - start);
        size_t cr = line.rfind('\r');
        if (cr != std::string::npos)
            line.erase(0, cr + 1);
        std::string plain;
        size_t columns = 0;
        for (size_t i = 0; i < line.size(); ++i) {
            unsigned char c = static_cast<unsigned char>(line[i]);
            if (c == 0x1b) {
                while (i + 1 < line.size() && !std::isalpha(static_cast<unsigned char>(line[i + 1])))
                    ++i;
                ++i;
                continue;
            }
            plain.push_back(line[i]);
            columns += c < 0x80 ? 1 : c >= 0xC0 ? 2 : 0;
        }
        lines.push_back({plain, columns});
        if (nl == std::string::npos)
            break;
        start = nl + 1;
    }
    return lines;
}

// An environment variable set for a test's while (COLUMNS, LINES: the size
// of a terminal that will not tell).
struct ScopedEnv {
    ScopedEnv(const char* name, const char* value) : name_(name), had_(std::getenv(name) != nullptr)
    {
        if (had_)
            saved_ = std::getenv(name);
        setenv(name, value, 1);
    }
    ~ScopedEnv() { had_ ? (void)setenv(name_, saved_.c_str(), 1) : (void)unsetenv(name_); }
    const char* name_;
    bool had_;
    std::string saved_;
};

// The open-file dialog as flashupdate opens it: *.bin files in \.
int Choose(wchar_t (&file)[260])
{
    OsOpenFileName record = BinChooserRecord(file, 260);
    return OsGetOpenFileName(&record);
}

// Wide characters (file names, a path typed at the prompt, a box's text)
// take two columns each. Counted as one, a line ran past the terminal's
// edge and wrapped, and every key redrew the prompt below a stale copy.
TEST_F(UiTerminal, WideCharactersAndHelpKeepToTheWidth)
{
    BoardDir board;
    const std::string wide = "映像ファイル映像ファイル映像ファイル";
    board.Write("rootfs/" + wide + ".bin", "x");
    ScopedEnv columns("COLUMNS", "30");
    Start("/tmp/" + wide + "/" + wide + "/x.bin" + "\x1b" + "o");
    wchar_t file[260] = {};
    EXPECT_EQ(Choose(file), 0) << "Escape cancels";
    EXPECT_EQ(OsMessageBox(nullptr, (UiWideFromUtf8(wide) + L" " + UiWideFromUtf8(wide)).c_str(), L"BOX",
                           OS_MB_OK), OS_IDOK);
    std::string out = Output();
    std::string joined;
    for (const auto& [line, width] : ShownLines(out)) {
        EXPECT_LE(width, 29u) << "past the edge of 30 columns: " << line;
        joined += line.substr(line.find_first_not_of(' ') == std::string::npos ? 0 : line.find_first_not_of(' ')) + " ";
    }
    EXPECT_NE(joined.find("ル.bin"), std::string::npos) << "the wide name is listed to its end: " << joined;
    EXPECT_NE(joined.find("an empty line or Esc: cancel."), std::string::npos)
        << "the chooser's help is wrapped, never cut: " << joined;
    EXPECT_NE(joined.find("x.bin"), std::string::npos) << "the prompt shows the end of what was typed";
}

// A path pasted with blanks around it names the file without them, as the
// unattended protocol takes it; a line of blanks cancels.
TEST_F(UiTerminal, ChooserTakesAPathWithoutTheBlanksAroundIt)
{
    BoardDir board;
    board.Write("rootfs/nk.bin", "x");
    Start("  nk.bin \r   \r");
    wchar_t file[260] = {};
    ASSERT_EQ(Choose(file), 1) << Output();
    EXPECT_STREQ(file, L"\\nk.bin");
    EXPECT_EQ(Choose(file), 0);
}

// A box says which keys answer it while it waits; its answer then stands
// in place of that hint.
TEST_F(UiTerminal, MessageBoxSaysWhatKeysWork)
{
    Start("c");
    EXPECT_EQ(OsMessageBox(nullptr, L"go on?", L"WARNING", 0x131), OS_IDCANCEL);
    std::string out = Output();
    size_t answer = out.find("-> Cancel");
    ASSERT_NE(answer, std::string::npos);
    EXPECT_NE(out.substr(0, answer).find("(o/c, or arrows and Enter; Esc: Cancel)"), std::string::npos) << out;
    std::vector<std::pair<std::string, size_t>> lines = ShownLines(out);
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(lines[lines.size() - 2].first, " [OK] [Cancel]  -> Cancel") << "the hint gives way to the answer";
}

// A dialog taller than the terminal cannot be redrawn in place, so every
// drawing is a new copy below the last: ten a second filled a short
// terminal's scrollback with copies of the progress dialog. Each "1" here
// is a step of 200 ms on the virtual clock, ten seconds in all.
const OsDialogItem kTallItems[] = {
    {1004, L"STATIC", L"step", 7, 7, 157, 10, 0x50020000},
    {1002, L"msctls_progress32", L"", 7, 20, 157, 13, 0x50800000},
    {1010, L"BUTTON", L"Step", 7, 40, 40, 10, 0x50010000},
    {2, L"BUTTON", L"Abort", 60, 40, 40, 10, 0x50010000},
};
const OsDialogTemplate kTall = {L"Working", 0x80C800C0, 0, 0, 171, 89, L"System", 8, 4, kTallItems};

intptr_t StepsOnTheVirtualClock(Window dialog, uint32_t message, uintptr_t wParam, intptr_t)
{
    static int step;
    if (message == OS_WM_INITDIALOG) {
        step = 0;
        OsSendMessage(OsGetDlgItem(dialog, 1002), OS_PBM_SETRANGE32, 0, 50);
    }
    if (message == OS_WM_COMMAND && (wParam & 0xFFFF) == 1010) {
        OsVirtualClockAdvance(200 * 1000);
        OsSendMessage(OsGetDlgItem(dialog, 1002), OS_PBM_SETPOS, static_cast<uintptr_t>(++step), 0);
    }
    if (message == OS_WM_COMMAND && (wParam & 0xFFFF) == 2)
        OsEndDialog(dialog, 0);
    return 1;
}

TEST_F(UiTerminal, ADialogTallerThanTheTerminalIsDrawnAnewAtMostOnceASecond)
{
    OsInitCommonControls();
    ScopedEnv lines("LINES", "4");
    OsUseVirtualClock(1000000);
    Start(std::string(50, '1'));
    OsDialogBoxIndirectParam(nullptr, &kTall, nullptr, StepsOnTheVirtualClock, 0);
    OsUseRealClock();
    std::string out = Output();
    size_t drawings = 0;
    for (size_t p = out.find("== Working =="); p != std::string::npos; p = out.find("== Working ==", p + 1))
        ++drawings;
    EXPECT_GE(drawings, 5u) << "progress still shows";
    EXPECT_LE(drawings, 14u) << out;
    EXPECT_NE(out.find("50/50"), std::string::npos) << "the last state is drawn";
}

TEST(UiCommonControls, ProgressTemplatesNeedThemFirst)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");   // a fresh process: controls not yet made
    static const OsDialogItem items[] = {
        {1002, L"msctls_progress32", L"Progress1", 7, 20, 157, 13, 0x50800000},
    };
    static const OsDialogTemplate bar = {L"Bar", 0x80C800C0, 0, 0, 171, 89, L"System", 8, 1, items};
    auto endsAtOnce = [](Window dialog, uint32_t message, uintptr_t, intptr_t) -> intptr_t {
        if (message == OS_WM_INITDIALOG)
            OsEndDialog(dialog, 7);
        return 1;
    };
    EXPECT_EXIT(
        {
            uidouble::Install();
            intptr_t before = OsDialogBoxIndirectParam(nullptr, &bar, nullptr, endsAtOnce, 0);
            OsInitCommonControls();
            intptr_t after = OsDialogBoxIndirectParam(nullptr, &bar, nullptr, endsAtOnce, 0);
            std::_Exit(before == -1 && after == 7 ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "");
}

// From 20 columns up a number is never broken across lines: the line
// breaks before the word that holds it, however early; words without
// digits still break as before, and a word wider than a line is cut.
TEST(UiTerminalLayout, WrapNeverBreaksANumber)
{
    for (size_t width = 19; width <= 40; ++width) {
        SCOPED_TRACE(width);
        std::vector<std::string> lines = term::Wrap("Section: 00040000  Len: 00010000(65536)", width, "  ");
        std::string joined;
        for (const std::string& l : lines) {
            EXPECT_LE(term::Columns(l), width) << l;
            joined += l + "|";
        }
        for (const char* number : {"00040000", "00010000(65536)"})
            EXPECT_NE(joined.find(number), std::string::npos) << joined;
    }
    EXPECT_EQ(term::Wrap("Update abcdefghijklmnopqrstuvwxyz", 19, " "),
              (std::vector<std::string>{" Update abcdefghijk", " lmnopqrstuvwxyz"}));
    EXPECT_EQ(term::Wrap("0123456789012345678901", 19, " "),
              (std::vector<std::string>{" 012345678901234567", " 8901"}));
}

}  // namespace
