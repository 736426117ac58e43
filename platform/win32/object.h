// Kernel objects of the Win32 backend: the handle table (OsObject and its
// kinds; never a Win32 HANDLE, which a kind that wraps one keeps inside) is
// the same for both backends; here are the termination request and the
// wait loop.
#pragma once
#include <cstdint>
#include <functional>

#include "platform/common/object.h"

// Termination requests: Ctrl-C, Ctrl-Break or the console closed (and
// SIGINT/SIGTERM raised in the process). The event (manual reset) is set
// once termination was requested, so that blocking waits can wait on it
// too and fail. Returned as void* (a HANDLE) to keep <windows.h> out.
void OsWin32RequestTermination();
bool OsWin32TerminationRequested();
void* OsWin32TerminationEvent();
// Installs the console control handler that requests termination.
void OsWin32InstallTerminationHandlers();

// The common wait loop (as the POSIX backend's): asks ready() until it
// answers true (OS_WAIT_OBJECT_0), timeoutMs of the installed clock have
// passed (OS_WAIT_TIMEOUT) or termination was requested (OS_WAIT_FAILED).
// A finite wait advances in OsSleep(1) steps, so on a virtual clock it
// costs no real time; an OS_INFINITE wait sleeps on the termination event
// (and on `object`, a HANDLE, when given) between tries.
uint32_t OsWin32WaitUntil(uint32_t timeoutMs, const std::function<bool()>& ready, void* object = nullptr);
