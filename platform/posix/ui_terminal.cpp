// The interactive terminal presenter: dialogs drawn as text blocks whose
// bars move in place (ANSI escapes), answered by keys. A button's number
// presses it, the arrows choose by the template's layout and Enter presses,
// Escape and Ctrl-C close (command 2, the progress dialog's Abort); a
// message box also takes a button's first letter. Every line fits the
// terminal's width, read at each drawing, so that a redraw in place knows
// how many lines to climb; a resize or fg redraws. The terminal's modes,
// signals and keys are in ui_terminal_io.cpp, the layout in
// ui_terminal_layout.cpp.
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cwctype>
#include <map>
#include <mutex>

#include "platform/clock.h"
#include "platform/common/run_report.h"
#include "platform/files.h"
#include "platform/posix/ui_line.h"
#include "platform/posix/ui_presenter.h"
#include "platform/posix/ui_terminal_io.h"
#include "platform/posix/ui_terminal_layout.h"

namespace {

using namespace term;

constexpr uint32_t kRedrawIntervalMs = 100;
// A dialog taller than the terminal cannot be redrawn in place (the cursor
// cannot climb above the screen's top): each change draws it anew below,
// so such drawings come at most once a second rather than ten times.
constexpr uint32_t kTallRedrawIntervalMs = 1000;
constexpr uint32_t kHoldBlankMs = 300;
// Fewer columns than this get the plain line protocol.
constexpr int kNarrowestColumns = 20;

class TerminalPresenter : public UiPresenter {
public:
    TerminalPresenter(int inFd, int outFd) : inFd_(inFd), outFd_(outFd), ownsSignals_(Take(inFd)) {}
    ~TerminalPresenter() override
    {
        Write("\x1b[0m\x1b[?25h");
        GiveBack(inFd_, ownsSignals_);
    }

    int AnswerBox(Window, const std::wstring& text, const std::wstring& caption,
                  uint32_t style) override
    {
        std::vector<int> buttons = UiBoxButtons(style);
        int def = UiBoxDefault(style);
        size_t selected = static_cast<size_t>(std::find(buttons.begin(), buttons.end(), def) - buttons.begin());
        std::string t = UiUtf8(text);
        t.erase(std::remove(t.begin(), t.end(), '\r'), t.end());
        // The box as it fits the terminal now (again after a resize or fg).
        auto body = [&] {
            size_t width = Width();
            std::string out = "\n \x1b[1m" + Clip(UiUtf8(caption), width - 1) + "\x1b[0m\n";
            for (size_t start = 0, nl = 0; nl != std::string::npos; start = nl + 1) {
                nl = t.find('\n', start);
                for (const std::string& l : Wrap(t.substr(start, nl - start), width, " "))
                    out += l + "\n";
            }
            // The platform's reason for the failure the box reports (if
            // any), dimmed: it is not the program's.
            std::string reason = RunReasonLine();
            if (!reason.empty()) {
                reason.pop_back();
                for (const std::string& l : Wrap(reason, width, " "))
                    out += "\x1b[2m" + l + "\x1b[0m\n";
            }
            return out;
        };
        BoxShown shownBox(*this);
        InputTurn::BoxHold in(turn_);
        // A box answers only keys typed while it is seen: those typed before
        // it came or with its answer ("o" and Enter) are dropped, or the
        // dialog behind would take them (the progress dialog's Enter is Abort).
        DropTypedAhead(inFd_);
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
            watched[nwatched++] = SignalFd();
            int key = ReadKey(inFd_, watched, nwatched, -1);
            if (key == kNone && TakeSignals()) {
                Write("\n");
                again = true;   // drawn again below, as the terminal is now
                continue;
            }
            int answer = 0;
            if (key == kNone) {
                UiBoxInterrupted();   // this box's own Ctrl-C, taken here: never handed on
                answer = UiBoxCloseAnswer(style);   // Ctrl-C (as Escape), or termination
            }
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
                UiBoxAnswered();   // the window behind takes an interrupt from now on
                std::string echo = std::string("-> ") + UiButtonName(answer);
                Write("\r\x1b[2K" + row() + (used + 2 + echo.size() <= Width() ? "  " : "\n  ") + echo + "\n");
                ++outputs_;
                DropTypedAhead(inFd_);
                return answer;
            }
        }
    }

    int OpenFile(OsOpenFileName* record) override
    {
        // The files of the first filter in the initial folder, numbered.
        std::wstring name, pattern;
        UiFirstFilter(record->filter, &name, &pattern);
        if (pattern.empty())
            pattern = L"*";
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
            // Blanks around a path (a pasted selection's) are no part of it,
            // as in the unattended protocol.
            line = lineproto::Trim(line);
            if (line.empty())
                return 0;
            std::wstring path = UiWideFromUtf8(line);
            if (line.size() < 4 && line.find_first_not_of("0123456789") == std::string::npos) {
                size_t n = static_cast<size_t>(std::stoi(line));
                if (n >= 1 && n <= files.size())
                    path = files[n - 1];
            }
            path = UiResolveChoice(path, record->initialDir);
            std::string error = UiChoiceError(path, record);
            if (error.empty()) {
                UiBoxAnswered();
                path.copy(record->file, path.size());
                record->file[path.size()] = 0;
                return 1;
            }
            Write(" " + error + UiUtf8(path) + "\n");
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
            UiWaitReadable(fds, nfds, timeout < 0 || timeout > 50 ? 50 : timeout);
            if (in.owns_lock())
                TakeSignals();
            return 0;
        }
        std::vector<int> watched(fds, fds + nfds);
        watched.push_back(turn_.PokeFd());
        watched.push_back(SignalFd());
        int key = ReadKey(inFd_, watched.data(), static_cast<int>(watched.size()), timeout);
        turn_.Drain();
        in.unlock();
        if (key == kNone) {
            TakeSignals();
            return 0;
        }
        int command = CommandOfKey(dialog, key);
        if (command == OS_IDCANCEL)
            ClosePending(dialog);
        return command;
    }

    void DialogInterrupted(Window dialog) override { ClosePending(dialog); }

    // Below the dialogs, which are then drawn afresh below it.
    void Notice(const std::string& line) override
    {
        Write(" " + line + "  (Ctrl-C: cancel)\n");
        ++outputs_;
    }

private:
    // The command a key gives the dialog (0: none).
    int CommandOfKey(Window dialog, int key)
    {
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
                s.selected = MoveSelection(view, s.selected, key);
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

    // Abort (the close command) was given to a dialog whose only button it
    // is: it ends when its work stops, after the erase in progress. Until
    // then its last line says so, in place of what the keys do.
    void ClosePending(Window dialog)
    {
        std::lock_guard<std::mutex> hold(stateLock_);
        auto it = states_.find(dialog);
        if (it == states_.end() || it->second.buttons != std::vector<int>{OS_IDCANCEL} || it->second.closeAsked)
            return;
        it->second.closeAsked = true;
        it->second.pending = true;
        DrawLocked(dialog, it->second, true);
    }

    struct State {
        std::vector<int> buttons;
        size_t selected = 0;
        bool eofSent = false;
        bool closeAsked = false;  // its close command was given: it ends when its work stops
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

    // While a box (or the open-file dialog) is on the screen, dialogs are
    // not redrawn: a redraw in place would climb over its lines. The top
    // dialog is drawn just before the box, and afresh below it once it went.
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

    // The dialog shown last of those still open (on top). Requires stateLock_.
    std::map<Window, State>::iterator TopLocked()
    {
        return std::max_element(states_.begin(), states_.end(),
                                [](const auto& a, const auto& b) { return a.second.order < b.second.order; });
    }

    // Resizes and fg since the last look: every dialog is then drawn afresh,
    // as the terminal is now. True when there were any.
    bool TakeSignals()
    {
        if (!TakeRedraw())
            return false;
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
        return static_cast<size_t>(std::max(cols, kNarrowestColumns) - 1);
    }

    // The dialog's lines as they fit the terminal now (RenderDialog).
    std::pair<std::string, std::vector<std::string>> Render(const UiDialogView& view, const State& s) const
    {
        return RenderDialog(view, Width(), s.buttons, s.selected, UiBarUnit(), s.closeAsked);
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

    // A line typed at prompt, edited key by key: text, Backspace, Ctrl-U;
    // Enter ends it. Escape, Ctrl-D on an empty line, the end of input,
    // Ctrl-C and termination cancel it (false). After a resize or fg, above()
    // (what stands above the prompt) is drawn again, then the prompt.
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
            watched[nwatched++] = SignalFd();
            int key = ReadKey(inFd_, watched, nwatched, -1);
            if (key == kNone) {
                if (TakeSignals()) {
                    Write("\n" + above());
                    continue;
                }
                // Ctrl-C or termination; or only a signal that broke the wait.
                if (UiWaitReadable(watched, boxFds, 0))
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
    bool ownsSignals_;                   // resize and stop/continue handlers installed
};

}  // namespace

std::unique_ptr<UiPresenter> UiNewTerminalPresenter(int inFd, int outFd)
{
    // Without cursor control nothing can be drawn in place: plain lines, as
    // unattended, typed with Enter.
    if (isatty(outFd) && !HasCursorControl())
        return UiNewLinePresenter(inFd, outFd, /*typed=*/true);
    // Below 20 columns a dialog cannot be laid out without breaking its
    // numbers and words: said once, then plain lines, as without cursor
    // control.
    int cols, rows;
    TerminalSize(outFd, inFd, &cols, &rows);
    if (cols < kNarrowestColumns) {
        UiWriteAll(outFd, "The terminal is too narrow (" + std::to_string(cols) + " columns, " +
                              std::to_string(kNarrowestColumns) + " needed): plain lines follow.\n");
        return UiNewLinePresenter(inFd, outFd, /*typed=*/true);
    }
    return std::make_unique<TerminalPresenter>(inFd, outFd);
}
