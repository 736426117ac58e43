// The termination request and the wait loop's pause of the Win32 backend.
#include "platform/win32/object.h"

#include <windows.h>

#include <csignal>

#include "platform/clock.h"
#include "platform/host/clock.h"
#include "platform/sync.h"

namespace {

std::atomic<bool> terminationRequested{false};
HANDLE TerminationEventHandle()
{
    static HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    return event;
}
// Made before main(), so that the control handler (another thread) only
// ever touches ready state.
const HANDLE terminationEventAtStart = TerminationEventHandle();

BOOL WINAPI ConsoleControl(DWORD type)
{
    switch (type) {
    case CTRL_C_EVENT:
    case CTRL_BREAK_EVENT:
    case CTRL_CLOSE_EVENT:
    case CTRL_SHUTDOWN_EVENT:
        OsWin32RequestTermination();
        return TRUE;
    default:
        return FALSE;
    }
}

void TerminationSignal(int)
{
    OsWin32RequestTermination();
}

}  // namespace

void OsWin32RequestTermination()
{
    terminationRequested.store(true);
    if (HANDLE e = TerminationEventHandle())
        SetEvent(e);
}

bool OsTerminationRequested()
{
    return terminationRequested.load();
}

void* OsWin32TerminationEvent()
{
    return TerminationEventHandle();
}

void OsWin32InstallTerminationHandlers()
{
    SetConsoleCtrlHandler(ConsoleControl, TRUE);
    std::signal(SIGINT, TerminationSignal);
    std::signal(SIGTERM, TerminationSignal);
}

// On a virtual clock even an OS_INFINITE wait steps that clock.
bool OsInfiniteWaitPausesInRealTime()
{
    return !OsVirtualClockActive();
}

void OsPauseUnlessEnding(uint32_t pauseMs, void* object)
{
    HANDLE handles[2] = {TerminationEventHandle(), static_cast<HANDLE>(object)};
    WaitForMultipleObjects(object ? 2 : 1, handles, FALSE, pauseMs);
}
