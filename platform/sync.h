// Threads and synchronisation role.
#pragma once
#include "platform/types.h"

typedef uint32_t (*OsThreadRoutine)(void* param);

// Starts a thread that runs routine(param) at once. Returns its handle, or
// nullptr on failure. The caller owns the handle and closes it with
// OsCloseHandle; closing it neither stops nor waits for the thread. Waiting
// on the handle returns when the thread has ended. Never blocks.
Handle OsCreateThread(OsThreadRoutine routine, void* param);

// Creates or opens the named, device-wide mutex (not initially owned). One
// name is one lock for every thread of every program of the board; a holder
// that ends (a thread, or a program however it dies) releases it. Returns a
// handle (close with OsCloseHandle) or nullptr on failure (no name among
// them). Does not block.
Handle OsCreateMutex(const wchar_t* name);

// Releases a mutex held by the calling thread. 1 = released, 0 = not held.
int OsReleaseMutex(Handle mutex);

// Waits until the object is signalled or timeoutMs (OS_INFINITE: no limit)
// has passed. Mutex: acquires it (recursively for the holding thread).
// Thread: has ended. Message queue: holds a message. Returns
// OS_WAIT_OBJECT_0, OS_WAIT_TIMEOUT or OS_WAIT_FAILED (bad handle, or the
// wait was interrupted by a termination request: SIGTERM/SIGINT). Blocks.
uint32_t OsWaitForSingleObject(Handle h, uint32_t timeoutMs);

// Closes any handle of the platform (mutex, thread, file, store, queue...).
// 1 = closed, 0 = not a handle. Does not block.
int OsCloseHandle(Handle h);

// Sleeps ms milliseconds of the installed clock, like OsSleep, unless the
// program is asked to end first (on Linux: SIGTERM, or Ctrl-C while no
// window is open). 1 = slept the whole time; 0 = asked to end, returned
// early. Blocks.
int OsSleepUnlessEnding(uint32_t ms);
