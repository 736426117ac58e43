// The mutex bookkeeping and the sync role's calls that both backends share
// (see sync.h); threads and the holds of named mutexes are the backend's.
#include "platform/common/sync.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <cwchar>

#include "board/board.h"
#include "platform/clock.h"
#include "platform/common/run_report.h"
#include "platform/host/clock.h"
#include "platform/sync.h"

bool OsMutexState::TryAcquire(bool* first)
{
    std::lock_guard<std::mutex> guard(lock);
    const uint64_t me = OsThreadKey();
    *first = false;
    if (count > 0) {
        if (owner != me)
            return false;
        ++count;
        return true;
    }
    if (!hold->Take())
        return false;
    owner = me;
    count = 1;
    *first = true;
    return true;
}

bool OsMutexState::Release(bool* last)
{
    std::lock_guard<std::mutex> guard(lock);
    *last = false;
    if (count == 0 || owner != OsThreadKey())
        return false;
    if (--count == 0) {
        owner = 0;
        hold->Give();
        *last = true;
    }
    return true;
}

void OsMutexState::Abandon()
{
    std::lock_guard<std::mutex> guard(lock);
    if (count == 0 || owner != OsThreadKey() || hold->Inherited())
        return;
    count = 0;
    owner = 0;
    hold->Give();
}

void OsHeldMutexes::Remove(const OsMutexState* state)
{
    for (auto it = held.begin(); it != held.end();) {
        std::shared_ptr<OsMutexState> s = it->lock();
        if (!s || s.get() == state)
            it = held.erase(it);
        else
            ++it;
    }
}

OsHeldMutexes::~OsHeldMutexes()
{
    for (const std::weak_ptr<OsMutexState>& w : held)
        if (std::shared_ptr<OsMutexState> s = w.lock())
            s->Abandon();
}

namespace {

#ifdef _WIN32
// The board's own file calls (board_posix.h), as the board takes the lock.
using board::mkdir;
using board::open;
#endif

}  // namespace

int OsOpenMutexLockFile(const std::string& name)
{
    const std::string path = board::LockFilePath(name);
    int fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
    if (fd < 0 && errno == ENOENT) {
        // The folders above it: the board's locks/ folder on first use.
        for (size_t slash = path.find('/', 1); slash != std::string::npos;
             slash = path.find('/', slash + 1))
            mkdir(path.substr(0, slash).c_str(), 0755);
        fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
    }
    if (fd < 0)
        RunNoteReason(std::strerror(errno));
    return fd;
}

namespace {

struct MutexObject : OsObject {
    std::shared_ptr<OsMutexState> state;
    bool flash = false;   // the board's flash lock: a long wait for it is said

    bool Take()
    {
        bool first = false;
        if (!state->TryAcquire(&first))
            return false;
        if (first)
            OsHeldByThisThread().Add(state);
        return true;
    }

    uint32_t Wait(uint32_t timeoutMs) override
    {
        if (!flash || timeoutMs <= kFlashWaitGraceMs)
            return OsWaitUntil(timeoutMs, [this] { return Take(); });
        return SaidWait(timeoutMs);
    }

    // A wait that says, once the grace time has passed, that it waits, and
    // that then gives up on Ctrl-C.
    uint32_t SaidWait(uint32_t timeoutMs)
    {
        uint32_t result = OsWaitUntil(kFlashWaitGraceMs, [this] { return Take(); });
        if (result != OS_WAIT_TIMEOUT)
            return result;
        OsFlashWaitBegins(kFlashWaitText);
        bool taken = false;
        result = OsWaitUntil(timeoutMs == OS_INFINITE ? OS_INFINITE : timeoutMs - kFlashWaitGraceMs, [&] {
            taken = Take();
            return taken || OsFlashWaitCancelled();
        });
        OsFlashWaitEnds();
        return result == OS_WAIT_OBJECT_0 && !taken ? OS_WAIT_FAILED : result;
    }
};

}  // namespace

Handle OsCreateMutex(const wchar_t* name)
{
    // Only named mutexes: the programs share theirs with one another.
    if (name == nullptr || name[0] == 0)
        return nullptr;
    auto object = std::make_unique<MutexObject>();
    object->state = OsOpenMutexState(name);
    object->flash = std::wcscmp(name, kFlashLockName) == 0;
    if (!object->state)
        return nullptr;
    return OsHandleFor(object.release());
}

int OsReleaseMutex(Handle mutex)
{
    OsObjectRef ref = OsObjectFromHandle(mutex);
    auto* object = ref.as<MutexObject>();
    if (object == nullptr)
        return 0;
    bool last = false;
    if (!object->state->Release(&last))
        return 0;
    if (last)
        OsHeldByThisThread().Remove(object->state.get());
    return 1;
}

uint32_t OsWaitForSingleObject(Handle h, uint32_t timeoutMs)
{
    OsObjectRef ref = OsObjectFromHandle(h);
    if (ref.get() == nullptr)
        return OS_WAIT_FAILED;
    return ref.get()->Wait(timeoutMs);
}

int OsSleepUnlessEnding(uint32_t ms)
{
    if (OsTerminationRequested())
        return 0;
    if (OsVirtualClockActive()) {
        OsSleep(ms);   // no real time passes in which a request could come
        return OsTerminationRequested() ? 0 : 1;
    }
    // In slices, so that a request is noticed within one: a signal does not
    // cut a sleep of the installed clock short.
    constexpr uint32_t kSliceMs = 50;
    while (ms != 0) {
        uint32_t slice = ms < kSliceMs ? ms : kSliceMs;
        OsSleep(slice);
        ms -= slice;
        if (OsTerminationRequested())
            return 0;
    }
    return 1;
}
