// The test double of the user-interface role on the Win32 backend: an
// observer of the dialog manager that answers message boxes and open-file
// calls from scripts and records what it was shown (the scripts and records
// are in ../ui_double.cpp). Dialogs stay real windows with real modal
// loops; the double presses their buttons by posting WM_COMMAND, as a click
// would.
#include "platform/testing/ui_double.h"

#include "platform/testing/ui_double_shared.h"
#include "platform/win32/window.h"

namespace uidouble {
namespace {

// Both guarded by shared::Lock().
std::vector<Window> g_open;      // modal dialogs now open, innermost last
Window g_pressedTo = nullptr;    // a press is on its way to this dialog

// Sends the next queued press to the innermost open dialog, unless one is
// on its way: one at a time, each after the previous command's handler
// returned (or its dialog went). Requires shared::Lock().
void PressLocked()
{
    std::deque<int>& presses = shared::PressesLocked();
    if (g_pressedTo || presses.empty() || g_open.empty())
        return;
    Window dialog = g_open.back();
    if (UiPostCommand(dialog, presses.front())) {
        presses.pop_front();
        g_pressedTo = dialog;
    }
}

class DoubleObserver : public shared::Answers<UiObserver> {
public:
    void OpenedLocked(Window dialog) override { g_open.push_back(dialog); }

    void DialogIdle(Window dialog) override
    {
        std::lock_guard<std::mutex> hold(shared::Lock());
        // The innermost dialog waits for its next command (a dialog opened
        // by a command waits there while that command's handler runs).
        if (!g_open.empty() && g_open.back() == dialog)
            g_pressedTo = nullptr;
        PressLocked();
    }

    void DialogClosed(Window dialog) override
    {
        std::lock_guard<std::mutex> hold(shared::Lock());
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
};

DoubleObserver g_observer;

}  // namespace

namespace backend {

void ResetLocked()
{
    g_open.clear();
    g_pressedTo = nullptr;
}

void Attach() { UiSetObserver(&g_observer); }

void Detach() { UiSetObserver(nullptr); }

void PressQueuedLocked() { PressLocked(); }

}  // namespace backend

Window NewDialog(const OsDialogTemplate* tmpl) { return UiCreateModelessDialog(tmpl); }

}  // namespace uidouble
