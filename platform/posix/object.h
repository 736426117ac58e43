// Kernel objects of the POSIX backend: the handle table (OsObject and its
// kinds) is the same for both backends; here are the termination request
// and the wait loop.
#pragma once
#include <cstdint>
#include <functional>

#include "platform/common/object.h"

// Termination requests (SIGTERM, SIGHUP, and SIGINT when no dialog takes it). The
// descriptor becomes readable once termination was requested, so that
// blocking waits can poll on it and fail.
void OsPosixRequestTermination();           // async-signal-safe
bool OsPosixTerminationRequested();
int OsPosixTerminationFd();
// Installs the SIGTERM/SIGINT/SIGHUP handlers that request termination
// (an ignored SIGHUP stays ignored).
void OsPosixInstallTerminationHandlers();

// The common wait loop of waitable objects: asks ready() until it answers
// true (OS_WAIT_OBJECT_0), timeoutMs of the installed clock have passed
// (OS_WAIT_TIMEOUT) or termination was requested (OS_WAIT_FAILED). ready()
// is asked at least once, before the termination check. A finite wait
// advances in small OsSleep steps, so on a virtual clock it costs no real
// time; an OS_INFINITE wait sleeps on the termination descriptor between
// tries.
uint32_t OsPosixWaitUntil(uint32_t timeoutMs, const std::function<bool()>& ready);
