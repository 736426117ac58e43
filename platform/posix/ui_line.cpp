// The unattended line protocol: dialogs and message boxes as plain lines on
// standard error, answers as lines on standard input, so that any run can
// be scripted and checked.
//
// Which dialog reads standard input: a dialog with at least one button
// other than id 2 reads one line per press. A dialog whose only button is
// id 2 (the progress dialog's Abort) does not read at all: while its worker
// runs, the lines on standard input belong to the worker's message boxes,
// and Abort comes from Ctrl-C (SIGINT).
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <cwctype>
#include <map>
#include <mutex>

#include "platform/clock.h"
#include "platform/posix/object.h"
#include "platform/posix/ui_line.h"
#include "platform/posix/ui_presenter.h"

namespace {

constexpr uint32_t kProgressIntervalMs = 250;   // at most four progress writes a second

std::string Trim(const std::string& s)
{
    size_t b = 0, e = s.size();
    while (b < e && (s[b] == ' ' || s[b] == '\t' || s[b] == '\r'))
        ++b;
    while (e > b && (s[e - 1] == ' ' || s[e - 1] == '\t' || s[e - 1] == '\r'))
        --e;
    return s.substr(b, e - b);
}

std::wstring Lower(const std::wstring& s)
{
    std::wstring out;
    for (wchar_t c : s)
        out.push_back(static_cast<wchar_t>(std::towlower(c)));
    return out;
}

}  // namespace

// ---- LineReader ----------------------------------------------------------

namespace {

// Whether one of fds is readable now (no wait).
bool OthersReady(const int* fds, int nfds)
{
    if (nfds <= 0)
        return false;
    std::vector<pollfd> others;
    for (int i = 0; i < nfds; ++i)
        others.push_back({fds[i], POLLIN, 0});
    if (poll(others.data(), others.size(), 0) <= 0)
        return false;
    for (const pollfd& p : others)
        if (p.revents & (POLLIN | POLLHUP | POLLERR))
            return true;
    return false;
}

}  // namespace

int LineReader::ReadLine(std::string* line, const int* fds, int nfds, int timeoutMs)
{
    for (;;) {
        if (skipping_) {
            size_t nl = buffer_.find('\n');
            if (nl != std::string::npos) {
                buffer_.erase(0, nl + 1);
                start_ = scanned_ = 0;
                skipping_ = false;
                return kTooLong;
            }
            buffer_.clear();
        } else {
            size_t nl = buffer_.find('\n', scanned_);
            if (nl != std::string::npos && OthersReady(fds, nfds))
                return -1;   // a Ctrl-C (or a wake-up) that came with the line comes first
            if (nl != std::string::npos) {
                size_t begin = start_;
                start_ = scanned_ = nl + 1;
                if (nl - begin > kMaxLine)
                    return kTooLong;
                line->assign(buffer_, begin, nl - begin);
                if (!line->empty() && line->back() == '\r')
                    line->pop_back();
                return 1;
            }
            scanned_ = buffer_.size();
            if (buffer_.size() - start_ > kMaxLine) {
                // Too long already: keep nothing of it, read on to its end.
                buffer_.clear();
                start_ = scanned_ = 0;
                skipping_ = true;
            }
        }
        if (eof_) {
            if (skipping_) {
                skipping_ = false;
                return kTooLong;
            }
            if (start_ >= buffer_.size())
                return 0;
            line->assign(buffer_, start_, std::string::npos);   // a last line without its newline
            buffer_.clear();
            start_ = scanned_ = 0;
            return 1;
        }
        std::vector<pollfd> polls;
        polls.push_back({fd_, POLLIN, 0});
        for (int i = 0; i < nfds; ++i)
            polls.push_back({fds[i], POLLIN, 0});
        int r = poll(polls.data(), polls.size(), timeoutMs);
        if (r < 0 && errno == EINTR)
            continue;
        if (r < 0) {
            eof_ = true;
            continue;
        }
        // The other descriptors come first: a box that wants the input
        // must get the line that is waiting, not the dialog.
        for (size_t i = 1; i < polls.size(); ++i)
            if (polls[i].revents & (POLLIN | POLLHUP | POLLERR))
                return -1;
        if (polls[0].revents & (POLLIN | POLLHUP | POLLERR | POLLNVAL)) {
            // Lines already taken go first, so that the buffer holds at
            // most one partial line (bounded by kMaxLine) and a chunk.
            if (start_ > 0) {
                buffer_.erase(0, start_);
                scanned_ -= start_;
                start_ = 0;
            }
            char chunk[16384];
            ssize_t n = read(fd_, chunk, sizeof chunk);
            if (n > 0) {
                buffer_.append(chunk, static_cast<size_t>(n));
                continue;
            }
            if (n == 0 || (errno != EINTR && errno != EAGAIN))
                eof_ = true;
            continue;
        }
        return -1;   // another descriptor is readable, or the time-out passed
    }
}

// ---- InputTurn -------------------------------------------------------------

InputTurn::InputTurn()
{
    if (pipe2(poke_, O_NONBLOCK | O_CLOEXEC) != 0)
        poke_[0] = poke_[1] = -1;
}

InputTurn::~InputTurn()
{
    if (poke_[0] >= 0) {
        close(poke_[0]);
        close(poke_[1]);
    }
}

InputTurn::BoxHold::BoxHold(InputTurn& turn) : turn_(turn)
{
    turn_.wanted_++;
    if (turn_.poke_[1] >= 0) {
        char c = 1;
        ssize_t n = write(turn_.poke_[1], &c, 1);
        (void)n;
    }
    hold_ = std::unique_lock<std::mutex>(turn_.lock_);
}

InputTurn::BoxHold::~BoxHold()
{
    hold_.unlock();
    turn_.wanted_--;
}

std::unique_lock<std::mutex> InputTurn::TryForDialog()
{
    if (wanted_.load() > 0)
        return std::unique_lock<std::mutex>();
    return std::unique_lock<std::mutex>(lock_, std::try_to_lock);
}

void InputTurn::Drain()
{
    char buf[16];
    while (poke_[0] >= 0 && read(poke_[0], buf, sizeof buf) > 0) {
    }
}

// ---- The presenter -------------------------------------------------------

namespace {

class LinePresenter : public UiPresenter {
public:
    LinePresenter(int inFd, int outFd) : reader_(inFd), outFd_(outFd) {}

    int MessageBox(Window, const std::wstring& text, const std::wstring& caption,
                   uint32_t style) override
    {
        // What the dialogs show so far comes first, so that the log reads
        // in the order things happened.
        std::vector<Window> open;
        {
            std::lock_guard<std::mutex> hold(stateLock_);
            for (auto& entry : states_)
                open.push_back(entry.first);
        }
        for (Window dialog : open)
            Flush(dialog, true);
        std::vector<int> buttons = UiBoxButtons(style);
        std::string choices;
        for (int b : buttons)
            choices += std::string(choices.empty() ? "" : " / ") + UiButtonName(b);
        // The input is claimed before the question is written: an answer
        // sent as soon as the question shows must reach this box, never a
        // dialog that is still reading.
        InputTurn::BoxHold in(turn_);
        Write(UiUtf8(caption) + "\n" + UiUtf8(text) + "\n[" + choices + "]\n");
        for (;;) {
            std::string line;
            int watch[2];
            int got = reader_.ReadLine(&line, watch, UiBoxWatchFds(watch), -1);
            if (got < 0) {
                // Ctrl-C answers the box as Escape does; so does termination.
                int answer = UiBoxCloseAnswer(style);
                const char* why = UiBoxInterrupted() ? "interrupted" : "terminated";
                Write(std::string("(") + why + ": " + UiButtonName(answer) + ")\n-> " + UiButtonName(answer) +
                      " (" + why + ")\n");
                return answer;
            }
            if (got == 0) {
                int answer = UiBoxDefault(style);
                Write(std::string("(end of input: ") + UiButtonName(answer) + ")\n-> " +
                      UiButtonName(answer) + " (end of input)\n");
                return answer;
            }
            if (got == LineReader::kTooLong) {
                Write(TooLongEcho() + "; answer " + choices + "\n");
                continue;
            }
            std::wstring word = Lower(UiWideFromUtf8(Trim(line)));
            if (!word.empty())
                for (int b : buttons) {
                    std::wstring name = Lower(UiWideFromUtf8(UiButtonName(b)));
                    if (name.compare(0, word.size(), word) == 0) {
                        Write(std::string("-> ") + UiButtonName(b) + "\n");
                        return b;
                    }
                }
            Write("-> " + Trim(line) + "\n\"" + Trim(line) + "\" is no button of this box; answer " +
                  choices + "\n");
        }
    }

    int OpenFile(OsOpenFileName* record) override
    {
        std::string head = "Open file";
        if (record->title)
            head = UiUtf8(record->title);
        std::wstring filter = UiFilterText(record->filter);
        std::string where;
        if (!filter.empty() && filter[0] != L'|')
            where += ": " + UiUtf8(filter.substr(0, filter.find(L'|')));
        size_t p = filter.find(L'|');
        if (p != std::wstring::npos && p + 1 < filter.size() && filter[p + 1] != L'|')
            where += " (" + UiUtf8(filter.substr(p + 1, filter.find(L'|', p + 1) - p - 1)) + ")";
        if (record->initialDir)
            where += " in " + UiUtf8(record->initialDir);
        InputTurn::BoxHold in(turn_);   // claimed before asking, as for a message box
        Write(head + where + "\nPath (empty line: cancel):\n");
        for (;;) {
            std::string line;
            int watch[2];   // Ctrl-C cancels, as an empty line does
            int got = reader_.ReadLine(&line, watch, UiBoxWatchFds(watch), -1);
            if (got == LineReader::kTooLong) {
                Write(TooLongEcho() + "\nPath (empty line: cancel):\n");
                continue;
            }
            if (got <= 0 || Trim(line).empty()) {
                const char* why = got < 0 ? (UiBoxInterrupted() ? " (interrupted)" : " (terminated)")
                                  : got == 0 ? " (end of input)" : "";
                Write(std::string("(cancelled)\n-> (cancel)") + why + "\n");
                return 0;
            }
            std::wstring path = UiResolveChoice(UiWideFromUtf8(Trim(line)), record->initialDir);
            Write("-> " + UiUtf8(path) + "\n");
            std::string error = UiChoiceError(path, record);
            if (!error.empty()) {
                Write(error + UiUtf8(path) + "\nPath (empty line: cancel):\n");
                continue;
            }
            path.copy(record->file, path.size());
            record->file[path.size()] = 0;
            return 1;
        }
    }

    void DialogShown(Window dialog) override
    {
        UiDialogView view;
        if (!UiSnapshot(dialog, &view))
            return;
        std::string out = "Dialog: " + UiUtf8(view.caption) + "\n";
        bool reads = false;
        for (const UiControlView& c : view.controls) {
            if (c.kind != UiControlKind::Button)
                continue;
            reads = reads || c.id != OS_IDCANCEL;
            out += "  [" + std::to_string(c.id) + "] " + UiUtf8(c.text) + "\n";
        }
        out += reads ? "Press: a button's id or text (empty line: close)\n"
                     : "(Ctrl-C: " + std::string(ButtonText(view, OS_IDCANCEL)) + ")\n";
        UiDialogView shown = view;
        std::string changes = Changes(dialog, &shown, view, /*onlyFilled=*/true);
        Write(out + changes);
        std::lock_guard<std::mutex> hold(stateLock_);
        State& s = states_[dialog];
        s = State{};
        s.reads = reads;
        s.written = view;
        s.lastWrite = OsGetTickCount();
    }

    void DialogUpdate(Window dialog) override { Flush(dialog, false); }

    void DialogClosed(Window dialog) override
    {
        {
            // A dialog that ended in its initialisation (the chooser was
            // cancelled) was never shown, so there is nothing to close.
            std::lock_guard<std::mutex> hold(stateLock_);
            if (!states_.count(dialog))
                return;
        }
        Flush(dialog, true);
        UiDialogView view;
        if (UiSnapshot(dialog, &view))
            Write("Closed: " + UiUtf8(view.caption) + "\n");
        std::lock_guard<std::mutex> hold(stateLock_);
        states_.erase(dialog);
    }

    int WaitCommand(Window dialog, const int* fds, int nfds) override
    {
        bool reads, eofSent, pending;
        int timeout = -1;
        {
            std::lock_guard<std::mutex> hold(stateLock_);
            State& s = states_[dialog];
            reads = s.reads;
            eofSent = s.eofSent;
            pending = s.pending;
            if (pending) {
                uint32_t since = OsGetTickCount() - s.lastWrite;
                timeout = since >= kProgressIntervalMs ? 0 : static_cast<int>(kProgressIntervalMs - since);
            }
        }
        if (reads && !eofSent) {
            std::unique_lock<std::mutex> in = turn_.TryForDialog();
            if (in.owns_lock()) {
                std::vector<int> watched(fds, fds + nfds);
                watched.push_back(turn_.PokeFd());
                std::string line;
                int got = reader_.ReadLine(&line, watched.data(), static_cast<int>(watched.size()), timeout);
                turn_.Drain();
                if (got < 0)
                    return 0;
                if (got == 0) {
                    {
                        std::lock_guard<std::mutex> hold(stateLock_);
                        states_[dialog].eofSent = true;
                    }
                    Write(Echo(dialog, OS_IDCANCEL) + " (end of input)\n");
                    return OS_IDCANCEL;
                }
                if (got == LineReader::kTooLong) {
                    Write(TooLongEcho() + "\n");
                    return 0;
                }
                return Command(dialog, Trim(line));
            }
            // Someone else (a message box) is reading: look again shortly.
            if (timeout < 0 || timeout > 50)
                timeout = 50;
        }
        std::vector<pollfd> polls;
        for (int i = 0; i < nfds; ++i)
            polls.push_back({fds[i], POLLIN, 0});
        poll(polls.data(), polls.size(), timeout);
        return 0;
    }

private:
    struct State {
        bool reads = false;
        bool eofSent = false;
        bool pending = false;
        UiDialogView written;     // what the output shows so far
        uint32_t lastWrite = 0;
    };

    static const char* ButtonText(const UiDialogView& view, int id)
    {
        for (const UiControlView& c : view.controls)
            if (c.id == id && c.kind == UiControlKind::Button)
                return "Abort";
        return "close";
    }

    // The lines for what changed from `written` to `now`; updates written.
    std::string Changes(Window, UiDialogView* written, const UiDialogView& now, bool onlyFilled)
    {
        std::string out;
        std::string prefix = UiUtf8(now.caption) + " ";
        if (!onlyFilled && now.caption != written->caption)
            out += "Dialog: " + UiUtf8(now.caption) + "\n";
        // Each change twice: the line as it always was ("Updating IMAGE
        // 1003: 128/192"), which scripts match, then the same naming its
        // control ("Updating IMAGE [1003 bar]: 128/192 KB  66 %").
        std::string unit = UiBarUnit();
        for (size_t i = 0; i < now.controls.size() && i < written->controls.size(); ++i) {
            const UiControlView& c = now.controls[i];
            const UiControlView& w = written->controls[i];
            std::string id = std::to_string(c.id);
            if (c.kind == UiControlKind::Progress) {
                bool differs = c.pos != w.pos || c.rangeHigh != w.rangeHigh || c.rangeLow != w.rangeLow;
                if (onlyFilled ? c.pos != 0 : differs) {
                    std::string numbers = std::to_string(c.pos) + "/" + std::to_string(c.rangeHigh);
                    out += prefix + id + ": " + numbers + "\n";
                    out += prefix + "[" + id + " bar]: " + numbers + (unit.empty() ? "" : " " + unit) +
                           "  " + std::to_string(UiPercent(c)) + " %\n";
                }
            } else if (c.kind != UiControlKind::Button) {
                if (onlyFilled ? !c.text.empty() : c.text != w.text) {
                    out += prefix + id + ": " + UiUtf8(c.text) + "\n";
                    out += prefix + "[" + id + " text]: " + UiUtf8(c.text) + "\n";
                }
            }
        }
        *written = now;
        return out;
    }

    void Flush(Window dialog, bool always)
    {
        UiDialogView view;
        if (!UiSnapshot(dialog, &view))
            return;
        std::string out;
        {
            std::lock_guard<std::mutex> hold(stateLock_);
            auto it = states_.find(dialog);
            if (it == states_.end())
                return;   // never shown (ended during initialisation)
            State& s = it->second;
            if (view.version == s.written.version) {
                s.pending = false;
                return;
            }
            uint32_t now = OsGetTickCount();
            if (!always && now - s.lastWrite < kProgressIntervalMs) {
                s.pending = true;
                return;
            }
            out = Changes(dialog, &s.written, view, false);
            s.lastWrite = now;
            s.pending = false;
        }
        if (!out.empty())
            Write(out);
    }

    int Command(Window dialog, const std::string& line)
    {
        int id = CommandOf(dialog, line);
        if (id != 0)
            Write(Echo(dialog, id) + "\n");
        return id;
    }

    int CommandOf(Window dialog, const std::string& line)
    {
        if (line.empty())
            return OS_IDCANCEL;
        bool numeric = line.size() <= 5;
        for (char c : line)
            numeric = numeric && c >= '0' && c <= '9';
        if (numeric) {
            int id = std::stoi(line);
            if (id > 0 && id <= 0xFFFF)
                return id;
        }
        UiDialogView view;
        if (UiSnapshot(dialog, &view)) {
            std::wstring word = Lower(UiWideFromUtf8(line));
            for (const UiControlView& c : view.controls)
                if (c.kind == UiControlKind::Button && Lower(c.text) == word)
                    return c.id;
        }
        Write("-> " + line + "\n\"" + line + "\" names no button of " + UiUtf8(view.caption) + "\n");
        return 0;
    }

    // "-> [1004] BSP Version": the command taken, with its button's text
    // ("close" for command 2 when no button has that id).
    std::string Echo(Window dialog, int id)
    {
        std::string out = "-> [" + std::to_string(id) + "]";
        UiDialogView view;
        std::string text = id == OS_IDCANCEL ? "close" : "";
        if (UiSnapshot(dialog, &view))
            for (const UiControlView& c : view.controls)
                if (c.kind == UiControlKind::Button && c.id == id)
                    text = UiUtf8(c.text);
        return text.empty() ? out : out + " " + text;
    }

    static std::string TooLongEcho()
    {
        return "-> (a line of more than " + std::to_string(LineReader::kMaxLine) +
               " bytes, read past)\nThat line is too long (" + std::to_string(LineReader::kMaxLine) +
               " bytes at most)";
    }

    void Write(const std::string& text)
    {
        std::lock_guard<std::mutex> out(outLock_);
        UiWriteAll(outFd_, text);
    }

    LineReader reader_;
    int outFd_;
    InputTurn turn_;         // one reader of the input at a time, boxes first
    std::mutex outLock_;     // whole messages, never interleaved
    std::mutex stateLock_;
    std::map<Window, State> states_;
};

}  // namespace

std::unique_ptr<UiPresenter> UiNewLinePresenter(int inFd, int outFd)
{
    return std::make_unique<LinePresenter>(inFd, outFd);
}
