// Terminal input and output of the terminal presenter (see ui_terminal_io.h).
#include "platform/posix/ui_terminal_io.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <mutex>
#include <string>
#include <vector>

#include "platform/posix/ui_presenter.h"
#include "platform/posix/ui_terminal_layout.h"

namespace term {

namespace {

// The settings to restore; read by the signal path, so kept in plain globals.
struct termios g_saved;
struct termios g_raw;                      // ours: keys at once, no echo
volatile sig_atomic_t g_savedValid = 0;
int g_ttyFd = -1;

// Resize and continue-after-stop reach the presenter through this pipe
// (written by the signal handlers); g_redraw says that everything on the
// screen must be drawn afresh.
int g_signalPipe[2] = {-1, -1};
volatile sig_atomic_t g_redraw = 0;
struct sigaction g_oldWinch, g_oldTstp, g_oldCont;

void Poke()
{
    g_redraw = 1;
    UiPoke(g_signalPipe[1]);
}

void ApplyOurMode()
{
    if (g_savedValid && g_ttyFd >= 0 && tcgetpgrp(g_ttyFd) == getpgrp())
        tcsetattr(g_ttyFd, TCSANOW, &g_raw);
}

void OnResize(int)
{
    int saved = errno;
    Poke();
    errno = saved;
}

void OnContinue(int)
{
    int saved = errno;
    ApplyOurMode();
    Poke();
    errno = saved;
}

// Ctrl-Z: the terminal as the shell gave it, then stop as usual; on fg the
// stop returns here and the terminal is taken again.
void OnStop(int)
{
    int saved = errno;
    UiRestoreTerminalFromSignal();
    struct sigaction def {};
    def.sa_handler = SIG_DFL;
    sigemptyset(&def.sa_mask);
    struct sigaction ours;
    sigaction(SIGTSTP, &def, &ours);
    sigset_t unblock;
    sigemptyset(&unblock);
    sigaddset(&unblock, SIGTSTP);
    sigprocmask(SIG_UNBLOCK, &unblock, nullptr);
    raise(SIGTSTP);
    sigaction(SIGTSTP, &ours, nullptr);
    ApplyOurMode();
    Poke();
    errno = saved;
}

}  // namespace

bool HasCursorControl()
{
    const char* term = std::getenv("TERM");
    if (!term || !*term)
        return false;
    std::string t = term;
    return t != "dumb" && t != "unknown" && t != "cons25" && t != "emacs";
}

void TerminalSize(int fd, int fallbackFd, int* cols, int* rows)
{
    struct winsize ws {};
    if ((ioctl(fd, TIOCGWINSZ, &ws) == 0 || ioctl(fallbackFd, TIOCGWINSZ, &ws) == 0) && ws.ws_col > 0) {
        *cols = ws.ws_col;
        *rows = ws.ws_row > 0 ? ws.ws_row : 24;
        return;
    }
    auto fromEnv = [](const char* name, int otherwise) {
        const char* value = std::getenv(name);
        int n = value ? std::atoi(value) : 0;
        return n > 0 ? n : otherwise;
    };
    *cols = fromEnv("COLUMNS", 80);
    *rows = fromEnv("LINES", 24);
}

bool Take(int inFd)
{
    static std::once_flag atExit;
    std::call_once(atExit, [] { std::atexit(UiRestoreTerminalFromSignal); });
    if (g_signalPipe[0] < 0 && pipe2(g_signalPipe, O_NONBLOCK | O_CLOEXEC) != 0)
        g_signalPipe[0] = g_signalPipe[1] = -1;
    if (tcgetattr(inFd, &g_saved) != 0)
        return false;
    g_ttyFd = inFd;
    g_raw = g_saved;
    g_raw.c_lflag &= static_cast<tcflag_t>(~(ICANON | ECHO));   // keys at once; ISIG stays
    g_raw.c_cc[VMIN] = 1;
    g_raw.c_cc[VTIME] = 0;
    g_savedValid = 1;
    tcsetattr(inFd, TCSANOW, &g_raw);
    struct sigaction action {};
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    action.sa_handler = OnResize;
    sigaction(SIGWINCH, &action, &g_oldWinch);
    action.sa_handler = OnContinue;
    sigaction(SIGCONT, &action, &g_oldCont);
    action.sa_handler = OnStop;
    sigaction(SIGTSTP, &action, &g_oldTstp);
    return true;
}

void GiveBack(int inFd, bool handlers)
{
    if (handlers) {
        sigaction(SIGWINCH, &g_oldWinch, nullptr);
        sigaction(SIGCONT, &g_oldCont, nullptr);
        sigaction(SIGTSTP, &g_oldTstp, nullptr);
    }
    if (g_savedValid) {
        g_savedValid = 0;
        tcsetattr(inFd, TCSANOW, &g_saved);
    }
}

int SignalFd() { return g_signalPipe[0]; }

bool TakeRedraw()
{
    UiDrain(g_signalPipe[0]);
    if (!g_redraw)
        return false;
    g_redraw = 0;
    return true;
}

void DropTypedAhead(int inFd)
{
    if (isatty(inFd))
        tcflush(inFd, TCIFLUSH);
}

int ReadKey(int inFd, const int* fds, int nfds, int timeoutMs)
{
    std::vector<pollfd> polls;
    polls.push_back({inFd, POLLIN, 0});
    for (int i = 0; i < nfds; ++i)
        polls.push_back({fds[i], POLLIN, 0});
    if (poll(polls.data(), polls.size(), timeoutMs) <= 0)
        return kNone;
    for (size_t i = 1; i < polls.size(); ++i)
        if (polls[i].revents & (POLLIN | POLLHUP | POLLERR))
            return kNone;   // the loop has work, or a box wants the keyboard
    if (!(polls[0].revents & (POLLIN | POLLHUP | POLLERR)))
        return kNone;
    unsigned char c;
    ssize_t n = read(inFd, &c, 1);
    if (n == 0)
        return kEnd;
    if (n < 0)
        return errno == EINTR || errno == EAGAIN ? kNone : kEnd;
    if (c == '\r' || c == '\n')
        return kEnter;
    if (c != 0x1b)
        return c;
    // Escape alone, or the start of a key's sequence: "ESC [", parameter
    // bytes and a final byte, or "ESC O" and one byte. The whole sequence is
    // read, so that none of its bytes counts as a key of its own (F5 is
    // "ESC [ 1 5 ~": its "5" would press button 5). The arrows, with
    // modifiers or not, choose; function keys, Home and the like are ignored.
    pollfd more{inFd, POLLIN, 0};
    auto next = [&](unsigned char* b) { return poll(&more, 1, 50) > 0 && read(inFd, b, 1) == 1; };
    unsigned char b;
    if (!next(&b) || (b != '[' && b != 'O'))
        return kEscape;   // Escape alone (Alt and a key: the key goes with it)
    const bool csi = b == '[';
    unsigned char final = 0;
    for (int k = 0; k < 16 && next(&b); ++k) {
        if (!csi || (b >= 0x40 && b <= 0x7E)) {
            final = b;
            break;
        }
        if (b < 0x20 || b > 0x3F)
            break;   // no sequence after all
    }
    switch (final) {
    case 'A': return kUp;
    case 'B': return kDown;
    case 'C': return kRight;
    case 'D': return kLeft;
    default: return kIgnored;
    }
}

}  // namespace term

void UiRestoreTerminalFromSignal()
{
    if (term::g_savedValid && term::g_ttyFd >= 0) {
        static const char reset[] = "\x1b[0m\x1b[?25h\n";
        ssize_t n = write(term::g_ttyFd, reset, sizeof reset - 1);
        (void)n;
        tcsetattr(term::g_ttyFd, TCSANOW, &term::g_saved);
    }
}
