// Processes role.
#pragma once
#include "platform/types.h"

struct OsProcessInformation {
    Handle process;
    Handle thread;
    uint32_t processId;
    uint32_t threadId;
};

// Starts program, a program of the device: a device path (one without a
// leading separator is taken from the root), or a bare name (".exe" added
// when it has no extension) looked for in \Windows, then in the root.
// args is the argument text (or nullptr). The program runs detached and
// is never left a zombie. 1 = started (info filled; close both handles
// with OsCloseHandle), 0 = failed. Returns once the process is created.
int OsCreateProcess(const wchar_t* program, const wchar_t* args, OsProcessInformation* info);
