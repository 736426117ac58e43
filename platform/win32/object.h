// The termination request of the Win32 backend.
#pragma once

#include "platform/common/object.h"

// Termination requests: Ctrl-C, Ctrl-Break or the console closed (and
// SIGINT/SIGTERM raised in the process). The event (manual reset) is set
// once termination was requested, so that blocking waits can wait on it
// too and fail. Returned as void* (a HANDLE) to keep <windows.h> out.
void OsWin32RequestTermination();
void* OsWin32TerminationEvent();
// Installs the console control handler that requests termination.
void OsWin32InstallTerminationHandlers();
// A console's Ctrl-C while a wait for the flash is said: the wait is in
// front and gives up (the program then ends); false when none is said.
bool OsWin32CancelFlashWait();
