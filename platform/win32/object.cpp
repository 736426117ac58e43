// The termination request and the wait loop of the Win32 backend (the
// handle table is platform/common/object.cpp).
#include "platform/win32/object.h"

#include <windows.h>

#include <csignal>

#include "platform/clock.h"
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

bool OsWin32TerminationRequested()
{
    return terminationRequested.load();
}

bool OsTerminationRequested()
{
    return OsWin32TerminationRequested();
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

uint32_t OsWin32WaitUntil(uint32_t timeoutMs, const std::function<bool()>& ready, void* object)
{
    if (ready())
        return OS_WAIT_OBJECT_0;
    if (timeoutMs == OS_INFINITE && !OsVirtualClockActive()) {
        // Real time: sleep on the termination event (and the object),
        // backing off from 1 ms to 10 ms between tries.
        DWORD pauseMs = 1;
        for (;;) {
            if (OsWin32TerminationRequested())
                return OS_WAIT_FAILED;
            HANDLE handles[2] = {TerminationEventHandle(), static_cast<HANDLE>(object)};
            WaitForMultipleObjects(object ? 2 : 1, handles, FALSE, pauseMs);
            if (ready())
                return OS_WAIT_OBJECT_0;
            if (pauseMs < 10)
                ++pauseMs;
        }
    }
    const uint64_t start = OsClockMicros();
    const uint64_t limit = static_cast<uint64_t>(timeoutMs) * 1000u;
    for (;;) {
        if (OsWin32TerminationRequested())
            return OS_WAIT_FAILED;
        if (timeoutMs != OS_INFINITE && OsClockMicros() - start >= limit)
            return ready() ? OS_WAIT_OBJECT_0 : OS_WAIT_TIMEOUT;
        OsSleep(1);
        if (ready())
            return OS_WAIT_OBJECT_0;
    }
}
