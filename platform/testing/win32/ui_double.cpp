// The test double of the user-interface role on the Win32 backend: an
// observer of the dialog manager that answers message boxes and open-file
// calls from scripts and records what it was shown. Dialogs stay real
// windows with real modal loops; the double presses their buttons by
// posting WM_COMMAND, as a click would.
#include "platform/testing/ui_double.h"

#include <deque>
#include <mutex>

#include "platform/win32/window.h"

namespace uidouble {
namespace {

std::mutex g_lock;
std::deque<int> g_answers;
std::vector<Box> g_boxes;
std::deque<std::wstring> g_files;
std::vector<OpenFileCall> g_openFileCalls;
std::deque<int> g_presses;
std::vector<DialogOpen> g_opened;
std::vector<Window> g_open;      // modal dialogs now open, innermost last
Window g_pressedTo = nullptr;    // a press is on its way to this dialog
std::function<void()> g_onNextBox;
std::mutex g_textLock;
std::function<void(int, const std::wstring&)> g_onText;

std::wstring FilterText(const wchar_t* filter)
{
    std::wstring out;
    if (!filter)
        return out;
    // Pairs of texts, each terminated, the list ending in an empty text.
    for (int guard = 0; guard < 64; ++guard) {
        std::wstring part(filter);
        out += part;
        out += L'|';
        if (part.empty())
            break;
        filter += part.size() + 1;
    }
    return out;
}

// Sends the next queued press to the innermost open dialog, unless one is
// on its way: one at a time, each after the previous command's handler
// returned (or its dialog went). Requires g_lock.
void PressLocked()
{
    if (g_pressedTo || g_presses.empty() || g_open.empty())
        return;
    Window dialog = g_open.back();
    if (UiPostCommand(dialog, g_presses.front())) {
        g_presses.pop_front();
        g_pressedTo = dialog;
    }
}

class DoubleObserver : public UiObserver {
public:
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

    void DialogCreated(Window dialog, Window owner) override
    {
        std::wstring caption = Caption(dialog);
        std::lock_guard<std::mutex> hold(g_lock);
        g_opened.push_back({dialog, owner, caption});
        g_open.push_back(dialog);
    }

    void DialogIdle(Window dialog) override
    {
        std::lock_guard<std::mutex> hold(g_lock);
        // The innermost dialog waits for its next command (a dialog opened
        // by a command waits there while that command's handler runs).
        if (!g_open.empty() && g_open.back() == dialog)
            g_pressedTo = nullptr;
        PressLocked();
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
        PressLocked();
    }

    void TextSet(Window, int id, const std::wstring& text) override
    {
        std::function<void(int, const std::wstring&)> fn;
        {
            std::lock_guard<std::mutex> hold(g_textLock);
            fn = g_onText;
        }
        if (fn)
            fn(id, text);
    }
};

DoubleObserver g_observer;

OsWindowObject* Control(OsWindowObject* dialog, int id)
{
    if (!dialog || !dialog->isDialog)
        return nullptr;
    for (OsWindowObject* c : dialog->controls)
        if (c->id == id)
            return c;
    return nullptr;
}

}  // namespace

void Install()
{
    {
        std::lock_guard<std::mutex> hold(g_lock);
        g_answers.clear();
        g_boxes.clear();
        g_files.clear();
        g_openFileCalls.clear();
        g_presses.clear();
        g_opened.clear();
        g_open.clear();
        g_pressedTo = nullptr;
        g_onNextBox = nullptr;
    }
    {
        std::lock_guard<std::mutex> hold(g_textLock);
        g_onText = nullptr;
    }
    UiSetObserver(&g_observer);
}

void Uninstall()
{
    UiSetObserver(nullptr);
    std::lock_guard<std::mutex> hold(g_textLock);
    g_onText = nullptr;
}

void OnNextBox(std::function<void()> fn)
{
    std::lock_guard<std::mutex> hold(g_lock);
    g_onNextBox = std::move(fn);
}

void OnControlText(std::function<void(int id, const std::wstring& text)> fn)
{
    std::lock_guard<std::mutex> hold(g_textLock);
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

void PressNext(int commandId)
{
    std::lock_guard<std::mutex> hold(g_lock);
    g_presses.push_back(commandId);
    PressLocked();
}

Window NewDialog(const OsDialogTemplate* tmpl) { return UiCreateModelessDialog(tmpl); }

std::wstring Caption(Window dialog)
{
    std::lock_guard<std::mutex> hold(UiLock());
    OsWindowObject* d = UiWindowLocked(dialog);
    return d ? d->text : std::wstring();
}

std::wstring ControlText(Window dialog, int id)
{
    std::lock_guard<std::mutex> hold(UiLock());
    OsWindowObject* c = Control(UiWindowLocked(dialog), id);
    return c ? c->text : std::wstring();
}

std::vector<std::wstring> ControlTextHistory(Window dialog, int id)
{
    std::lock_guard<std::mutex> hold(UiLock());
    OsWindowObject* c = Control(UiWindowLocked(dialog), id);
    return c ? c->history : std::vector<std::wstring>();
}

int BarRangeHigh(Window dialog, int id)
{
    std::lock_guard<std::mutex> hold(UiLock());
    OsWindowObject* c = Control(UiWindowLocked(dialog), id);
    return c ? c->rangeHigh : -1;
}

int BarPos(Window dialog, int id)
{
    std::lock_guard<std::mutex> hold(UiLock());
    OsWindowObject* c = Control(UiWindowLocked(dialog), id);
    return c ? c->pos : -1;
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
