// What the command line and the main dialog both run: the program's dialog
// templates and the registry commands.
#pragma once
#include <cstdint>

#include "platform/types.h"
#include "platform/ui.h"

// The program's own module; stored first by the entry.
extern Instance AppInstance;

// Looks up dialog template `id` of AppInstance and runs it modally with
// owner (or none) and proc; returns when the dialog has ended.
void RunDialogTemplate(uint32_t id, Window owner, OsDialogProc proc);

// Flushes the local-machine registry hive and reports the result in a
// message box owned by owner (or none).
void SaveRegistry(Window owner);

// Sends the registry clear request and reports the result.
void ClearRegistry(Window owner);
