// What the Win32 backend's user interface adds to the window model
// (platform/common/ui_model.h), whose objects name the real windows that
// show them: calls answer from the model, and the real controls follow it
// on their own thread (see ui_dialogs.cpp). No Win32 window call is made
// while UiLock is held.
#pragma once
#include <windows.h>

#include <string>
#include <vector>

#include "platform/common/ui_model.h"
#include "platform/common/ui_shared.h"

// ---- The dialog template in memory ------------------------------------

// Builds the in-memory DLGTEMPLATE (with its DLGITEMTEMPLATEs) of tmpl (one
// UiTemplateUsable accepts), DWORD-aligned as DialogBoxIndirectParamW wants
// it: styles, position, size, caption, font (when the style has
// DS_SETFONT), ids and classes exactly as given; "BUTTON", "EDIT", "STATIC",
// "LISTBOX", "SCROLLBAR" and "COMBOBOX" as their predefined ordinals, other
// classes by name. False on a template that cannot be one (an empty class
// name, an id beyond 16 bits).
bool UiBuildDialogTemplate(const OsDialogTemplate* tmpl, std::vector<DWORD>* out);

// ---- Observer (the test double) ----------------------------------------

// While installed, the observer answers message boxes and open-file calls
// instead of the real ones, and sees dialogs open, commands handled and
// texts set; dialogs themselves stay real. Its slots are called without
// UiLock held.
class UiObserver {
public:
    virtual ~UiObserver() = default;
    virtual int AnswerBox(Window owner, const std::wstring& text, const std::wstring& caption,
                           uint32_t style) = 0;
    virtual int OpenFile(OsOpenFileName* record) = 0;
    // A modal dialog's real window exists; its initialisation comes next.
    virtual void DialogCreated(Window /*dialog*/, Window /*owner*/) {}
    // Its initialisation returned (on the dialog's thread), and after each
    // command its procedure handled.
    virtual void DialogIdle(Window /*dialog*/) {}
    // The modal dialog's window is gone; its modal call returns next.
    virtual void DialogClosed(Window /*dialog*/) {}
    // A control's text was set (on the setting thread).
    virtual void TextSet(Window /*control*/, int /*id*/, const std::wstring& /*text*/) {}
};
// Installs observer (nullptr: none). The caller keeps it alive meanwhile.
// Swap only while no dialog or message box is open.
void UiSetObserver(UiObserver* observer);

// ---- Ctrl-C -------------------------------------------------------------

// Ctrl-C goes to the open window opened last: a dialog takes it as command
// 2, a message box as its close answer, the open-file dialog as cancel; a
// window whose real window does not exist yet takes it once it does. False
// when no window is open (the caller then terminates). Any thread.
bool UiInterrupt();
