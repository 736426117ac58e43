// Test double of the user-interface role (see ui_double.h). The scripts and
// records are the same for both backends; how the double hooks into the
// dialog manager is the backend's. On Linux the double is the presenter:
// dialogs still run through the real dialog manager, so tests see the same
// windows, threads and modal loops as the program does. On Windows it is an
// observer of the dialog manager: dialogs stay real windows with real modal
// loops, and the double presses their buttons by posting WM_COMMAND, as a
// click would.
#include "tests/support/ui_double.h"

#include <deque>
#include <map>
#include <mutex>
#include <vector>

#include "platform/common/ui_model.h"
#include "platform/common/ui_shared.h"
#ifdef _WIN32
#include "platform/win32/window.h"
#else
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include "platform/posix/ui_presenter.h"
#endif

namespace uidouble {
namespace {

std::mutex g_lock;   // guards the scripts and records
std::deque<int> g_answers;
std::vector<Box> g_boxes;
std::deque<std::wstring> g_files;
std::vector<OpenFileCall> g_openFileCalls;
std::deque<int> g_presses;
std::vector<DialogOpen> g_opened;
std::function<void()> g_onNextBox;
std::function<void(int, const std::wstring&)> g_onText;
std::map<Window, std::vector<std::wstring>> g_history;   // texts set, per control

// The filter list of an open-file record, zeros shown as '|'.
std::wstring FilterText(const wchar_t* filter)
{
    std::wstring out;
    // Pairs of texts, each terminated, the list ending in an empty text.
    for (int guard = 0; filter && guard < 64; ++guard) {
        std::wstring part(filter);
        out += part + L'|';
        if (part.empty())
            break;
        filter += part.size() + 1;
    }
    return out;
}

// Clears every script and record. Requires g_lock.
void ResetLocked()
{
    g_answers.clear();
    g_boxes.clear();
    g_files.clear();
    g_openFileCalls.clear();
    g_presses.clear();
    g_opened.clear();
    g_onNextBox = nullptr;
    g_onText = nullptr;
    g_history.clear();
}

// What fn reads of control id of dialog, or none when there is no such
// control.
template <class T, class Read>
T ReadControl(Window dialog, int id, T none, Read fn)
{
    std::lock_guard<std::mutex> hold(UiLock());
    OsWindowObject* c = UiControlLocked(dialog, id);
    return c ? fn(*c) : none;
}

// The double's answers to the dialog manager, whose interface (Interface:
// the POSIX presenter, the Win32 observer) names them alike; each backend
// adds how the double presses a dialog's buttons. Called on the dialog
// manager's threads, without g_lock held.
template <class Interface>
class Answers : public Interface {
public:
    // Runs OnNextBox's callback first, then answers from the script.
    int AnswerBox(Window owner, const std::wstring& text, const std::wstring& caption,
                  uint32_t style) override
    {
        std::function<void()> onBox;
        {
            std::lock_guard<std::mutex> hold(g_lock);
            onBox.swap(g_onNextBox);
        }
        if (onBox)
            onBox();
        std::lock_guard<std::mutex> hold(g_lock);
        int answer = UiBoxDefault(style);
        if (!g_answers.empty()) {
            answer = UiBoxAnswer(style, g_answers.front());
            g_answers.pop_front();
        }
        g_boxes.push_back({owner, caption, text, style, answer});
        return answer;
    }

    int OpenFile(OsOpenFileName* record) override
    {
        std::lock_guard<std::mutex> hold(g_lock);
        OpenFileCall call{};
        call.owner = record->owner;
        call.filter = FilterText(record->filter);
        call.filterIndex = record->filterIndex;
        for (uint32_t i = 0; i < record->maxFile && record->file[i]; ++i)
            call.initialName.push_back(record->file[i]);
        call.maxFile = record->maxFile;
        call.initialDir = record->initialDir ? record->initialDir : L"";
        call.flags = record->flags;
        g_openFileCalls.push_back(call);
        if (g_files.empty())
            return 0;
        std::wstring path = g_files.front();
        g_files.pop_front();
        if (path.empty() || path.size() + 1 > record->maxFile)
            return 0;
        path.copy(record->file, path.size());
        record->file[path.size()] = 0;
        return 1;
    }

    // Recorded, then to OnControlText's callback.
    void TextSet(Window control, int id, const std::wstring& text) override
    {
        std::function<void(int, const std::wstring&)> fn;
        {
            std::lock_guard<std::mutex> hold(g_lock);
            g_history[control].push_back(text);
            fn = g_onText;
        }
        if (fn)
            fn(id, text);
    }

    void DialogCreated(Window dialog, Window owner) override
    {
        std::wstring caption = Caption(dialog);
        std::lock_guard<std::mutex> hold(g_lock);
        g_opened.push_back({dialog, owner, caption});
        OpenedLocked(dialog);
    }

protected:
    // A modal dialog opened (after it was recorded). Requires g_lock.
    virtual void OpenedLocked(Window /*dialog*/) {}
};

// The backend's part: ResetBackendLocked clears its own records (Install;
// requires g_lock), Attach and Detach route the dialog manager's calls
// through the double and back, PressQueuedLocked sends a press queued by
// PressNext on its way as soon as the innermost dialog waits for one
// (requires g_lock).
#ifdef _WIN32

}  // namespace

HWND RealWindow(Window w)
{
    std::lock_guard<std::mutex> hold(UiLock());
    OsWindowObject* o = UiWindowLocked(w);
    return o ? o->hwnd : nullptr;
}

bool PostCommand(Window dialog, int id)
{
    HWND hwnd = RealWindow(dialog);
    return hwnd && PostMessageW(hwnd, WM_COMMAND, static_cast<WPARAM>(id & 0xFFFF), 0);
}

namespace {

std::vector<Window> g_open;      // modal dialogs now open, innermost last
Window g_pressedTo = nullptr;    // a press is on its way to this dialog

// Sends the next queued press to the innermost open dialog, unless one is
// on its way: one at a time, each after the previous command's handler
// returned (or its dialog went). Requires g_lock.
void PressQueuedLocked()
{
    if (g_pressedTo || g_presses.empty() || g_open.empty())
        return;
    Window dialog = g_open.back();
    if (PostCommand(dialog, g_presses.front())) {
        g_presses.pop_front();
        g_pressedTo = dialog;
    }
}

class DoubleObserver : public Answers<UiObserver> {
public:
    void OpenedLocked(Window dialog) override { g_open.push_back(dialog); }

    void DialogIdle(Window dialog) override
    {
        std::lock_guard<std::mutex> hold(g_lock);
        // The innermost dialog waits for its next command (a dialog opened
        // by a command waits there while that command's handler runs).
        if (!g_open.empty() && g_open.back() == dialog)
            g_pressedTo = nullptr;
        PressQueuedLocked();
    }

    void DialogClosed(Window dialog) override
    {
        std::lock_guard<std::mutex> hold(g_lock);
        for (auto it = g_open.begin(); it != g_open.end(); ++it)
            if (*it == dialog) {
                g_open.erase(it);
                break;
            }
        // A press on its way to a dialog that went is lost with its window,
        // as a click on a closing dialog is.
        if (g_pressedTo == dialog)
            g_pressedTo = nullptr;
        PressQueuedLocked();
    }
};

DoubleObserver g_observer;

void ResetBackendLocked()
{
    g_open.clear();
    g_pressedTo = nullptr;
}

void Attach() { UiSetObserver(&g_observer); }

void Detach() { UiSetObserver(nullptr); }

#else

int g_pressPipe[2] = {-1, -1};   // wakes a waiting dialog when a press is queued

class DoublePresenter : public Answers<UiPresenter> {
public:
    int WaitCommand(Window /*dialog*/, const int* fds, int nfds) override
    {
        {
            std::lock_guard<std::mutex> hold(g_lock);
            if (!g_presses.empty()) {
                int id = g_presses.front();
                g_presses.pop_front();
                return id;
            }
        }
        std::vector<pollfd> polls;
        for (int i = 0; i < nfds; ++i)
            polls.push_back({fds[i], POLLIN, 0});
        polls.push_back({g_pressPipe[0], POLLIN, 0});
        poll(polls.data(), polls.size(), -1);
        UiDrain(g_pressPipe[0]);
        return 0;
    }
};

void ResetBackendLocked()
{
    if (g_pressPipe[0] < 0 && pipe2(g_pressPipe, O_NONBLOCK | O_CLOEXEC) != 0)
        g_pressPipe[0] = g_pressPipe[1] = -1;
}

void Attach() { UiSetPresenter(std::make_unique<DoublePresenter>()); }

void Detach() { UiSetPresenter(nullptr); }

void PressQueuedLocked() { UiPoke(g_pressPipe[1]); }

#endif

}  // namespace

void Install()
{
    {
        std::lock_guard<std::mutex> hold(g_lock);
        ResetLocked();
        ResetBackendLocked();
    }
    Attach();
}

void Uninstall() { Detach(); }

void PressNext(int commandId)
{
    std::lock_guard<std::mutex> hold(g_lock);
    g_presses.push_back(commandId);
    PressQueuedLocked();
}

Window NewDialog(const OsDialogTemplate* tmpl) { return UiNewDialog(tmpl, nullptr, nullptr); }

void OnNextBox(std::function<void()> fn)
{
    std::lock_guard<std::mutex> hold(g_lock);
    g_onNextBox = std::move(fn);
}

void OnControlText(std::function<void(int id, const std::wstring& text)> fn)
{
    std::lock_guard<std::mutex> hold(g_lock);
    g_onText = std::move(fn);
}

void AnswerNext(int answer)
{
    std::lock_guard<std::mutex> hold(g_lock);
    g_answers.push_back(answer);
}

std::vector<Box> Boxes()
{
    std::lock_guard<std::mutex> hold(g_lock);
    return g_boxes;
}

void ChooseFileNext(const std::wstring& path)
{
    std::lock_guard<std::mutex> hold(g_lock);
    g_files.push_back(path);
}

std::vector<OpenFileCall> OpenFileCalls()
{
    std::lock_guard<std::mutex> hold(g_lock);
    return g_openFileCalls;
}

std::wstring Caption(Window dialog)
{
    std::lock_guard<std::mutex> hold(UiLock());
    OsWindowObject* d = UiWindowLocked(dialog);
    return d ? d->text : std::wstring();
}

std::wstring ControlText(Window dialog, int id)
{
    return ReadControl(dialog, id, std::wstring(), [](const OsWindowObject& c) { return c.text; });
}

std::vector<std::wstring> ControlTextHistory(Window dialog, int id)
{
    Window control = OsGetDlgItem(dialog, id);
    std::lock_guard<std::mutex> hold(g_lock);
    auto it = g_history.find(control);
    return control && it != g_history.end() ? it->second : std::vector<std::wstring>();
}

int BarRangeHigh(Window dialog, int id)
{
    return ReadControl(dialog, id, -1, [](const OsWindowObject& c) { return c.rangeHigh; });
}

int BarPos(Window dialog, int id)
{
    return ReadControl(dialog, id, -1, [](const OsWindowObject& c) { return c.pos; });
}

bool Ended(Window dialog)
{
    std::lock_guard<std::mutex> hold(UiLock());
    OsWindowObject* d = UiWindowLocked(dialog);
    return d && d->ended;
}

intptr_t EndResult(Window dialog)
{
    std::lock_guard<std::mutex> hold(UiLock());
    OsWindowObject* d = UiWindowLocked(dialog);
    return d ? d->result : -1;
}

std::vector<DialogOpen> DialogsOpened()
{
    std::lock_guard<std::mutex> hold(g_lock);
    return g_opened;
}

}  // namespace uidouble
