// flashupdate in a pseudo-terminal, as a user at a terminal meets it: the
// dialogs fit the width and are redrawn in place, a resize redraws them at
// the new width, Ctrl-Z gives the terminal back and fg takes it again, and a
// terminal without cursor control gets plain lines.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <vector>

#include "board/board.h"
#include "tests/support/temp_board.h"

namespace {

// The drills run the programs on the real clock and count what is drawn:
// their flash takes no time whatever timing the run goes under (under
// "max" a drill's update would take minutes).
struct DrillBoard : TempBoard {
    DrillBoard() { EXPECT_TRUE(board::SetSetting("timing", "none")); }
};

const std::string kFlashUpdate = std::string(TEST_BIN_DIR) + "/flashupdate";

// flashupdate on the slave side of a pseudo-terminal, run in a process group
// of its own in the foreground, under a small job-control parent (as under
// a shell, so that Ctrl-Z can stop it). The parent reports a stop as
// "<stopped icanon=N>" on the terminal and continues the program when sent
// SIGUSR1.
class PtyRun {
public:
    PtyRun(int cols, std::vector<std::string> args, const char* term = "xterm")
    {
        master_ = posix_openpt(O_RDWR | O_NOCTTY);
        if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0)
            return;
        Resize(cols);
        std::string slave = ptsname(master_);
        std::vector<char*> argv;
        argv.push_back(const_cast<char*>(kFlashUpdate.c_str()));
        for (std::string& a : args)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        pid_ = fork();
        if (pid_ == 0) {
            setsid();
            int fd = open(slave.c_str(), O_RDWR);   // the controlling terminal
            dup2(fd, 0);
            dup2(fd, 1);
            dup2(fd, 2);
            close(master_);
            setenv("TERM", term, 1);
            signal(SIGTTOU, SIG_IGN);
            sigset_t usr1;
            sigemptyset(&usr1);
            sigaddset(&usr1, SIGUSR1);
            sigprocmask(SIG_BLOCK, &usr1, nullptr);
            pid_t child = fork();
            if (child == 0) {
                setpgid(0, 0);
                signal(SIGTTOU, SIG_DFL);
                sigprocmask(SIG_UNBLOCK, &usr1, nullptr);
                execv(argv[0], argv.data());
                _exit(127);
            }
            setpgid(child, child);
            tcsetpgrp(0, child);
            for (;;) {
                int status = 0;
                if (waitpid(child, &status, WUNTRACED) < 0)
                    _exit(126);
                if (WIFSTOPPED(status)) {
                    tcsetpgrp(0, getpgrp());
                    struct termios t;
                    tcgetattr(0, &t);
                    char note[64];
                    int n = snprintf(note, sizeof note, "<stopped icanon=%d>\n", (t.c_lflag & ICANON) ? 1 : 0);
                    ssize_t w = write(1, note, static_cast<size_t>(n));
                    (void)w;
                    int sig;
                    sigwait(&usr1, &sig);
                    tcsetpgrp(0, child);
                    kill(-child, SIGCONT);
                    continue;
                }
                _exit(WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status));
            }
        }
    }
    ~PtyRun()
    {
        if (pid_ > 0 && !exited_) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
        if (master_ >= 0)
            close(master_);
    }
    void Resize(int cols)
    {
        struct winsize ws {};
        ws.ws_col = static_cast<unsigned short>(cols);
        ws.ws_row = 40;
        ioctl(master_, TIOCSWINSZ, &ws);
    }
    void Type(const std::string& keys) { ASSERT_EQ(write(master_, keys.data(), keys.size()), (ssize_t)keys.size()); }
    // Reads until text appears after `from` in the output, or 20 s pass.
    bool WaitFor(const std::string& text, size_t from = 0)
    {
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while (out_.find(text, from) == std::string::npos) {
            if (std::chrono::steady_clock::now() > deadline || !ReadSome(200))
                return out_.find(text, from) != std::string::npos;
        }
        return true;
    }
    int Wait()
    {
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while (ReadSome(200) && std::chrono::steady_clock::now() < deadline) {
        }
        if (!exited_ && waitpid(pid_, &status_, 0) == pid_)
            exited_ = true;
        return exited_ && WIFEXITED(status_) ? WEXITSTATUS(status_) : -1;
    }
    void Continue() { kill(pid_, SIGUSR1); }
    const std::string& Output() const { return out_; }

private:
    // False at the end of the output (every slave closed) or after the wait.
    bool ReadSome(int ms)
    {
        pollfd p{master_, POLLIN, 0};
        if (poll(&p, 1, ms) <= 0) {
            if (!exited_ && pid_ > 0 && waitpid(pid_, &status_, WNOHANG) == pid_)
                exited_ = true;
            return !exited_;
        }
        char buf[4096];
        ssize_t n = read(master_, buf, sizeof buf);
        if (n <= 0)
            return false;
        out_.append(buf, static_cast<size_t>(n));
        return true;
    }
    int master_ = -1;
    pid_t pid_ = -1;
    bool exited_ = false;
    int status_ = 0;
    std::string out_;
};

size_t Count(const std::string& text, const std::string& word)
{
    size_t n = 0;
    for (size_t p = text.find(word); p != std::string::npos; p = text.find(word, p + 1))
        ++n;
    return n;
}

// The widest line of the output, in characters, escape sequences left out.
size_t WidestLine(const std::string& text)
{
    size_t widest = 0, cur = 0;
    for (size_t i = 0; i < text.size(); ++i) {
        unsigned char c = static_cast<unsigned char>(text[i]);
        if (c == 0x1b) {
            ++i;
            if (i < text.size() && text[i] == '[')
                while (i + 1 < text.size() && !(text[i + 1] >= '@' && text[i + 1] <= '~'))
                    ++i;
            ++i;
            continue;
        }
        if (c == '\n' || c == '\r') {
            cur = 0;
            continue;
        }
        if ((c & 0xC0) != 0x80)
            widest = std::max(widest, ++cur);
    }
    return widest;
}

// One update at the given width: OK to the overlap warning, No to the
// restart question.
std::string UpdateAt(int cols)
{
    PtyRun run(cols, {"/u", "\\nk.bin"});
    EXPECT_TRUE(run.WaitFor("Are you sure")) << run.Output();
    run.Type("o");
    EXPECT_TRUE(run.WaitFor("Reset now?")) << run.Output();
    run.Type("n");
    EXPECT_EQ(run.Wait(), 1);
    return run.Output();
}

TEST(TerminalDrill, UpdatesFitTheWidthAndRedrawInPlace)
{
    DrillBoard board;
    for (int cols : {20, 40, 100}) {
        std::string out = UpdateAt(cols);
        EXPECT_LE(Count(out, "== Updating IMAGE =="), 2u) << cols << " columns:\n" << out;
        EXPECT_LT(WidestLine(out), static_cast<size_t>(cols)) << cols << " columns:\n" << out;
        EXPECT_NE(out.find(cols > 20 ? "2048/2048 KB  100 %" : "2048/2048 KB 100 %"), std::string::npos) << out;
        EXPECT_NE(out.find(cols > 20 ? "Esc or Ctrl-C: Abort" : "Esc or Ctrl-C:"), std::string::npos)
            << cols << " columns:\n" << out;
        EXPECT_EQ(out.find("0/100"), std::string::npos) << "a bar without its range shows no numbers";
    }
}

// "o" and Enter at the overlap warning, as a line is answered unattended:
// the Enter came with the answer and is dropped. The progress dialog once
// took it as its Abort, right after the erase of the running image.
TEST(TerminalDrill, TheKeysTypedWithAnAnswerNeverReachTheDialogBehind)
{
    DrillBoard board;
    PtyRun run(80, {"/u", "\\nk.bin"});
    ASSERT_TRUE(run.WaitFor("Are you sure")) << run.Output();
    run.Type("o\r");
    ASSERT_TRUE(run.WaitFor("Reset now?")) << run.Output();
    run.Type("n");
    EXPECT_EQ(run.Wait(), 1);
    EXPECT_EQ(run.Output().find("Update aborted!"), std::string::npos) << run.Output();
}

// Abort during the erase, by Escape or by Ctrl-C: the erase is never cut
// short, so the dialog says at once that the Abort is pending and that the
// erase finishes first, until the update ends with its message.
TEST(TerminalDrill, AnAbortDuringTheEraseIsShownPendingAtOnce)
{
    for (const char* key : {"\x1b", "\x03"}) {
        SCOPED_TRACE(key[0] == 3 ? "Ctrl-C" : "Escape");
        DrillBoard board;
        ASSERT_TRUE(board::SetSetting("timing", "scaled"));
        ASSERT_TRUE(board::SetSetting("timing-scale", "0.2"));
        PtyRun run(80, {"/u", "\\nk.bin"});
        ASSERT_TRUE(run.WaitFor("Are you sure")) << run.Output();
        run.Type("o");
        ASSERT_TRUE(run.WaitFor("Erasing")) << run.Output();
        size_t before = run.Output().size();
        run.Type(key);
        ASSERT_TRUE(run.WaitFor("Abort pending: an erase in progress finishes first", before)) << run.Output();
        EXPECT_EQ(run.Output().find("Update aborted!"), std::string::npos) << "shown before the erase ended";
        ASSERT_TRUE(run.WaitFor("Update aborted!", before)) << run.Output();
        run.Type("o");
        EXPECT_EQ(run.Wait(), 1);
        EXPECT_EQ(run.Output().find("Reset now?"), std::string::npos) << run.Output();
    }
}

TEST(TerminalDrill, AResizeDuringAnUpdateRedrawsAtTheNewWidth)
{
    DrillBoard board;
    PtyRun run(100, {"/u", "\\nk.bin"});
    // The whole box at the old width first: its key hint comes last.
    ASSERT_TRUE(run.WaitFor("Esc: Cancel)")) << run.Output();
    size_t before = run.Output().size();
    run.Resize(30);   // the kernel tells the program with SIGWINCH
    ASSERT_TRUE(run.WaitFor("Are you sure", before)) << "the box is drawn again:\n" << run.Output();
    run.Type("o");
    ASSERT_TRUE(run.WaitFor("Reset now?", before)) << run.Output();
    run.Type("n");
    EXPECT_EQ(run.Wait(), 1);
    std::string after = run.Output().substr(before);
    EXPECT_LT(WidestLine(after), 30u) << after;
    EXPECT_NE(after.find("== Updating IMAGE =="), std::string::npos);
}

TEST(TerminalDrill, CtrlZGivesTheTerminalBackAndFgTakesItAgain)
{
    DrillBoard board;
    PtyRun run(80, {});
    ASSERT_TRUE(run.WaitFor("== Update Tool 1.7 ==")) << run.Output();
    run.Type("\x1a");   // Ctrl-Z
    ASSERT_TRUE(run.WaitFor("<stopped icanon=")) << run.Output();
    EXPECT_NE(run.Output().find("<stopped icanon=1>"), std::string::npos)
        << "the terminal is back in its normal mode while stopped";
    size_t stopped = run.Output().size();
    run.Continue();
    ASSERT_TRUE(run.WaitFor("== Update Tool 1.7 ==", stopped)) << "redrawn after fg:\n" << run.Output();
    run.Type("\x1b");   // keys at once again: Escape closes without Enter
    EXPECT_EQ(run.Wait(), 1);
}

// A name beyond U+FFFF typed at the open-file dialog (two UTF-16 units on
// the device), and a resize while the line is being typed: the list, the
// prompt and what was typed so far are drawn again at the new width.
TEST(TerminalDrill, TheOpenFileDialogTakesAnyCharacterAndRedrawsOnResize)
{
    DrillBoard board;
    const std::string disk = "\xF0\x9F\x92\xBE";   // U+1F4BE
    ASSERT_EQ(std::system(("cp '" + board.rootfs() + "/nk.bin' '" + board.rootfs() + "/" + disk + ".bin'").c_str()), 0);
    PtyRun run(100, {"/u"});
    ASSERT_TRUE(run.WaitFor("File: ")) << run.Output();
    run.Type(disk);
    ASSERT_TRUE(run.WaitFor("File: " + disk)) << run.Output();
    size_t before = run.Output().size();
    run.Resize(40);
    ASSERT_TRUE(run.WaitFor("A bare name is taken in", before)) << "the list is drawn again:\n" << run.Output();
    ASSERT_TRUE(run.WaitFor("File: " + disk, before)) << "and the line so far:\n" << run.Output();
    run.Type(".bin\r");
    ASSERT_TRUE(run.WaitFor("Are you sure", before)) << run.Output();
    EXPECT_LT(WidestLine(run.Output().substr(before)), 40u) << run.Output().substr(before);
    run.Type("o");
    ASSERT_TRUE(run.WaitFor("Reset now?", before)) << run.Output();
    run.Type("n");
    EXPECT_EQ(run.Wait(), 1);
}

TEST(TerminalDrill, ADumbTerminalGetsPlainLines)
{
    DrillBoard board;
    PtyRun run(80, {}, "dumb");
    ASSERT_TRUE(run.WaitFor("Dialog: Update Tool 1.7")) << run.Output();
    // The buttons answer to their places, as the full terminal's keys do.
    run.Type("4\n");
    ASSERT_TRUE(run.WaitFor("-> [1004] BSP Version")) << run.Output();
    ASSERT_TRUE(run.WaitFor("[OK]")) << run.Output();
    run.Type("\n");   // Enter takes the box's default
    size_t answered = run.Output().size();
    ASSERT_TRUE(run.WaitFor("-> OK", answered)) << run.Output();
    run.Type("\x04");
    EXPECT_EQ(run.Wait(), 1);
    EXPECT_EQ(run.Output().find("\x1b["), std::string::npos) << run.Output();
    EXPECT_NE(run.Output().find("-> [2] close"), std::string::npos) << run.Output();
    EXPECT_EQ(run.Output().find("is no button"), std::string::npos) << run.Output();
}

// An update typed at a dumb terminal: each change of the progress dialog is
// written once, not twice as unattended.
TEST(TerminalDrill, ADumbTerminalWritesEachProgressChangeOnce)
{
    DrillBoard board;
    PtyRun run(80, {"/u", "\\nk.bin"}, "dumb");
    ASSERT_TRUE(run.WaitFor("Are you sure")) << run.Output();
    ASSERT_TRUE(run.WaitFor("[OK / Cancel]")) << run.Output();
    run.Type("o\n");
    ASSERT_TRUE(run.WaitFor("Reset now?")) << run.Output();
    ASSERT_TRUE(run.WaitFor("[Yes / No]")) << run.Output();
    run.Type("n\n");
    EXPECT_EQ(run.Wait(), 1);
    const std::string& out = run.Output();
    EXPECT_NE(out.find("-> OK"), std::string::npos) << out;
    EXPECT_GT(Count(out, " bar]: "), 0u) << out;
    // Every line that shows a bar or a text names its control: no short twin.
    for (size_t at = out.find(": "); at != std::string::npos; at = out.find(": ", at + 1)) {
        size_t begin = out.rfind('\n', at) + 1;
        std::string head = out.substr(begin, at - begin);
        size_t blank = head.rfind(' ');
        std::string last = blank == std::string::npos ? head : head.substr(blank + 1);
        bool shortTwin = !last.empty() && last.find_first_not_of("0123456789") == std::string::npos &&
                         head.rfind("Dialog", 0) != 0;
        EXPECT_FALSE(shortTwin) << out.substr(begin, out.find('\n', at) - begin);
    }
}

// Below 20 columns a dialog cannot be drawn without breaking it: a line
// says so, and plain lines follow.
TEST(TerminalDrill, BelowTwentyColumnsPlainLinesFollowALineThatSaysSo)
{
    DrillBoard board;
    PtyRun run(19, {});
    ASSERT_TRUE(run.WaitFor("Dialog: Update Tool 1.7")) << run.Output();
    run.Type("\x04");
    EXPECT_EQ(run.Wait(), 1);
    EXPECT_EQ(run.Output().find("\x1b["), std::string::npos) << run.Output();
    EXPECT_EQ(run.Output().rfind("The terminal is too narrow (19 columns, 20 needed): plain lines follow.", 0), 0u)
        << run.Output();
}

// The closing line at the end of a terminal's output, its folds undone,
// without the terminal's carriage returns.
std::string ClosingLine(const std::string& out)
{
    size_t at = out.rfind("flashupdate: ");
    std::string line;
    for (char c : out.substr(at == std::string::npos ? out.size() : at))
        if (c != '\r')
            line += c;
    for (size_t fold; (fold = line.find("\n  ")) != std::string::npos;)
        line.replace(fold, 3, " ");
    return line;
}

TEST(TerminalDrill, EveryRunInTheTerminalEndsWithItsClosingLine)
{
    {
        SCOPED_TRACE("cancelled at the warning");
        DrillBoard board;
        PtyRun run(100, {"/u", "\\nk.bin"});
        ASSERT_TRUE(run.WaitFor("Are you sure")) << run.Output();
        run.Type("c");
        EXPECT_EQ(run.Wait(), 1);
        EXPECT_EQ(ClosingLine(run.Output()), "flashupdate: flash unchanged\n") << run.Output();
    }
    {
        SCOPED_TRACE("completed");
        DrillBoard board;
        PtyRun run(100, {"/u", "\\nk.bin"});
        ASSERT_TRUE(run.WaitFor("Are you sure")) << run.Output();
        run.Type("o");
        ASSERT_TRUE(run.WaitFor("Reset now?")) << run.Output();
        run.Type("n");
        EXPECT_EQ(run.Wait(), 1);
        EXPECT_EQ(ClosingLine(run.Output()),
                  "flashupdate: flash written and read back: 2097152 bytes at flash offset 0x00080000\n")
            << run.Output();
    }
    {
        SCOPED_TRACE("a program fault");
        DrillBoard board;
        ASSERT_TRUE(board::SetSetting("fault-program", "0x100000"));
        PtyRun run(100, {"/u", "\\nk.bin"});
        ASSERT_TRUE(run.WaitFor("Are you sure")) << run.Output();
        run.Type("o");
        ASSERT_TRUE(run.WaitFor("Error writing to Flash!")) << run.Output();
        run.Type("\r");
        EXPECT_EQ(run.Wait(), 1);
        std::string line = ClosingLine(run.Output());
        EXPECT_EQ(line.rfind("flashupdate: FAILED: flash changed (", 0), 0u) << run.Output();
        EXPECT_NE(line.find("do not restart the device"), std::string::npos) << line;
    }
}

TEST(TerminalDrill, CtrlCDuringTheUpdateEndsWithAFailedClosingLine)
{
    DrillBoard board;
    ASSERT_TRUE(board::SetSetting("timing", "scaled"));
    ASSERT_TRUE(board::SetSetting("timing-scale", "0.05"));
    PtyRun run(100, {"/u", "\\nk.bin"});
    ASSERT_TRUE(run.WaitFor("Are you sure")) << run.Output();
    run.Type("o");
    ASSERT_TRUE(run.WaitFor("Section")) << run.Output();
    run.Type("\x03");   // the terminal's interrupt
    ASSERT_TRUE(run.WaitFor("Update aborted!")) << run.Output();
    run.Type("\r");
    EXPECT_EQ(run.Wait(), 1);
    EXPECT_EQ(ClosingLine(run.Output()).rfind("flashupdate: FAILED: flash changed (", 0), 0u) << run.Output();
}

TEST(TerminalDrill, TheReasonAFileCannotBeOpenedIsShownWithTheBox)
{
    DrillBoard board;
    PtyRun run(100, {"/u", "\\missing.bin"});
    ASSERT_TRUE(run.WaitFor("[OK]")) << run.Output();
    const std::string& out = run.Output();
    size_t text = out.find("Cannot Open Image File \\missing.bin");
    size_t reason = out.find("flashupdate: No such file or directory");
    ASSERT_NE(text, std::string::npos) << out;
    ASSERT_NE(reason, std::string::npos) << out;
    EXPECT_LT(text, reason);
    EXPECT_LT(reason, out.find("[OK]")) << "between the text and the button";
    run.Type("\r");
    EXPECT_EQ(run.Wait(), 1);
    EXPECT_EQ(ClosingLine(run.Output()), "flashupdate: flash unchanged\n") << run.Output();
}

}  // namespace
