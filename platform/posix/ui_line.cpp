// The unattended line protocol: dialogs and message boxes as plain lines on
// standard error, answers as lines on standard input, so that any run can be
// scripted and checked. Only a dialog with a button other than id 2 reads
// (a line per press): while the progress dialog (Abort alone) runs, the
// input belongs to its worker's message boxes, and Abort comes from Ctrl-C.
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <map>
#include <mutex>

#include "platform/clock.h"
#include "platform/common/line_protocol.h"
#include "platform/common/run_report.h"
#include "platform/posix/object.h"
#include "platform/posix/ui_line.h"
#include "platform/posix/ui_presenter.h"

// ---- LineReader ----------------------------------------------------------

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
            if (nl != std::string::npos && UiWaitReadable(fds, nfds, 0))
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
    UiPoke(turn_.poke_[1]);
    hold_ = std::unique_lock<std::mutex>(turn_.lock_);
}

InputTurn::BoxHold::~BoxHold()
{
    hold_.unlock();
    turn_.wanted_--;
}

void InputTurn::Drain() { UiDrain(poke_[0]); }

std::unique_lock<std::mutex> InputTurn::TryForDialog()
{
    if (wanted_.load() > 0)
        return std::unique_lock<std::mutex>();
    return std::unique_lock<std::mutex>(lock_, std::try_to_lock);
}

// ---- The presenter -------------------------------------------------------

namespace {

using lineproto::kProgressIntervalMs;
using lineproto::Trim;

class LinePresenter : public UiPresenter {
public:
    LinePresenter(int inFd, int outFd, bool typed) : reader_(inFd), outFd_(outFd), typed_(typed) {}

    int AnswerBox(Window, const std::wstring& text, const std::wstring& caption,
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
        // The input is claimed before the question is written: an answer
        // sent as soon as the question shows must reach this box, never a
        // dialog that is still reading.
        InputTurn::BoxHold in(turn_);
        // The platform's reason for the failure the box reports (if any) on
        // a line of its own, between the box's text and its buttons.
        std::string question = lineproto::BoxQuestion(caption, text, buttons);
        std::string reason = RunReasonLine();
        if (!reason.empty())
            question.insert(question.rfind('['), reason);
        Write(question);
        for (;;) {
            std::string line;
            int watch[2];
            int got = reader_.ReadLine(&line, watch, UiBoxWatchFds(watch), -1);
            if (got <= 0) {
                // Ctrl-C answers the box as Escape does, and so does
                // termination; the end of input takes its default.
                int answer = got < 0 ? UiBoxCloseAnswer(style) : UiBoxDefault(style);
                const char* why = got == 0 ? "end of input" : UiBoxInterrupted() ? "interrupted" : "terminated";
                UiBoxAnswered();
                Write(lineproto::BoxTakenWithout(answer, why));
                return answer;
            }
            if (got == LineReader::kTooLong) {
                Write(lineproto::BoxTooLong(buttons));
                continue;
            }
            int answer = lineproto::BoxAnswerOf(line, buttons);
            if (typed_ && Trim(line).empty())
                answer = UiBoxDefault(style);   // Enter, as at the full terminal
            if (answer) {
                // Answered: an interrupt from now on is the dialog behind's,
                // even while the echo waits for a full standard error.
                UiBoxAnswered();
                Write(lineproto::BoxTaken(answer));
                return answer;
            }
            Write(lineproto::BoxNoButton(line, buttons));
        }
    }

    int OpenFile(OsOpenFileName* record) override
    {
        std::wstring title = record->title ? record->title : L"";
        std::wstring name, pattern;
        UiFirstFilter(record->filter, &name, &pattern);
        std::wstring folder = record->initialDir ? record->initialDir : L"";
        InputTurn::BoxHold in(turn_);   // claimed before asking, as for a message box
        Write(lineproto::ChooserQuestion(record->title ? &title : nullptr, name, pattern,
                                         record->initialDir ? &folder : nullptr));
        for (;;) {
            std::string line;
            int watch[2];   // Ctrl-C cancels, as an empty line does
            int got = reader_.ReadLine(&line, watch, UiBoxWatchFds(watch), -1);
            if (got == LineReader::kTooLong) {
                Write(lineproto::ChooserTooLong());
                continue;
            }
            if (got <= 0 || Trim(line).empty()) {
                const char* why = got < 0 ? (UiBoxInterrupted() ? "interrupted" : "terminated")
                                  : got == 0 ? "end of input" : nullptr;
                UiBoxAnswered();
                Write(lineproto::ChooserCancelled(why));
                return 0;
            }
            std::wstring path = UiResolveChoice(UiWideFromUtf8(Trim(line)), record->initialDir);
            std::string error = UiChoiceError(path, record);
            if (!error.empty()) {
                Write(lineproto::ChooserTaken(path) + lineproto::ChooserRefused(error, path));
                continue;
            }
            UiBoxAnswered();   // a path taken: the chooser is no longer in front
            Write(lineproto::ChooserTaken(path));
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
        bool reads = false;
        Write(lineproto::DialogShown(view, UiBarUnit(), &reads, typed_));
        std::lock_guard<std::mutex> hold(stateLock_);
        State& s = states_[dialog];
        s = State{};
        s.reads = reads;
        s.written = view;
        s.lastWrite = OsGetTickCount();
    }

    void DialogUpdate(Window dialog) override { Flush(dialog, false); }

    void Notice(const std::string& line) override { Write(line + "\n"); }

    void DialogInterrupted(Window dialog) override
    {
        Flush(dialog, true);   // what it showed when the interrupt came, first
        UiDialogView view;
        if (UiSnapshot(dialog, &view))
            Write(lineproto::InterruptTaken(view));
    }

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
            Write(lineproto::Closed(view.caption));
        std::lock_guard<std::mutex> hold(stateLock_);
        states_.erase(dialog);
    }

    int WaitCommand(Window dialog, const int* fds, int nfds) override
    {
        bool reads, eofSent;
        int timeout = -1;
        {
            std::lock_guard<std::mutex> hold(stateLock_);
            State& s = states_[dialog];
            reads = s.reads;
            eofSent = s.eofSent;
            if (s.pending) {
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
                UiDialogView view;
                UiSnapshot(dialog, &view);
                if (got == 0) {
                    {
                        std::lock_guard<std::mutex> hold(stateLock_);
                        states_[dialog].eofSent = true;
                    }
                    Write(lineproto::Echo(view, OS_IDCANCEL) + " (end of input)\n");
                    return OS_IDCANCEL;
                }
                if (got == LineReader::kTooLong) {
                    Write(lineproto::TooLong() + "\n");
                    return 0;
                }
                std::string complaint;
                int id = typed_ ? lineproto::TypedCommandOf(view, Trim(line), &complaint)
                                : lineproto::CommandOf(view, Trim(line), &complaint);
                Write(id != 0 ? lineproto::Echo(view, id) + "\n" : complaint);
                return id;
            }
            // Someone else (a message box) is reading: look again shortly.
            if (timeout < 0 || timeout > 50)
                timeout = 50;
        }
        UiWaitReadable(fds, nfds, timeout);
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
            out = lineproto::Changes(s.written, view, false, UiBarUnit(), typed_);
            s.written = view;
            s.lastWrite = now;
            s.pending = false;
        }
        if (!out.empty())
            Write(out);
    }

    void Write(const std::string& text)
    {
        std::lock_guard<std::mutex> out(outLock_);
        UiWriteAll(outFd_, text);
    }

    LineReader reader_;
    int outFd_;
    bool typed_;             // a person at a terminal without cursor control
    InputTurn turn_;         // one reader of the input at a time, boxes first
    std::mutex outLock_;     // whole messages, never interleaved
    std::mutex stateLock_;
    std::map<Window, State> states_;
};

}  // namespace

std::unique_ptr<UiPresenter> UiNewLinePresenter(int inFd, int outFd, bool typed)
{
    return std::make_unique<LinePresenter>(inFd, outFd, typed);
}
