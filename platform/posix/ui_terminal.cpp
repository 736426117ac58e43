// The interactive terminal presenter: dialogs drawn as text blocks whose
// bars move in place (ANSI escapes), answered by keys.
//
// Keys: the number of a button presses it; Left/Right/Up/Down choose a
// button by the template's layout and Enter presses it; Escape closes
// (command 2, the progress dialog's Abort). Message boxes take the first
// letter of a button, the arrows and Enter, or Escape. Ctrl-C stays a
// signal (Abort / close).
//
// Every line drawn fits the terminal's width (read at each drawing; a
// resize redraws), so that a redraw in place knows how many lines to climb.
// Ctrl-Z gives the terminal back as it was; fg takes it again and redraws.
// The terminal's settings are restored when the presenter goes, and by the
// signal path before the process ends. A terminal without cursor control
// (TERM unset, "dumb") gets the unattended line protocol instead.
#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <csignal>
#include <cwctype>
#include <map>
#include <mutex>

#include "platform/clock.h"
#include "platform/files.h"
#include "platform/posix/object.h"
#include "platform/posix/ui_line.h"
#include "platform/posix/ui_presenter.h"

namespace {

constexpr uint32_t kRedrawIntervalMs = 100;
// A dialog taller than the terminal cannot be redrawn in place (the cursor
// cannot climb above the screen's top): each change draws it anew below,
// so such drawings come at most once a second rather than ten times.
constexpr uint32_t kTallRedrawIntervalMs = 1000;
constexpr uint32_t kHoldBlankMs = 300;

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
    if (g_signalPipe[1] >= 0) {
        char c = 1;
        ssize_t n = write(g_signalPipe[1], &c, 1);
        (void)n;
    }
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
    if (g_savedValid && g_ttyFd >= 0) {
        static const char show[] = "\x1b[0m\x1b[?25h\n";
        ssize_t n = write(g_ttyFd, show, sizeof show - 1);
        (void)n;
        tcsetattr(g_ttyFd, TCSANOW, &g_saved);
    }
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

// Whether TERM names a terminal that can move its cursor.
bool HasCursorControl()
{
    const char* term = std::getenv("TERM");
    if (!term || !*term)
        return false;
    std::string t = term;
    return t != "dumb" && t != "unknown" && t != "cons25" && t != "emacs";
}

// Columns and rows of the terminal on fd (80 x 24 when it will not say).
void TerminalSize(int fd, int fallbackFd, int* cols, int* rows)
{
    struct winsize ws {};
    *cols = 80;
    *rows = 24;
    if ((ioctl(fd, TIOCGWINSZ, &ws) == 0 || ioctl(fallbackFd, TIOCGWINSZ, &ws) == 0) && ws.ws_col > 0) {
        *cols = ws.ws_col;
        *rows = ws.ws_row > 0 ? ws.ws_row : 24;
    } else {
        if (const char* c = std::getenv("COLUMNS")) {
            int n = std::atoi(c);
            if (n > 0)
                *cols = n;
        }
        if (const char* r = std::getenv("LINES")) {
            int n = std::atoi(r);
            if (n > 0)
                *rows = n;
        }
    }
}

// The columns a character takes on a terminal: 2 for the wide and
// full-width characters (CJK, Hangul, full-width forms, emoji), 0 for
// combining marks and zero-width characters, 1 for the rest. A table of our
// own, so that it does not depend on the locale the program runs in.
int CharColumns(uint32_t c)
{
    if ((c >= 0x0300 && c <= 0x036F) || (c >= 0x1AB0 && c <= 0x1AFF) || (c >= 0x1DC0 && c <= 0x1DFF) ||
        (c >= 0x200B && c <= 0x200F) || (c >= 0x20D0 && c <= 0x20FF) || (c >= 0xFE00 && c <= 0xFE0F) ||
        (c >= 0xFE20 && c <= 0xFE2F))
        return 0;
    if ((c >= 0x1100 && c <= 0x115F) || (c >= 0x2E80 && c <= 0x303E) || (c >= 0x3041 && c <= 0x33FF) ||
        (c >= 0x3400 && c <= 0x4DBF) || (c >= 0x4E00 && c <= 0x9FFF) || (c >= 0xA000 && c <= 0xA4CF) ||
        (c >= 0xAC00 && c <= 0xD7A3) || (c >= 0xF900 && c <= 0xFAFF) || (c >= 0xFE30 && c <= 0xFE4F) ||
        (c >= 0xFF00 && c <= 0xFF60) || (c >= 0xFFE0 && c <= 0xFFE6) || (c >= 0x1F300 && c <= 0x1F64F) ||
        (c >= 0x1F900 && c <= 0x1F9FF) || (c >= 0x20000 && c <= 0x3FFFD))
        return 2;
    return 1;
}

// The character of UTF-8 text that begins at byte i: its length in bytes
// (a lead byte and the continuation bytes that follow it) and its columns.
size_t NextChar(const std::string& text, size_t i, int* columns)
{
    unsigned char lead = static_cast<unsigned char>(text[i]);
    int more = lead >= 0xF0 ? 3 : lead >= 0xE0 ? 2 : lead >= 0xC0 ? 1 : 0;
    uint32_t c = more == 3 ? lead & 0x07u : more == 2 ? lead & 0x0Fu : more == 1 ? lead & 0x1Fu : lead;
    size_t n = 1;
    while (more-- > 0 && i + n < text.size() && (static_cast<unsigned char>(text[i + n]) & 0xC0) == 0x80)
        c = (c << 6) | (static_cast<unsigned char>(text[i + n++]) & 0x3Fu);
    *columns = CharColumns(c);
    return n;
}

// Columns that UTF-8 text takes on a terminal.
size_t Columns(const std::string& text)
{
    size_t n = 0;
    for (size_t i = 0; i < text.size();) {
        int w;
        i += NextChar(text, i, &w);
        n += static_cast<size_t>(w);
    }
    return n;
}

// As much of the beginning of UTF-8 text as fits in `width` columns (never
// half a character), and the rest.
std::string TakeColumns(std::string* text, size_t width)
{
    size_t i = 0, n = 0;
    while (i < text->size()) {
        int w;
        size_t len = NextChar(*text, i, &w);
        if (n + static_cast<size_t>(w) > width)
            break;
        n += static_cast<size_t>(w);
        i += len;
    }
    std::string head = text->substr(0, i);
    text->erase(0, i);
    return head;
}

// Plain text wrapped into lines of at most width characters, at blanks
// where it can; the continuation lines indented like the first.
std::vector<std::string> Wrap(const std::string& text, size_t width, const std::string& indent)
{
    std::vector<std::string> out;
    std::string rest = text;
    size_t room = width > indent.size() + 4 ? width - indent.size() : 4;
    do {
        if (Columns(rest) <= room) {
            out.push_back(indent + rest);
            break;
        }
        std::string probe = rest;
        std::string head = TakeColumns(&probe, room);
        size_t blank = head.rfind(' ');
        if (blank != std::string::npos && blank > room / 2) {
            out.push_back(indent + rest.substr(0, blank));
            rest.erase(0, blank + 1);
        } else {
            out.push_back(indent + head);
            rest = probe;
        }
    } while (!rest.empty());
    return out;
}

// kIgnored: a key that means nothing here (a function key, Home...).
enum Key { kNone = 0, kEnter = -1, kEscape = -2, kLeft = -3, kRight = -4, kUp = -5, kDown = -6,
           kEnd = -7, kIgnored = -8 };

std::string Bar(int32_t low, int32_t high, int32_t pos, int width, bool set)
{
    int filled = 0;
    if (set && high > low)
        filled = static_cast<int>(static_cast<int64_t>(pos - low) * width / (high - low));
    if (filled < 0)
        filled = 0;
    if (filled > width)
        filled = width;
    return "[" + std::string(static_cast<size_t>(filled), '#') +
           std::string(static_cast<size_t>(width - filled), '.') + "]";
}

class TerminalPresenter : public UiPresenter {
public:
    TerminalPresenter(int inFd, int outFd) : inFd_(inFd), outFd_(outFd)
    {
        static std::once_flag atExit;
        std::call_once(atExit, [] { std::atexit(UiRestoreTerminalFromSignal); });
        if (g_signalPipe[0] < 0 && pipe2(g_signalPipe, O_NONBLOCK | O_CLOEXEC) != 0)
            g_signalPipe[0] = g_signalPipe[1] = -1;
        if (tcgetattr(inFd_, &g_saved) == 0) {
            g_ttyFd = inFd_;
            g_raw = g_saved;
            g_raw.c_lflag &= static_cast<tcflag_t>(~(ICANON | ECHO));   // keys at once; ISIG stays
            g_raw.c_cc[VMIN] = 1;
            g_raw.c_cc[VTIME] = 0;
            g_savedValid = 1;
            tcsetattr(inFd_, TCSANOW, &g_raw);
            struct sigaction action {};
            sigemptyset(&action.sa_mask);
            action.sa_flags = SA_RESTART;
            action.sa_handler = OnResize;
            sigaction(SIGWINCH, &action, &g_oldWinch);
            action.sa_handler = OnContinue;
            sigaction(SIGCONT, &action, &g_oldCont);
            action.sa_handler = OnStop;
            sigaction(SIGTSTP, &action, &g_oldTstp);
            ownsSignals_ = true;
        }
    }
    ~TerminalPresenter() override
    {
        Write("\x1b[0m\x1b[?25h");
        if (ownsSignals_) {
            sigaction(SIGWINCH, &g_oldWinch, nullptr);
            sigaction(SIGCONT, &g_oldCont, nullptr);
            sigaction(SIGTSTP, &g_oldTstp, nullptr);
        }
        if (g_savedValid) {
            g_savedValid = 0;
            tcsetattr(inFd_, TCSANOW, &g_saved);
        }
    }

    int AnswerBox(Window, const std::wstring& text, const std::wstring& caption,
                   uint32_t style) override
    {
        std::vector<int> buttons = UiBoxButtons(style);
        int def = UiBoxDefault(style);
        size_t selected = 0;
        for (size_t i = 0; i < buttons.size(); ++i)
            if (buttons[i] == def)
                selected = i;
        std::string t;
        for (char c : UiUtf8(text))
            if (c != '\r')
                t.push_back(c);
        // The box as it fits the terminal now (again after a resize or fg).
        auto body = [&] {
            size_t width = Width();
            std::string out = "\n \x1b[1m" + Clip(UiUtf8(caption), width - 1) + "\x1b[0m\n";
            for (size_t start = 0; start <= t.size();) {
                size_t nl = t.find('\n', start);
                std::string line = t.substr(start, nl == std::string::npos ? std::string::npos : nl - start);
                for (const std::string& l : Wrap(line, width, " "))
                    out += l + "\n";
                if (nl == std::string::npos)
                    break;
                start = nl + 1;
            }
            return out;
        };
        BoxShown shownBox(*this);
        InputTurn::BoxHold in(turn_);
        // A box answers only keys typed while it is seen: those typed before
        // it came (the Enter after a file name, a key pressed twice) are
        // dropped, and so are those typed with its answer ("o" and Enter, as
        // a line is answered unattended), which the dialog behind would
        // otherwise take: the progress dialog's Enter is its Abort.
        DropTypedAhead();
        // The row of buttons, the chosen one highlighted.
        auto row = [&] {
            std::string line;
            for (size_t i = 0; i < buttons.size(); ++i) {
                std::string name = UiButtonName(buttons[i]);
                line += i == selected ? " \x1b[7m[" + name + "]\x1b[0m" : " [" + name + "]";
            }
            return line;
        };
        size_t used = 0;   // columns of the row
        for (int b : buttons)
            used += std::string(UiButtonName(b)).size() + 3;
        // What the keys do, after the buttons while the box waits, as far
        // as the width allows now; the answer takes its place.
        std::string letters;
        for (int b : buttons)
            letters += std::string(letters.empty() ? "" : "/") +
                       static_cast<char>(std::tolower(static_cast<unsigned char>(UiButtonName(b)[0])));
        std::string close = UiButtonName(UiBoxCloseAnswer(style));
        auto hint = [&]() -> std::string {
            for (const std::string& h : {buttons.size() == 1 ? "(" + letters + " or Enter: " + close + ")"
                                                              : "(" + letters + ", or arrows and Enter; Esc: " + close + ")",
                                         "(" + letters + "; Esc: " + close + ")"})
                if (used + 3 + h.size() <= Width())
                    return "   " + h;
            return "";
        };
        for (bool first = true, again = false;; first = again, again = false) {
            Write((first ? body() : "\r\x1b[2K") + row() + hint());
            // Termination, the box's Ctrl-C, and the terminal's own signals.
            int watched[3];
            int nwatched = UiBoxWatchFds(watched);
            watched[nwatched++] = g_signalPipe[0];
            int key = ReadKey(watched, nwatched, -1);
            if (key == kNone && TakeSignals()) {
                Write("\n");
                again = true;   // drawn again below, as the terminal is now
                continue;
            }
            int answer = 0;
            if (key == kNone)
                answer = UiBoxCloseAnswer(style);   // Ctrl-C (as Escape), or termination
            else if (key == kEnd)
                answer = def;
            else if (key == kEscape)
                answer = UiBoxCloseAnswer(style);
            else if (key == kEnter)
                answer = buttons[selected];
            else if (key == kLeft || key == kUp)
                selected = selected == 0 ? buttons.size() - 1 : selected - 1;
            else if (key == kRight || key == kDown)
                selected = (selected + 1) % buttons.size();
            else if (key > 0)
                for (int b : buttons)
                    if (std::towlower(static_cast<wint_t>(UiButtonName(b)[0])) ==
                        std::towlower(static_cast<wint_t>(key)))
                        answer = b;
            if (answer) {
                // The answer after the buttons, in place of the hint, or
                // below them where the line has no room left.
                std::string echo = std::string("-> ") + UiButtonName(answer);
                Write("\r\x1b[2K" + row() + (used + 2 + echo.size() <= Width() ? "  " : "\n  ") + echo + "\n");
                ++outputs_;
                DropTypedAhead();
                return answer;
            }
        }
    }

    int OpenFile(OsOpenFileName* record) override
    {
        // The files of the first filter in the initial folder, numbered.
        std::wstring filter = UiFilterText(record->filter);
        std::wstring pattern = L"*";
        size_t bar = filter.find(L'|');
        if (bar != std::wstring::npos && bar + 1 < filter.size() && filter[bar + 1] != L'|')
            pattern = filter.substr(bar + 1, filter.find(L'|', bar + 1) - bar - 1);
        std::wstring dir = record->initialDir ? record->initialDir : L"";
        std::wstring prefix = dir.empty() || dir.back() == L'\\' || dir.back() == L'/' ? dir : dir + L"\\";
        std::vector<std::wstring> files;
        OsFindData found;
        Handle search = OsFindFirstFile((prefix + pattern).c_str(), &found);
        if (search != OS_INVALID_HANDLE) {
            do {
                if (!(found.attributes & OS_FILE_ATTRIBUTE_DIRECTORY))
                    files.push_back(prefix + found.name);
            } while (files.size() < 50 && OsFindNextFile(search, &found));
            OsFindClose(search);
        }
        // The list as it fits the terminal now (again after a resize or fg).
        auto list = [&] {
            size_t width = Width();
            std::string out = "\n \x1b[1m" + (record->title ? UiUtf8(record->title) : std::string("Open")) +
                              "\x1b[0m  " + Clip(UiUtf8(pattern) + " in " + UiUtf8(dir), width - 7) + "\n";
            // Wrapped, never cut: a name cut short could look like another,
            // and the help must be read to its end.
            auto add = [&](const std::string& text) {
                for (const std::string& l : Wrap(text, width, "  "))
                    out += l + "\n";
            };
            for (size_t i = 0; i < files.size(); ++i)
                add(std::to_string(i + 1) + ". " + UiUtf8(files[i]));
            if (files.empty())
                add("(no files)");
            add("A bare name is taken in " + UiUtf8(dir.empty() ? L"\\" : dir) +
                "; ./x.bin or /tmp/x.bin is a host file.");
            add("A number or a path, then Enter; an empty line or Esc: cancel.");
            return out;
        };
        BoxShown shownBox(*this);
        InputTurn::BoxHold in(turn_);
        Write(list());
        for (;;) {
            std::string line;
            if (!ReadLine(list, " File: ", &line))
                return 0;
            // Blanks around a path (one pasted with its selection's trailing
            // blank) are no part of it, as in the unattended protocol; an
            // error naming "\nk.bin " would not show why it failed.
            size_t first = line.find_first_not_of(" \t"), last = line.find_last_not_of(" \t");
            line = first == std::string::npos ? "" : line.substr(first, last - first + 1);
            if (line.empty())
                return 0;
            std::wstring path = UiWideFromUtf8(line);
            bool numeric = !line.empty() && line.size() < 4;
            for (char c : line)
                numeric = numeric && c >= '0' && c <= '9';
            if (numeric) {
                size_t n = static_cast<size_t>(std::stoi(line));
                if (n >= 1 && n <= files.size())
                    path = files[n - 1];
            }
            path = UiResolveChoice(path, record->initialDir);
            std::string error = UiChoiceError(path, record);
            if (!error.empty())
                error = " " + error + UiUtf8(path) + "\n";
            if (error.empty()) {
                path.copy(record->file, path.size());
                record->file[path.size()] = 0;
                return 1;
            }
            Write(error);
        }
    }

    void DialogShown(Window dialog) override
    {
        std::lock_guard<std::mutex> hold(stateLock_);
        State& s = states_[dialog];
        s = State{};
        s.order = ++shownCount_;
        UiDialogView view;
        if (UiSnapshot(dialog, &view))
            for (const UiControlView& c : view.controls)
                if (c.kind == UiControlKind::Button)
                    s.buttons.push_back(c.id);
        if (Blank(view)) {
            // Nothing to show yet but Abort (a progress dialog whose worker
            // may ask at once): held back briefly, so that a box asked at
            // once does not leave an empty copy of the dialog above it.
            s.holdBlankUntil = OsGetTickCount() + kHoldBlankMs;
            s.pending = true;
            return;
        }
        DrawLocked(dialog, s, true);
    }

    // No text, no bar with a range, no button but id 2.
    static bool Blank(const UiDialogView& view)
    {
        for (const UiControlView& c : view.controls)
            if ((c.kind == UiControlKind::Static && !c.text.empty()) ||
                (c.kind == UiControlKind::Progress && c.rangeSet) ||
                (c.kind == UiControlKind::Button && c.id != OS_IDCANCEL))
                return false;
        return true;
    }

    void DialogUpdate(Window dialog) override
    {
        std::lock_guard<std::mutex> hold(stateLock_);
        auto it = states_.find(dialog);
        if (it != states_.end())
            DrawLocked(dialog, it->second, false);
    }

    void DialogClosed(Window dialog) override
    {
        std::lock_guard<std::mutex> hold(stateLock_);
        auto it = states_.find(dialog);
        if (it == states_.end())
            return;
        State& s = it->second;
        s.holdBlankUntil = 0;   // its last state is drawn, blank or not
        UiDialogView view;
        // A dialog whose last state already stands on the screen (above the
        // box that came last) is not drawn once more: it would only repeat it.
        bool inPlace = s.lines > 0 && s.outputsAt == outputs_ && !s.afresh;
        if (inPlace || !UiSnapshot(dialog, &view) || Render(view, s).first != s.content) {
            s.pending = true;
            DrawLocked(dialog, s, true);
        }
        states_.erase(it);
    }

    int WaitCommand(Window dialog, const int* fds, int nfds) override
    {
        int timeout = -1;
        bool eofSent;
        {
            std::lock_guard<std::mutex> hold(stateLock_);
            State& s = states_[dialog];
            eofSent = s.eofSent;
            if (s.pending) {
                uint32_t since = OsGetTickCount() - s.lastDraw;
                timeout = since >= s.interval ? 0 : static_cast<int>(s.interval - since);
            }
        }
        std::unique_lock<std::mutex> in = turn_.TryForDialog();
        if (!in.owns_lock() || eofSent) {
            // A message box has the keyboard (or the input ended): wait.
            std::vector<pollfd> polls;
            for (int i = 0; i < nfds; ++i)
                polls.push_back({fds[i], POLLIN, 0});
            poll(polls.data(), polls.size(), timeout < 0 || timeout > 50 ? 50 : timeout);
            if (in.owns_lock())
                TakeSignals();
            return 0;
        }
        std::vector<int> watched(fds, fds + nfds);
        watched.push_back(turn_.PokeFd());
        watched.push_back(g_signalPipe[0]);
        int key = ReadKey(watched.data(), static_cast<int>(watched.size()), timeout);
        turn_.Drain();
        in.unlock();
        if (key == kNone) {
            TakeSignals();
            return 0;
        }
        std::lock_guard<std::mutex> hold(stateLock_);
        State& s = states_[dialog];
        if (s.buttons.empty())
            return key == kEscape ? OS_IDCANCEL : 0;
        switch (key) {
        case kEnd:
            s.eofSent = true;
            return OS_IDCANCEL;
        case kEscape:
            return OS_IDCANCEL;
        case kEnter:
            return s.buttons[s.selected];
        case kLeft:
        case kRight:
        case kUp:
        case kDown: {
            UiDialogView view;
            if (UiSnapshot(dialog, &view))
                s.selected = Move(view, s.selected, key);
            s.pending = true;
            DrawLocked(dialog, s, true);
            return 0;
        }
        default:
            if (key >= '1' && key <= '9' && static_cast<size_t>(key - '1') < s.buttons.size())
                return s.buttons[static_cast<size_t>(key - '1')];
            return 0;
        }
    }

    // The button an arrow key leads to from button `from` (both counted in
    // template order), by the template's layout: Left/Right to the nearest
    // button of the same row on that side, Up/Down to the nearest row above
    // or below and in it to the button nearest across (the left one of
    // two as near). Where there is none on that side, the previous or next
    // button in reading order (rows top to bottom, left to right), round.
    static size_t Move(const UiDialogView& view, size_t from, int key)
    {
        struct Box {
            size_t index;
            int left, top, right, bottom;
            int midX() const { return (left + right) / 2; }
            int midY() const { return (top + bottom) / 2; }
        };
        std::vector<Box> boxes;
        for (const UiControlView& c : view.controls)
            if (c.kind == UiControlKind::Button)
                boxes.push_back({boxes.size(), c.x, c.y, c.x + std::max<int>(c.cx, 1),
                                 c.y + std::max<int>(c.cy, 1)});
        if (from >= boxes.size())
            return 0;
        const Box cur = boxes[from];
        auto sameRow = [&](const Box& b) { return b.top < cur.bottom && cur.top < b.bottom; };
        const Box* best = nullptr;
        long long bestScore = 0;
        auto better = [&](const Box& b, long long score) {
            if (!best || score < bestScore || (score == bestScore && b.left < best->left)) {
                best = &b;
                bestScore = score;
            }
        };
        for (const Box& b : boxes) {
            if (b.index == from)
                continue;
            if ((key == kLeft || key == kRight) && sameRow(b)) {
                int d = key == kRight ? b.midX() - cur.midX() : cur.midX() - b.midX();
                if (d > 0)
                    better(b, d);
            } else if ((key == kUp || key == kDown) && !sameRow(b)) {
                int dy = key == kDown ? b.midY() - cur.midY() : cur.midY() - b.midY();
                if (dy > 0)
                    better(b, static_cast<long long>(dy) * 100000 + std::abs(b.midX() - cur.midX()));
            }
        }
        if (best)
            return best->index;
        std::vector<Box> reading = boxes;
        std::stable_sort(reading.begin(), reading.end(), [](const Box& a, const Box& b) {
            return a.midY() != b.midY() ? a.midY() < b.midY() : a.left < b.left;
        });
        size_t at = 0;
        for (size_t i = 0; i < reading.size(); ++i)
            if (reading[i].index == from)
                at = i;
        bool forward = key == kRight || key == kDown;
        at = forward ? (at + 1) % reading.size() : (at + reading.size() - 1) % reading.size();
        return reading[at].index;
    }

private:
    struct State {
        std::vector<int> buttons;
        size_t selected = 0;
        bool eofSent = false;
        bool pending = false;
        bool afresh = false;      // draw below, never in place (the screen changed under it)
        uint64_t drawnVersion = ~0ull;
        uint32_t lastDraw = 0;
        uint32_t interval = kRedrawIntervalMs;   // between drawings that are not forced
        int lines = 0;            // lines of the last drawing
        std::string content;      // what it showed then, but for the hint
        uint64_t outputsAt = 0;   // outputs_ right after the last drawing
        uint64_t order = 0;       // when it was shown: the latest is on top
        uint32_t holdBlankUntil = 0;  // not drawn while blank before this tick (0: drawn)
    };

    // While a message box or the open-file dialog is on the screen, dialogs
    // are not redrawn (a redraw in place would climb over the box's lines).
    // The top dialog's latest state is drawn just before the box, and the
    // dialog is drawn afresh below the box once it has gone.
    class BoxShown {
    public:
        explicit BoxShown(TerminalPresenter& p) : p_(p)
        {
            std::lock_guard<std::mutex> hold(p_.stateLock_);
            auto top = p_.TopLocked();
            if (p_.boxesShown_ == 0 && top != p_.states_.end()) {
                // A dialog held back while blank stays so: the box comes first.
                UiDialogView view;
                if (UiSnapshot(top->first, &view) &&
                    !(top->second.lines == 0 && top->second.holdBlankUntil != 0 && Blank(view)) &&
                    (view.version != top->second.drawnVersion || top->second.pending))
                    p_.DrawLocked(top->first, top->second, true);
            }
            ++p_.boxesShown_;
            ++p_.outputs_;
        }
        ~BoxShown()
        {
            std::lock_guard<std::mutex> hold(p_.stateLock_);
            --p_.boxesShown_;
            ++p_.outputs_;
            auto top = p_.TopLocked();
            if (top != p_.states_.end())
                top->second.pending = true;
        }
        BoxShown(const BoxShown&) = delete;
        BoxShown& operator=(const BoxShown&) = delete;

    private:
        TerminalPresenter& p_;
    };

    // The dialog shown last of those still open (the one on top). Requires
    // stateLock_.
    std::map<Window, State>::iterator TopLocked()
    {
        auto top = states_.end();
        for (auto it = states_.begin(); it != states_.end(); ++it)
            if (top == states_.end() || it->second.order > top->second.order)
                top = it;
        return top;
    }

    // Resizes and fg since the last look: every dialog is then drawn afresh,
    // as the terminal is now. True when there were any.
    bool TakeSignals()
    {
        char buf[32];
        while (g_signalPipe[0] >= 0 && read(g_signalPipe[0], buf, sizeof buf) > 0) {
        }
        if (!g_redraw)
            return false;
        g_redraw = 0;
        std::lock_guard<std::mutex> hold(stateLock_);
        for (auto& entry : states_) {
            entry.second.afresh = true;
            entry.second.pending = true;
        }
        return true;
    }

    // Usable columns: one fewer than the terminal has, so that a full line
    // never leaves the cursor in the margin; at least 19.
    size_t Width() const
    {
        int cols, rows;
        TerminalSize(outFd_, inFd_, &cols, &rows);
        return static_cast<size_t>(std::max(cols, 20) - 1);
    }

    static std::string Clip(std::string text, size_t width) { return TakeColumns(&text, width); }

    // The dialog's lines as they fit `width` columns: the content (caption,
    // texts, bars, buttons) and the hint line; .first is the content joined,
    // .second every line with its attributes.
    std::pair<std::string, std::vector<std::string>> Render(const UiDialogView& view, const State& s) const
    {
        size_t width = Width();
        std::vector<std::string> lines;
        lines.push_back("\x1b[1m" + Clip("== " + UiUtf8(view.caption) + " ==", width) + "\x1b[0m");
        std::vector<UiControlView> shown;   // texts and bars, top to bottom
        for (const UiControlView& c : view.controls)
            if (c.kind != UiControlKind::Button)
                shown.push_back(c);
        std::stable_sort(shown.begin(), shown.end(), [](const UiControlView& a, const UiControlView& b) {
            return a.y != b.y ? a.y < b.y : a.x < b.x;
        });
        std::string unit = UiBarUnit();
        std::string tail = (unit.empty() ? "" : " " + unit) + "  ";
        // Every bar of the dialog as wide as the one with the widest numbers,
        // so that they line up and do not jump as they fill.
        size_t widestAll = 0;
        for (const UiControlView& c : shown)
            if (c.kind == UiControlKind::Progress && c.rangeSet)
                widestAll = std::max(widestAll, (std::to_string(c.rangeHigh) + "/" + std::to_string(c.rangeHigh) +
                                                 tail + "100 %").size());
        for (const UiControlView& c : shown) {
            if (c.kind == UiControlKind::Static) {
                for (const std::string& l : Wrap(UiUtf8(c.text), width, "  "))
                    lines.push_back(l);
            } else if (c.kind == UiControlKind::Progress) {
                // "[#####.....] 768/2048 KB  37 %"; the bar's width is kept
                // for the whole range, so that it does not jump as it fills.
                std::string numbers;
                if (c.rangeSet)
                    numbers = std::to_string(c.pos) + "/" + std::to_string(c.rangeHigh) + tail +
                              std::to_string(UiPercent(c)) + " %";
                int room = static_cast<int>(width) - 4;
                int widest = static_cast<int>(widestAll);
                bool below = widest > 0 && room - 1 - widest < 10;
                int barWidth = below || widest == 0 ? room : room - 1 - widest;
                barWidth = std::max(barWidth, 1);
                std::string bar = "  " + Bar(c.rangeLow, c.rangeHigh, c.pos, barWidth, c.rangeSet);
                if (below) {
                    lines.push_back(bar);
                    // On a line of their own, with single blanks, so that they
                    // fit down to 20 columns.
                    if (!numbers.empty())
                        lines.push_back(Clip(" " + std::to_string(c.pos) + "/" + std::to_string(c.rangeHigh) +
                                                 (unit.empty() ? "" : " " + unit) + " " +
                                                 std::to_string(UiPercent(c)) + " %",
                                             width));
                } else {
                    lines.push_back(numbers.empty() ? bar : bar + " " + numbers);
                }
            }
        }
        // Buttons in rows as the template places them, numbered in template
        // order; a row too wide for the terminal goes on over more lines.
        std::map<short, std::map<short, std::pair<std::string, bool>>> rows;
        size_t index = 0;
        for (const UiControlView& c : view.controls) {
            if (c.kind != UiControlKind::Button)
                continue;
            std::string label = Clip("[" + std::to_string(index + 1) + " " + UiUtf8(c.text), width - 3) + "]";
            rows[c.y][c.x] = {label, index == s.selected};
            ++index;
        }
        for (auto& [y, row] : rows) {
            std::string line = " ";
            size_t used = 1;
            for (auto& [x, button] : row) {
                size_t w = Columns(button.first) + 1;
                if (used > 1 && used + w > width) {
                    lines.push_back(line);
                    line = " ";
                    used = 1;
                }
                line += button.second ? " \x1b[7m" + button.first + "\x1b[0m" : " " + button.first;
                used += w;
            }
            lines.push_back(line);
        }
        std::string content;
        for (const std::string& l : lines)
            content += l + "\n";
        if (!view.ended)
            for (const std::string& l : Wrap(Hint(view, s), width, "  "))
                lines.push_back(l);
        return {content, lines};
    }

    // What the keys do in this dialog.
    static std::string Hint(const UiDialogView& view, const State& s)
    {
        if (s.buttons.empty())
            return "Esc or Ctrl-C: close";
        bool onlyCancel = true;
        std::string cancelText;
        for (const UiControlView& c : view.controls)
            if (c.kind == UiControlKind::Button) {
                onlyCancel = onlyCancel && c.id == OS_IDCANCEL;
                if (c.id == OS_IDCANCEL)
                    cancelText = UiUtf8(c.text);
            }
        // Enter presses that one button too: said, since it is the key
        // typed by habit while an update runs (there it is Abort).
        if (onlyCancel)
            return "Esc or Ctrl-C: " + cancelText + " (Enter too)";
        std::string numbers = s.buttons.size() == 1 ? "1" : "1-" + std::to_string(std::min<size_t>(s.buttons.size(), 9));
        return numbers + ": press; arrows + Enter: choose, press; Esc or Ctrl-C: " +
               (cancelText.empty() ? "close" : cancelText);
    }

    // Draws the dialog: in place when nothing was written below it since
    // its last drawing, else afresh. Throttled unless forced.
    void DrawLocked(Window dialog, State& s, bool force)
    {
        UiDialogView view;
        if (!UiSnapshot(dialog, &view))
            return;
        if (!force && view.version == s.drawnVersion && !s.pending)
            return;
        if (boxesShown_ > 0) {
            s.pending = true;   // drawn again once the box has gone
            return;
        }
        uint32_t now = OsGetTickCount();
        if (!force && s.lines > 0 && now - s.lastDraw < s.interval) {
            s.pending = true;
            return;
        }
        if (s.holdBlankUntil != 0) {
            if (static_cast<int32_t>(s.holdBlankUntil - now) > 0 && Blank(view)) {
                s.pending = true;
                return;
            }
            s.holdBlankUntil = 0;
        }
        int cols, rows;
        TerminalSize(outFd_, inFd_, &cols, &rows);
        auto [content, lines] = Render(view, s);
        std::string out;
        if (s.lines > 0 && s.outputsAt == outputs_ && !s.afresh && s.lines < rows)
            out += "\x1b[" + std::to_string(s.lines) + "A";
        else
            out += "\n";
        for (const std::string& l : lines)
            out += "\r\x1b[2K" + l + "\n";
        out += "\x1b[J";   // what is left of a longer drawing before
        Write(out);
        ++outputs_;
        s.lines = static_cast<int>(lines.size());
        s.interval = s.lines < rows ? kRedrawIntervalMs : kTallRedrawIntervalMs;
        s.content = content;
        s.outputsAt = outputs_;
        s.drawnVersion = view.version;
        s.lastDraw = now;
        s.pending = false;
        s.afresh = false;
    }

    // Discards the keys typed but not read yet.
    void DropTypedAhead()
    {
        if (isatty(inFd_))
            tcflush(inFd_, TCIFLUSH);
    }

    // One key: a character, or one of Key. kNone when fds became readable
    // or the time-out passed; kEnd at the end of input.
    int ReadKey(const int* fds, int nfds, int timeoutMs)
    {
        std::vector<pollfd> polls;
        polls.push_back({inFd_, POLLIN, 0});
        for (int i = 0; i < nfds; ++i)
            polls.push_back({fds[i], POLLIN, 0});
        for (;;) {
            int r = poll(polls.data(), polls.size(), timeoutMs);
            if (r < 0 && errno == EINTR)
                return kNone;
            if (r <= 0)
                return kNone;
            for (size_t i = 1; i < polls.size(); ++i)
                if (polls[i].revents & (POLLIN | POLLHUP | POLLERR))
                    return kNone;   // the loop has work, or a box wants the keyboard
            if (!(polls[0].revents & (POLLIN | POLLHUP | POLLERR)))
                return kNone;
            unsigned char c;
            ssize_t n = read(inFd_, &c, 1);
            if (n == 0)
                return kEnd;
            if (n < 0)
                return errno == EINTR || errno == EAGAIN ? kNone : kEnd;
            if (c == '\r' || c == '\n')
                return kEnter;
            if (c != 0x1b)
                return c;
            // Escape alone, or the start of a key's sequence: "ESC [",
            // parameter bytes and a final byte, or "ESC O" and one byte. The
            // whole sequence is read, so that none of its bytes counts as a
            // key of its own (F5 is "ESC [ 1 5 ~": its "5" pressed button 5,
            // Coldboot). The arrows, with modifiers or not, choose; function
            // keys, Home, Delete and the like are ignored.
            pollfd more{inFd_, POLLIN, 0};
            auto next = [&](unsigned char* b) { return poll(&more, 1, 50) > 0 && read(inFd_, b, 1) == 1; };
            unsigned char b;
            if (!next(&b) || (b != '[' && b != 'O'))
                return kEscape;   // Escape alone (Alt and a key: the key goes with it)
            const bool csi = b == '[';
            unsigned char final = 0;
            for (int n = 0; n < 16 && next(&b); ++n) {
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
    }

    // A line typed at prompt and edited here, keys at once as everywhere
    // else in the dialogs: text, Backspace, Ctrl-U; Enter ends it. Escape,
    // Ctrl-D on an empty line, the end of input, Ctrl-C and termination
    // cancel it (false). After a resize or fg, above() (what stands above
    // the prompt) is drawn again at the new width, then the prompt with
    // what was typed so far.
    template <typename Above>
    bool ReadLine(const Above& above, const std::string& prompt, std::string* line)
    {
        line->clear();
        for (;;) {
            // The prompt and as much of the end of the line as fits after it
            // (at least half the width).
            size_t width = Width();
            std::string shown = Clip(prompt, width / 2);
            std::string tail = *line;
            while (Columns(shown) + Columns(tail) > width) {
                size_t cut = 1;
                while (cut < tail.size() && (static_cast<unsigned char>(tail[cut]) & 0xC0) == 0x80)
                    ++cut;
                tail.erase(0, cut);
            }
            Write("\r\x1b[2K" + shown + tail);
            int watched[3];
            int nwatched = UiBoxWatchFds(watched);
            const int boxFds = nwatched;
            watched[nwatched++] = g_signalPipe[0];
            int key = ReadKey(watched, nwatched, -1);
            if (key == kNone) {
                if (TakeSignals()) {
                    Write("\n" + above());
                    continue;
                }
                // Ctrl-C or termination; or only a signal that broke the wait.
                std::vector<pollfd> box;
                for (int i = 0; i < boxFds; ++i)
                    box.push_back({watched[i], POLLIN, 0});
                if (!box.empty() && poll(box.data(), box.size(), 0) > 0)
                    break;
                pollfd self{inFd_, POLLIN, 0};
                if (poll(&self, 1, 0) > 0 && (self.revents & POLLNVAL))
                    break;
                continue;
            }
            if (key == kEnter) {
                Write("\n");
                return true;
            }
            if (key == kEscape || key == kEnd || (key == 0x04 && line->empty()))
                break;
            if (key == 0x7F || key == 0x08) {
                while (!line->empty() && (static_cast<unsigned char>(line->back()) & 0xC0) == 0x80)
                    line->pop_back();
                if (!line->empty())
                    line->pop_back();
            } else if (key == 0x15) {
                line->clear();
            } else if (key >= 0x20) {
                line->push_back(static_cast<char>(key));
            }
        }
        Write("\n");
        line->clear();
        return false;
    }

    void Write(const std::string& text)
    {
        std::lock_guard<std::mutex> out(outLock_);
        UiWriteAll(outFd_, text);
    }

    int inFd_;
    int outFd_;
    InputTurn turn_;   // one reader of the keyboard at a time, boxes first
    std::mutex outLock_;
    std::mutex stateLock_;
    std::map<Window, State> states_;
    int boxesShown_ = 0;                 // boxes on the screen; guarded by stateLock_
    uint64_t shownCount_ = 0;            // dialogs shown so far; guarded by stateLock_
    std::atomic<uint64_t> outputs_{0};   // things written; tells whether a dialog is still the last
    bool ownsSignals_ = false;           // resize and stop/continue handlers installed
};

}  // namespace

std::unique_ptr<UiPresenter> UiNewTerminalPresenter(int inFd, int outFd)
{
    // Without cursor control nothing can be drawn in place: plain lines, as
    // unattended, typed with Enter.
    if (isatty(outFd) && !HasCursorControl())
        return UiNewLinePresenter(inFd, outFd);
    return std::make_unique<TerminalPresenter>(inFd, outFd);
}

void UiRestoreTerminalFromSignal()
{
    if (g_savedValid && g_ttyFd >= 0) {
        static const char reset[] = "\x1b[0m\x1b[?25h\n";
        ssize_t n = write(g_ttyFd, reset, sizeof reset - 1);
        (void)n;
        tcsetattr(g_ttyFd, TCSANOW, &g_saved);
    }
}
