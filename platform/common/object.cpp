// The handle table, the same for both backends (see object.h).
#include "platform/common/object.h"

#include <mutex>
#include <unordered_set>

#include "platform/clock.h"
#include "platform/host/clock.h"
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

// Drops one reference; the last one deletes the object (outside the table
// lock: an object's destructor may close handles of its own).
void Unref(OsObject* object)
{
    if (object != nullptr && object->refs.fetch_sub(1, std::memory_order_acq_rel) == 1)
        delete object;
}

}  // namespace

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

uint32_t OsWaitUntil(uint32_t timeoutMs, const std::function<bool()>& ready, void* object)
{
    if (ready())
        return OS_WAIT_OBJECT_0;
    if (timeoutMs == OS_INFINITE && OsInfiniteWaitPausesInRealTime()) {
        // A long wait costs next to nothing, yet a request to end is
        // noticed at once.
        uint32_t pauseMs = 1;
        for (;;) {
            if (OsTerminationRequested())
                return OS_WAIT_FAILED;
            // A host object says itself when it is ready: no time-out then.
            OsPauseUnlessEnding(object != nullptr ? OS_INFINITE : pauseMs, object);
            if (ready())
                return OS_WAIT_OBJECT_0;
            if (pauseMs < 10)
                ++pauseMs;
        }
    }
    const uint64_t start = OsClockMicros();
    const uint64_t limit = static_cast<uint64_t>(timeoutMs) * 1000u;
    for (;;) {
        if (OsTerminationRequested())
            return OS_WAIT_FAILED;
        if (timeoutMs != OS_INFINITE && OsClockMicros() - start >= limit)
            return ready() ? OS_WAIT_OBJECT_0 : OS_WAIT_TIMEOUT;
        // Steps of 1 ms: the time-out may be overrun by less than a step.
        OsSleep(1);
        if (ready())
            return OS_WAIT_OBJECT_0;
    }
}
