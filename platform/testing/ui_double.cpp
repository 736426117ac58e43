// The half of the test double of the user interface that both backends
// share: the scripts and records, and what it reads of a dialog's model.
#include "platform/testing/ui_double_shared.h"

#include <map>
#include <vector>

#include "platform/common/ui_model.h"
#include "platform/common/ui_shared.h"

namespace uidouble {
namespace {

std::mutex g_lock;
std::deque<int> g_answers;
std::vector<Box> g_boxes;
std::deque<std::wstring> g_files;
std::vector<OpenFileCall> g_openFileCalls;
std::deque<int> g_presses;
std::vector<DialogOpen> g_opened;
std::function<void()> g_onNextBox;
std::function<void(int, const std::wstring&)> g_onText;
std::map<Window, std::vector<std::wstring>> g_history;   // texts set, per control

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

}  // namespace

void Install()
{
    {
        std::lock_guard<std::mutex> hold(g_lock);
        ResetLocked();
        backend::ResetLocked();
    }
    backend::Attach();
}

void Uninstall() { backend::Detach(); }

void PressNext(int commandId)
{
    std::lock_guard<std::mutex> hold(g_lock);
    g_presses.push_back(commandId);
    backend::PressQueuedLocked();
}

namespace shared {

std::mutex& Lock() { return g_lock; }

std::deque<int>& PressesLocked() { return g_presses; }

int AnswerBox(Window owner, const std::wstring& text, const std::wstring& caption, uint32_t style)
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

int AnswerOpenFile(OsOpenFileName* record)
{
    std::lock_guard<std::mutex> hold(g_lock);
    OpenFileCall call{};
    call.owner = record->owner;
    call.filter = UiFilterText(record->filter);
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

void DialogCreatedLocked(Window dialog, Window owner, const std::wstring& caption)
{
    g_opened.push_back({dialog, owner, caption});
}

void TextSet(Window control, int id, const std::wstring& text)
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

}  // namespace shared

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
