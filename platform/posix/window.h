// What the POSIX backend's user interface adds to the window model
// (platform/common/ui_model.h): dialogs made for the test double, and the
// record of control texts it reads.
#pragma once
#include <string>

#include "platform/common/ui_model.h"

// A new dialog (not modal, no loop) with the template's controls; nullptr on
// a bad template. Takes UiLock.
OsWindowObject* UiCreateDialog(const OsDialogTemplate* tmpl, OsWindowObject* owner,
                               OsDialogProc proc);

// Whether history of control texts is recorded (on while the test double is
// installed). Takes UiLock.
void UiRecordHistory(bool on);
// Called (outside UiLock, on the setting thread) after a control's text was
// set while history is recorded: lets a test act at a given step of a
// worker. nullptr: none.
void UiSetTextWatcher(void (*watcher)(Window control, int id, const std::wstring& text));
