// The handle table of the Win32 backend and the termination request.
#include "platform/win32/object.h"

#include <windows.h>

#include <csignal>
#include <mutex>
#include <unordered_set>

#include "platform/clock.h"
#include "platform/sync.h"

namespace {

std::mutex& TableLock()
{
    static std::mutex lock;
    return lock;
}

std::unordered_set<OsObject*>& Table()
{
    static std::unordered_set<OsObject*> table;
    return table;
}

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

void Unref(OsObject* object)
{
    if (object != nullptr && object->refs.fetch_sub(1, std::memory_order_acq_rel) == 1)
        delete object;
}

}  // namespace

OsObjectRef& OsObjectRef::operator=(OsObjectRef&& other) noexcept
{
    if (this != &other) {
        Unref(object_);
        object_ = other.object_;
        other.object_ = nullptr;
    }
    return *this;
}

OsObjectRef::~OsObjectRef()
{
    Unref(object_);
}

OsObjectRef OsObjectFromHandle(Handle h)
{
    if (h == nullptr || h == OS_INVALID_HANDLE)
        return OsObjectRef();
    std::lock_guard<std::mutex> guard(TableLock());
    auto it = Table().find(h);
    if (it == Table().end())
        return OsObjectRef();
    (*it)->refs.fetch_add(1, std::memory_order_relaxed);
    return OsObjectRef(*it);
}

Handle OsHandleFor(OsObject* object)
{
    if (object == nullptr)
        return nullptr;
    std::lock_guard<std::mutex> guard(TableLock());
    Table().insert(object);
    return object;
}

int OsCloseHandle(Handle h)
{
    if (h == nullptr || h == OS_INVALID_HANDLE)
        return 0;
    OsObject* object;
    {
        std::lock_guard<std::mutex> guard(TableLock());
        auto it = Table().find(h);
        if (it == Table().end())
            return 0;
        object = *it;
        Table().erase(it);
    }
    object->Closing();
    Unref(object);
    return 1;
}

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
