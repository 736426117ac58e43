// The window model of both backends: a program's Window is one of these
// objects, a dialog or one of its controls, keeping what the program set
// (texts, a bar's range and position, a dialog's end); the calls answer from
// it. Every window lives until the process ends, so a handle that another
// thread keeps after the modal loop returned never dangles. One lock
// (UiLock) guards all of it.
#pragma once
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "platform/common/ui_view.h"
#include "platform/ui.h"

struct UiThreadContext;   // the POSIX backend's thread that runs a modal loop
struct HWND__;            // the Win32 backend's real window (an HWND)

struct OsWindowObject {
    bool isDialog = false;

    // A control: its dialog, id, kind and place in the template (dialog units).
    OsWindowObject* dialog = nullptr;
    int id = 0;
    UiControlKind kind = UiControlKind::Other;
    short x = 0, y = 0, cx = 0, cy = 0;
    std::wstring text;                  // a control's text, a dialog's caption
    int32_t rangeLow = 0, rangeHigh = 100, pos = 0;
    bool rangeSet = false;              // a progress bar's range was set by the program

    // A dialog: its controls in template order, owner, procedure, state.
    std::vector<OsWindowObject*> controls;
    OsWindowObject* owner = nullptr;
    OsDialogProc proc = nullptr;
    bool modal = false;
    bool shown = false;             // initialisation done and first shown (or ended in it)
    bool ended = false;
    intptr_t result = 0;

    // The POSIX backend: every visible change, and the thread running the
    // dialog's modal loop while it runs.
    uint64_t version = 0;
    UiThreadContext* loop = nullptr;

    // The Win32 backend: the dialog's real window while it exists and the
    // thread that owns it; what the real window does not show yet, and the
    // messages on their way to it.
    HWND__* hwnd = nullptr;
    uint32_t thread = 0;
    bool textDirty = false, rangeDirty = false, posDirty = false;
    bool syncPosted = false;  // a message to bring the real controls up to date
    bool endPosted = false;   // the end, to the dialog's thread
};

// The lock that guards every window.
std::mutex& UiLock();

// The window behind a handle, or nullptr when it is none of ours (a foreign
// pointer is never read). Requires UiLock; UiWindow takes it.
OsWindowObject* UiWindowLocked(Window w);
OsWindowObject* UiWindow(Window w);

// The control of a dialog with an id, or nullptr (no such control, or
// dialog is no dialog). Requires UiLock.
OsWindowObject* UiControlLocked(Window dialog, int id);

// The dialog a window belongs to (itself for a dialog). Requires UiLock.
inline OsWindowObject* UiDialogOf(OsWindowObject* w) { return w->isDialog ? w : w->dialog; }

// Whether tmpl can be made into a dialog now: a count of items that they
// hold, each with a class name, and no progress bar before
// OsInitCommonControls made the progress class exist.
bool UiTemplateUsable(const OsDialogTemplate* tmpl);
// A new dialog (not modal, no loop) with the controls of tmpl; nullptr on a
// bad template. Takes UiLock.
OsWindowObject* UiNewDialog(const OsDialogTemplate* tmpl, Window owner, OsDialogProc proc);

// What a presenter shows of a dialog, copied under the lock. False when
// dialog is none of ours. Takes UiLock.
bool UiSnapshot(Window dialog, UiDialogView* out);

// The backend's: sets a window's text (a control's text or a dialog's
// caption) and shows it. Without UiLock held. 1.
int UiSetText(OsWindowObject* w, const wchar_t* text);

// A message to a progress bar, made in the model with the answer the real
// bar gives (OS_PBM_SETRANGE32, OS_PBM_SETPOS: the previous range or
// position; 0 for any other message or window). *changed: the bar when it
// changed (the backend then shows it), else nullptr. Requires UiLock.
intptr_t UiProgressMessageLocked(Window window, uint32_t message, uintptr_t wParam, intptr_t lParam,
                                 OsWindowObject** changed);

// OsInitCommonControls was called: the progress class exists from now on.
void UiCommonControlsReady();

// A box owned by a dialog that another thread is still initialising (the
// update worker may ask at once) waits until that dialog is shown, so that
// the dialog always appears first; bounded, so that an initialisation that
// waits for the asking thread does not hang. runsElsewhere (requires
// UiLock): the dialog's modal loop runs on another thread than the caller.
void UiAwaitOwnerShown(Window owner, bool (*runsElsewhere)(const OsWindowObject* dialog));
// Wakes those waiting: a dialog was shown, ended or lost its loop.
void UiNotifyShownOrEnded();
// The dialog was first shown (or ended in its initialisation): marks it so
// and wakes those waiting. Takes UiLock.
void UiMarkShown(OsWindowObject* dialog);
// Whether the dialog has ended. Takes UiLock.
bool UiEnded(const OsWindowObject* dialog);

// Whether an open-file record can be answered at all (a file buffer with room).
bool UiOpenFileUsable(const OsOpenFileName* record);
