// The interactive terminal presenter: dialogs drawn as text blocks whose
// bars move in place (ANSI escapes), answered by keys.
//
// Keys: the number of a button presses it; Left/Right/Up/Down choose a
// button and Enter presses it; Escape closes (command 2, the progress
// dialog's Abort). Message boxes take the first letter of a button, the
// arrows and Enter, or Escape. Ctrl-C stays a signal (Abort / close).
// The terminal's settings are restored when the presenter goes, and by
// the signal path before the process ends.
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
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

// The settings to restore; read by the signal path, so kept in plain globals.
struct termios g_saved;
volatile sig_atomic_t g_savedValid = 0;
int g_ttyFd = -1;

enum Key { kNone = 0, kEnter = -1, kEscape = -2, kLeft = -3, kRight = -4, kUp = -5, kDown = -6,
           kEnd = -7 };

std::string Bar(int32_t low, int32_t high, int32_t pos, int width)
{
    int filled = 0;
    if (high > low)
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
        if (tcgetattr(inFd_, &g_saved) == 0) {
            g_ttyFd = inFd_;
            g_savedValid = 1;
            struct termios raw = g_saved;
            raw.c_lflag &= static_cast<tcflag_t>(~(ICANON | ECHO));   // keys at once; ISIG stays
            raw.c_cc[VMIN] = 1;
            raw.c_cc[VTIME] = 0;
            tcsetattr(inFd_, TCSANOW, &raw);
        }
    }
    ~TerminalPresenter() override
    {
        Write("\x1b[0m\x1b[?25h");
        if (g_savedValid) {
            tcsetattr(inFd_, TCSANOW, &g_saved);
            g_savedValid = 0;
        }
    }

    int MessageBox(Window, const std::wstring& text, const std::wstring& caption,
                   uint32_t style) override
    {
        std::vector<int> buttons = UiBoxButtons(style);
        int def = UiBoxDefault(style);
        size_t selected = 0;
        for (size_t i = 0; i < buttons.size(); ++i)
            if (buttons[i] == def)
                selected = i;
        std::string body = "\n \x1b[1m" + UiUtf8(caption) + "\x1b[0m\n";
        std::string t;
        for (char c : UiUtf8(text))
            if (c != '\r')
                t.push_back(c);
        for (size_t start = 0; start <= t.size();) {
            size_t nl = t.find('\n', start);
            body += " " + t.substr(start, nl == std::string::npos ? std::string::npos : nl - start) + "\n";
            if (nl == std::string::npos)
                break;
            start = nl + 1;
        }
        BoxShown shownBox(*this);
        InputTurn::BoxHold in(turn_);
        for (bool first = true;; first = false) {
            std::string line = first ? body : "\r\x1b[2K";
            for (size_t i = 0; i < buttons.size(); ++i) {
                std::string name = UiButtonName(buttons[i]);
                line += i == selected ? " \x1b[7m[" + name + "]\x1b[0m" : " [" + name + "]";
            }
            Write(line);
            int termFd = OsPosixTerminationFd();
            int key = ReadKey(&termFd, termFd >= 0 ? 1 : 0, -1);
            int answer = 0;
            if (key == kNone)
                answer = UiBoxCloseAnswer(style);   // termination
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
                Write(std::string("  -> ") + UiButtonName(answer) + "\n");
                ++outputs_;
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
        std::string list = "\n \x1b[1m" + (record->title ? UiUtf8(record->title) : std::string("Open")) +
                           "\x1b[0m  " + UiUtf8(pattern) + " in " + UiUtf8(dir) + "\n";
        for (size_t i = 0; i < files.size(); ++i)
            list += "  " + std::to_string(i + 1) + ". " + UiUtf8(files[i]) + "\n";
        if (files.empty())
            list += "  (no files)\n";
        BoxShown shownBox(*this);
        InputTurn::BoxHold in(turn_);
        Write(list);
        for (;;) {
            Write(" File (number or path, empty line: cancel): ");
            std::string line;
            if (!ReadLineCooked(&line) || line.empty())
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
            std::string error;
            if (path.size() + 1 > record->maxFile)
                error = " The path is too long.\n";
            else if ((record->flags & OS_OFN_PATHMUSTEXIST) && !UiFolderOfExists(path))
                error = " No such folder: " + UiUtf8(path) + "\n";
            else if ((record->flags & OS_OFN_FILEMUSTEXIST) && !UiFileExists(path))
                error = " No such file: " + UiUtf8(path) + "\n";
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
        DrawLocked(dialog, s, true);
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
        it->second.pending = true;
        DrawLocked(dialog, it->second, true);
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
                timeout = since >= kRedrawIntervalMs ? 0 : static_cast<int>(kRedrawIntervalMs - since);
            }
        }
        std::unique_lock<std::mutex> in = turn_.TryForDialog();
        if (!in.owns_lock() || eofSent) {
            // A message box has the keyboard (or the input ended): wait.
            std::vector<pollfd> polls;
            for (int i = 0; i < nfds; ++i)
                polls.push_back({fds[i], POLLIN, 0});
            poll(polls.data(), polls.size(), timeout < 0 || timeout > 50 ? 50 : timeout);
            return 0;
        }
        std::vector<int> watched(fds, fds + nfds);
        watched.push_back(turn_.PokeFd());
        int key = ReadKey(watched.data(), static_cast<int>(watched.size()), timeout);
        turn_.Drain();
        in.unlock();
        std::lock_guard<std::mutex> hold(stateLock_);
        State& s = states_[dialog];
        if (s.buttons.empty())
            return key == kEscape ? OS_IDCANCEL : 0;
        switch (key) {
        case kNone:
            return 0;
        case kEnd:
            s.eofSent = true;
            return OS_IDCANCEL;
        case kEscape:
            return OS_IDCANCEL;
        case kEnter:
            return s.buttons[s.selected];
        case kLeft:
        case kUp:
            s.selected = s.selected == 0 ? s.buttons.size() - 1 : s.selected - 1;
            s.pending = true;
            DrawLocked(dialog, s, true);
            return 0;
        case kRight:
        case kDown:
            s.selected = (s.selected + 1) % s.buttons.size();
            s.pending = true;
            DrawLocked(dialog, s, true);
            return 0;
        default:
            if (key >= '1' && key <= '9' && static_cast<size_t>(key - '1') < s.buttons.size())
                return s.buttons[static_cast<size_t>(key - '1')];
            return 0;
        }
    }

private:
    struct State {
        std::vector<int> buttons;
        size_t selected = 0;
        bool eofSent = false;
        bool pending = false;
        uint64_t drawnVersion = ~0ull;
        uint32_t lastDraw = 0;
        int lines = 0;            // lines of the last drawing
        uint64_t outputsAt = 0;   // outputs_ right after the last drawing
        uint64_t order = 0;       // when it was shown: the latest is on top
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
                UiDialogView view;
                if (UiSnapshot(top->first, &view) &&
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
        if (!force && s.lines > 0 && now - s.lastDraw < kRedrawIntervalMs) {
            s.pending = true;
            return;
        }
        std::string out;
        if (s.lines > 0 && s.outputsAt == outputs_)
            out += "\x1b[" + std::to_string(s.lines) + "A";
        else
            out += "\n";
        std::vector<std::string> lines;
        lines.push_back("\x1b[1m== " + UiUtf8(view.caption) + " ==\x1b[0m");
        std::vector<UiControlView> shown;   // texts and bars, top to bottom
        for (const UiControlView& c : view.controls)
            if (c.kind != UiControlKind::Button)
                shown.push_back(c);
        std::stable_sort(shown.begin(), shown.end(), [](const UiControlView& a, const UiControlView& b) {
            return a.y != b.y ? a.y < b.y : a.x < b.x;
        });
        for (const UiControlView& c : shown) {
            if (c.kind == UiControlKind::Static)
                lines.push_back("  " + UiUtf8(c.text));
            else if (c.kind == UiControlKind::Progress)
                lines.push_back("  " + Bar(c.rangeLow, c.rangeHigh, c.pos, 40) + " " +
                                std::to_string(c.pos) + "/" + std::to_string(c.rangeHigh));
        }
        // Buttons in rows as the template places them, numbered in template order.
        std::map<short, std::map<short, std::string>> rows;
        size_t index = 0;
        for (const UiControlView& c : view.controls) {
            if (c.kind != UiControlKind::Button)
                continue;
            std::string label = std::to_string(index + 1) + " " + UiUtf8(c.text);
            rows[c.y][c.x] = index == s.selected ? "\x1b[7m[" + label + "]\x1b[0m" : "[" + label + "]";
            ++index;
        }
        for (auto& [y, row] : rows) {
            std::string line = " ";
            for (auto& [x, button] : row)
                line += " " + button;
            lines.push_back(line);
        }
        lines.push_back(view.ended ? std::string() : "  (number or arrows + Enter; Esc: close)");
        for (const std::string& l : lines)
            out += "\r\x1b[2K" + l + "\n";
        Write(out);
        ++outputs_;
        s.lines = static_cast<int>(lines.size());
        s.outputsAt = outputs_;
        s.drawnVersion = view.version;
        s.lastDraw = now;
        s.pending = false;
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
            // Escape alone, or the start of an arrow key's sequence.
            pollfd more{inFd_, POLLIN, 0};
            if (poll(&more, 1, 50) <= 0)
                return kEscape;
            unsigned char seq[2];
            if (read(inFd_, &seq[0], 1) != 1 || (seq[0] != '[' && seq[0] != 'O'))
                return kEscape;
            if (poll(&more, 1, 50) <= 0 || read(inFd_, &seq[1], 1) != 1)
                return kEscape;
            switch (seq[1]) {
            case 'A': return kUp;
            case 'B': return kDown;
            case 'C': return kRight;
            case 'D': return kLeft;
            default: return kNone;
            }
        }
    }

    // A line typed with echo, in the terminal's normal mode.
    bool ReadLineCooked(std::string* line)
    {
        if (g_savedValid)
            tcsetattr(inFd_, TCSANOW, &g_saved);
        line->clear();
        bool got = false;
        for (;;) {
            pollfd fds[2] = {{inFd_, POLLIN, 0}, {OsPosixTerminationFd(), POLLIN, 0}};
            int r = poll(fds, fds[1].fd >= 0 ? 2 : 1, -1);
            if (r < 0 && errno == EINTR)
                continue;
            if (r <= 0 || !(fds[0].revents & (POLLIN | POLLHUP | POLLERR)))
                break;
            char c;
            if (read(inFd_, &c, 1) != 1)
                break;
            got = true;
            if (c == '\n')
                break;
            line->push_back(c);
        }
        if (g_savedValid) {
            struct termios raw = g_saved;
            raw.c_lflag &= static_cast<tcflag_t>(~(ICANON | ECHO));
            tcsetattr(inFd_, TCSANOW, &raw);
        }
        while (!line->empty() && (line->back() == '\r' || line->back() == ' '))
            line->pop_back();
        return got;
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
};

}  // namespace

std::unique_ptr<UiPresenter> UiNewTerminalPresenter(int inFd, int outFd)
{
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
