// Test double of the user-interface role: records every message box and
// dialog, answers from a script. Install() routes all UI calls of the
// process through it until Uninstall().
#pragma once
#include <functional>
#include <string>
#include <vector>

#include "platform/ui.h"

#ifdef _WIN32
struct HWND__;
#endif

namespace uidouble {

struct Box {
    Window owner;
    std::wstring caption;
    std::wstring text;
    uint32_t style;
    int answer;        // what the double answered
};

struct OpenFileCall {
    Window owner;
    std::wstring filter;      // the filter list with its zeros shown as '|'
    uint32_t filterIndex;
    std::wstring initialName; // the file buffer's content on entry
    uint32_t maxFile;
    std::wstring initialDir;
    uint32_t flags;
};

void Install();     // clears every record and script
void Uninstall();

// Message boxes: answers queued in order; with the queue empty a box gets
// its default button (Cancel for 0x131, the first button otherwise).
void AnswerNext(int answer);
std::vector<Box> Boxes();

// Runs fn when the next message box is shown, before it is answered (an
// Abort pressed while the box is up, say). Called on the box's thread.
void OnNextBox(std::function<void()> fn);

// Runs fn(id, text) after every text a control is given, on the thread that
// set it (a worker's step), until Install() or OnControlText(nullptr).
void OnControlText(std::function<void(int id, const std::wstring& text)> fn);

// Open-file dialog: the next call answers this path (empty = cancel). With
// nothing queued it cancels.
void ChooseFileNext(const std::wstring& path);
std::vector<OpenFileCall> OpenFileCalls();

// Modal dialogs run by OsDialogBoxIndirectParam: after initialisation the
// double sends the queued command ids in order, one at a time (each after
// the previous command's handler returned), then waits until the dialog is
// ended (by its procedure or from another thread).
void PressNext(int commandId);

// A dialog window made from a template without a modal loop, so that a
// test can hand it to code that writes into a dialog (the update worker).
Window NewDialog(const OsDialogTemplate* tmpl);

// What a dialog (modal or not) shows now, and its history.
std::wstring Caption(Window dialog);
std::wstring ControlText(Window dialog, int id);
std::vector<std::wstring> ControlTextHistory(Window dialog, int id);
int BarRangeHigh(Window dialog, int id);
int BarPos(Window dialog, int id);
bool Ended(Window dialog);
intptr_t EndResult(Window dialog);

// Every dialog opened modally so far, in order (caption as at opening).
struct DialogOpen {
    Window dialog;
    Window owner;
    std::wstring caption;     // the template's caption
};
std::vector<DialogOpen> DialogsOpened();

#ifdef _WIN32
// The real window of a model object now (nullptr before it exists and
// after it is gone).
HWND__* RealWindow(Window w);
// Posts a command (WM_COMMAND, id in the low 16 bits) to a dialog's real
// window, as a press of its button does. False when it has no window.
bool PostCommand(Window dialog, int id);
#endif

}  // namespace uidouble
