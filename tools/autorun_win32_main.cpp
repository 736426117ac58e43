// autorun on Windows: the service as tools/autorun_main.cpp starts it on
// Linux (exit code always 0; a termination request ends it through its own
// path), with Ctrl-C, Ctrl-Break or the console closed as the request. Its
// standard input is NUL. A second service on the board finds the first,
// says so on standard error and ends with 0.
#include <windows.h>

#include <cstdint>

#include "autorun/autorun.h"
#include "platform/clock.h"
#include "platform/host/clock.h"
#include "platform/host/entry.h"
#include "platform/win32/object.h"
#include "tools/single_service.h"

namespace {

// The real clock, whose sleeps end as soon as termination is requested.
void SleepUnlessEnded(void*, uint64_t us)
{
    const DWORD ms = static_cast<DWORD>((us + 999) / 1000);
    WaitForSingleObject(static_cast<HANDLE>(OsWin32TerminationEvent()), ms);
}

const OsClockOps kEndableClock = {MonotonicMicros, SleepUnlessEnded, nullptr};

int Service(Instance instance, Instance previous, wchar_t* commandLine, int show)
{
    OsSetClock(&kEndableClock);
    return RunAsTheOnlyService(ServiceMain, instance, previous, commandLine, show);
}

}  // namespace

int main()
{
    HANDLE none = CreateFileW(L"NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0,
                              nullptr);
    if (none != INVALID_HANDLE_VALUE)
        SetStdHandle(STD_INPUT_HANDLE, none);
    OsWin32InstallTerminationHandlers();
    char name[] = "autorun";
    char* argv[] = {name, nullptr};
    OsRunProgram(1, argv, nullptr, Service);
    return 0;
}
