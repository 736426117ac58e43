// Windows, modules and resources of the POSIX backend's user interface.
//
// Every window (a dialog or one of its controls) lives until the process
// ends: other threads may keep a dialog's handle after its modal loop has
// returned (the update worker ends the dialog and then returns), so a handle
// never dangles. All window state is guarded by one lock (UiLock) and is only
// read or written through the functions below.
#pragma once
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/ui.h"

struct UiThreadContext;

enum class UiControlKind { Button, Static, Progress, Other };

struct OsWindowObject {
    static constexpr uint32_t kMagic = 0x57494E44;  // guards against foreign pointers
    uint32_t magic = kMagic;
    bool isDialog = false;

    // A control: its dialog, id and kind.
    OsWindowObject* dialog = nullptr;
    int id = 0;
    UiControlKind kind = UiControlKind::Other;
    std::wstring className;
    std::wstring text;              // a control's text, a dialog's caption
    std::vector<std::wstring> history;  // texts set at run time (recorded for the test double)
    int32_t rangeLow = 0, rangeHigh = 100, pos = 0;
    bool rangeSet = false;          // a progress bar's range was set by the program
    short x = 0, y = 0;             // a control's place in the template (dialog units)
    short cx = 0, cy = 0;           // and its size

    // A dialog: its controls in template order, owner, procedure, state.
    std::vector<OsWindowObject*> controls;
    OsWindowObject* owner = nullptr;
    OsDialogProc proc = nullptr;
    bool modal = false;
    bool shown = false;             // initialisation done and first shown
    bool ended = false;
    intptr_t result = 0;
    uint64_t version = 0;           // grows with every visible change
    UiThreadContext* loop = nullptr;  // the thread running its modal loop, while it runs
};

// The lock that guards every window.
std::mutex& UiLock();

// The window behind a handle, or nullptr when it is none of ours.
// Requires UiLock.
OsWindowObject* UiWindowLocked(Window w);

// A new dialog (not modal, no loop) with the template's controls; nullptr on
// a bad template. Takes UiLock.
OsWindowObject* UiCreateDialog(const OsDialogTemplate* tmpl, OsWindowObject* owner,
                               OsDialogProc proc);

// What a presenter shows of a dialog: a copy taken under the lock.
struct UiControlView {
    int id;
    UiControlKind kind;
    std::wstring text;
    int32_t rangeLow, rangeHigh, pos;
    short x, y, cx, cy;
    bool rangeSet;   // a bar whose range was never set shows empty, without numbers
};
struct UiDialogView {
    std::wstring caption;
    std::vector<UiControlView> controls;
    bool ended = false;
    intptr_t result = 0;
    uint64_t version = 0;
};
// Takes UiLock. False when dialog is none of ours.
bool UiSnapshot(Window dialog, UiDialogView* out);

// Whether history of control texts is recorded (on while the test double is
// installed). Takes UiLock.
void UiRecordHistory(bool on);
// Called (outside UiLock, on the setting thread) after a control's text was
// set while history is recorded: lets a test act at a given step of a
// worker. nullptr: none.
void UiSetTextWatcher(void (*watcher)(Window control, int id, const std::wstring& text));
