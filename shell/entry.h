// flashupdate's entry, its command line and the dialog-template mechanism.
#pragma once
#include <cstdint>

#include "platform/types.h"
#include "platform/ui.h"

// The program's own module; stored first by the entry.
extern Instance AppInstance;

// The entry: instance, previous instance, command line, show state.
// Returns 1 on every path.
int FlashUpdateMain(Instance instance, Instance previous, wchar_t* commandLine, int show);

// Looks up dialog template `id` of AppInstance and runs it modally with
// owner (or none) and proc; returns when the dialog has ended.
void RunDialogTemplate(uint32_t id, Window owner, OsDialogProc proc);

// The restart delay of "/r" and "/rc": leading white space, an optional
// sign, decimal digits. Text without leading digits and negative values
// give 0; values beyond the signed 32-bit range give its largest value.
uint32_t ParseRestartDelay(const wchar_t* text);
