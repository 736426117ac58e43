// The test double of the user-interface role: a presenter that answers
// from scripts and records what it was shown. Dialogs still run through the
// real dialog manager, so tests see the same windows, threads and modal
// loops as the program does.
#include "platform/testing/ui_double.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <deque>
#include <mutex>

#include "platform/posix/ui_presenter.h"
#include "platform/posix/window.h"

namespace uidouble {
namespace {

std::mutex g_lock;
std::deque<int> g_answers;
std::vector<Box> g_boxes;
std::deque<std::wstring> g_files;
std::vector<OpenFileCall> g_openFileCalls;
std::deque<int> g_presses;
std::vector<DialogOpen> g_opened;
int g_pressPipe[2] = {-1, -1};   // wakes a waiting dialog when a press is queued
std::function<void()> g_onNextBox;
std::mutex g_textLock;
std::function<void(int, const std::wstring&)> g_onText;

void TextWatcher(Window, int id, const std::wstring& text)
{
    std::function<void(int, const std::wstring&)> fn;
    {
        std::lock_guard<std::mutex> hold(g_textLock);
        fn = g_onText;
    }
    if (fn)
        fn(id, text);
}

class DoublePresenter : public UiPresenter {
public:
    int MessageBox(Window owner, const std::wstring& text, const std::wstring& caption,
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
            answer = g_answers.front();
            g_answers.pop_front();
            bool isButton = false;
            for (int b : UiBoxButtons(style))
                isButton = isButton || b == answer;
            if (!isButton)
                answer = UiBoxCloseAnswer(style);
        }
        g_boxes.push_back({owner, caption, text, style, answer});
        return answer;
    }

    int OpenFile(OsOpenFileName* record) override
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

    void DialogCreated(Window dialog, Window owner) override
    {
        std::wstring caption = Caption(dialog);
        std::lock_guard<std::mutex> hold(g_lock);
        g_opened.push_back({dialog, owner, caption});
    }

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
        char buf[16];
        while (read(g_pressPipe[0], buf, sizeof buf) > 0) {
        }
        return 0;
    }
};

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
        g_onNextBox = nullptr;
        if (g_pressPipe[0] < 0 && pipe2(g_pressPipe, O_NONBLOCK | O_CLOEXEC) != 0)
            g_pressPipe[0] = g_pressPipe[1] = -1;
    }
    {
        std::lock_guard<std::mutex> hold(g_textLock);
        g_onText = nullptr;
    }
    UiRecordHistory(true);
    UiSetTextWatcher(TextWatcher);
    UiSetPresenter(std::make_unique<DoublePresenter>());
}

void Uninstall()
{
    UiSetPresenter(nullptr);
    UiSetTextWatcher(nullptr);
    UiRecordHistory(false);
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
    if (g_pressPipe[1] >= 0) {
        char c = 1;
        ssize_t n = write(g_pressPipe[1], &c, 1);
        (void)n;
    }
}

Window NewDialog(const OsDialogTemplate* tmpl) { return UiCreateDialog(tmpl, nullptr, nullptr); }

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
