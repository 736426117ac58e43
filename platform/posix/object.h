// Kernel objects of the POSIX backend. Every Handle of the platform points
// to an OsObject; each role derives its own kind (mutex, thread, file,
// search, store, queue, notification, process).
#pragma once
#include <cstdint>

#include "platform/types.h"

struct OsObject {
    static constexpr uint32_t kMagic = 0x4F534F42;  // guards against foreign pointers
    uint32_t magic = kMagic;
    virtual ~OsObject() { magic = 0; }
    // Waits for the object to be signalled (see OsWaitForSingleObject).
    // Objects that cannot be waited on answer OS_WAIT_FAILED.
    virtual uint32_t Wait(uint32_t /*timeoutMs*/) { return OS_WAIT_FAILED; }
};

// The object behind a handle, or nullptr for nullptr, OS_INVALID_HANDLE or
// a pointer that is no live object of this backend.
OsObject* OsObjectFromHandle(Handle h);

// Registers a new object and returns its handle; OsCloseHandle deletes it.
Handle OsHandleFor(OsObject* object);

// Termination requests (SIGTERM, and SIGINT when no dialog takes it). The
// descriptor becomes readable once termination was requested, so that
// blocking waits can poll on it and fail.
void OsPosixRequestTermination();           // async-signal-safe
bool OsPosixTerminationRequested();
int OsPosixTerminationFd();
// Installs the SIGTERM/SIGINT handlers that request termination.
void OsPosixInstallTerminationHandlers();
