// The termination request of the POSIX backend.
#pragma once

#include "platform/common/object.h"

// Termination requests (SIGTERM, SIGHUP, and SIGINT when no dialog takes it). The
// descriptor becomes readable once termination was requested, so that
// blocking waits can poll on it and fail.
void OsPosixRequestTermination();           // async-signal-safe
int OsPosixTerminationFd();
// Installs the SIGTERM/SIGINT/SIGHUP handlers that request termination
// (an ignored SIGHUP stays ignored).
void OsPosixInstallTerminationHandlers();
