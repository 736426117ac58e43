// Threads and named mutexes of the POSIX backend.
//
// A named mutex is one lock for the whole board: every process of the board
// takes an exclusive flock on the same lock file (board::LockFilePath), and
// the kernel drops the lock when its holder dies, however it dies. Inside
// one process all handles of one name share one state: the owning thread
// and its recursion count, and the one descriptor that carries the flock
// while some thread of this process owns the mutex.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "board/board.h"
#include "platform/clock.h"
#include "platform/posix/object.h"
#include "platform/sync.h"
#include "platform/text.h"

namespace {

// ---- threads ----

struct ThreadState {
    std::mutex lock;
    std::condition_variable ended;
    bool done = false;
    uint32_t exitCode = 0;
};

// The handle's object shares the state with the running thread, so either
// may go first: closing the handle early leaves the thread running safely.
struct ThreadObject : OsObject {
    std::shared_ptr<ThreadState> state;

    bool Done()
    {
        std::lock_guard<std::mutex> guard(state->lock);
        return state->done;
    }

    uint32_t Wait(uint32_t timeoutMs) override
    {
        if (timeoutMs == OS_INFINITE) {
            // Sleep on the condition in slices so that a termination
            // request still ends the wait.
            std::unique_lock<std::mutex> guard(state->lock);
            while (!state->done) {
                if (OsPosixTerminationRequested())
                    return OS_WAIT_FAILED;
                state->ended.wait_for(guard, std::chrono::milliseconds(20));
            }
            return OS_WAIT_OBJECT_0;
        }
        return OsPosixWaitUntil(timeoutMs, [this] { return Done(); });
    }
};

// ---- named mutexes ----

// One per name and process (unnamed mutexes: one per creation).
struct MutexState {
    std::mutex lock;             // guards the fields below
    std::thread::id owner;       // no thread when free in this process
    uint32_t count = 0;          // recursion depth of the owner
    int fd = -1;                 // lock file; -1 for an unnamed mutex
    pid_t pid = 0;               // the process that opened fd

    ~MutexState()
    {
        if (fd >= 0) {
            if (count > 0)
                flock(fd, LOCK_UN);
            close(fd);
        }
    }

    // One attempt to take the mutex for the calling thread. *first is set
    // when the thread did not hold it before.
    bool TryAcquire(bool* first)
    {
        std::lock_guard<std::mutex> guard(lock);
        auto me = std::this_thread::get_id();
        *first = false;
        if (count > 0) {
            if (owner != me)
                return false;
            ++count;
            return true;
        }
        if (fd >= 0) {
            int rc;
            do {
                rc = flock(fd, LOCK_EX | LOCK_NB);
            } while (rc != 0 && errno == EINTR);
            if (rc != 0)
                return false;
        }
        owner = me;
        count = 1;
        *first = true;
        return true;
    }

    // *last is set when the thread no longer holds it.
    bool Release(bool* last)
    {
        std::lock_guard<std::mutex> guard(lock);
        *last = false;
        if (count == 0 || owner != std::this_thread::get_id())
            return false;
        if (--count == 0) {
            owner = std::thread::id();
            if (fd >= 0)
                flock(fd, LOCK_UN);
            *last = true;
        }
        return true;
    }

    // The calling thread ends: whatever it still holds is given up, as the
    // device gives up the mutexes of a thread that ended, so that a waiter
    // takes the mutex instead of waiting for ever (or, later, a new thread
    // that happens to get the same id finds it held already). A state
    // inherited through fork() is the parent's and left alone.
    void Abandon()
    {
        std::lock_guard<std::mutex> guard(lock);
        if (count == 0 || owner != std::this_thread::get_id() || (fd >= 0 && pid != getpid()))
            return;
        count = 0;
        owner = std::thread::id();
        if (fd >= 0)
            flock(fd, LOCK_UN);
    }
};

// The mutexes that the calling thread holds; given up when it ends.
struct HeldMutexes {
    std::vector<std::weak_ptr<MutexState>> held;

    void Add(const std::shared_ptr<MutexState>& state) { held.push_back(state); }

    void Remove(const MutexState* state)
    {
        for (auto it = held.begin(); it != held.end();) {
            std::shared_ptr<MutexState> s = it->lock();
            if (!s || s.get() == state)
                it = held.erase(it);
            else
                ++it;
        }
    }

    ~HeldMutexes()
    {
        for (const std::weak_ptr<MutexState>& w : held)
            if (std::shared_ptr<MutexState> s = w.lock())
                s->Abandon();
    }
};

thread_local HeldMutexes heldByThisThread;

std::mutex namedLock;
std::map<std::string, std::weak_ptr<MutexState>> namedStates;

struct MutexObject : OsObject {
    std::shared_ptr<MutexState> state;

    uint32_t Wait(uint32_t timeoutMs) override
    {
        return OsPosixWaitUntil(timeoutMs, [this] {
            bool first = false;
            if (!state->TryAcquire(&first))
                return false;
            if (first)
                heldByThisThread.Add(state);
            return true;
        });
    }
};

// Creates the folders above path (the board's locks/ folder on first use).
void MakeParents(const std::string& path)
{
    for (size_t slash = path.find('/', 1); slash != std::string::npos;
         slash = path.find('/', slash + 1)) {
        mkdir(path.substr(0, slash).c_str(), 0755);
    }
}

std::shared_ptr<MutexState> OpenNamedState(const std::string& name)
{
    std::lock_guard<std::mutex> guard(namedLock);
    auto& slot = namedStates[name];
    std::shared_ptr<MutexState> state = slot.lock();
    // A state inherited through fork() belongs to the parent: its
    // descriptor shares the parent's lock, so this process needs its own.
    if (state && state->pid == getpid())
        return state;
    std::string path = board::LockFilePath(name);
    int fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
    if (fd < 0 && errno == ENOENT) {
        MakeParents(path);
        fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
    }
    if (fd < 0)
        return nullptr;
    state = std::make_shared<MutexState>();
    state->fd = fd;
    state->pid = getpid();
    slot = state;
    return state;
}

}  // namespace

Handle OsCreateThread(OsThreadRoutine routine, void* param)
{
    if (routine == nullptr)
        return nullptr;
    auto object = std::make_unique<ThreadObject>();
    object->state = std::make_shared<ThreadState>();
    std::shared_ptr<ThreadState> state = object->state;
    try {
        std::thread([state, routine, param] {
            uint32_t code = routine(param);
            std::lock_guard<std::mutex> guard(state->lock);
            state->exitCode = code;
            state->done = true;
            state->ended.notify_all();
        }).detach();
    } catch (const std::system_error&) {
        return nullptr;
    }
    return OsHandleFor(object.release());
}

Handle OsCreateMutex(const wchar_t* name)
{
    auto object = std::make_unique<MutexObject>();
    if (name == nullptr || name[0] == 0) {
        object->state = std::make_shared<MutexState>();  // process-local
    } else {
        char utf8[1024];
        size_t length = OsNarrowUtf8(name, utf8, sizeof utf8);
        if (length + 1 >= sizeof utf8)
            return nullptr;  // too long to be a name
        object->state = OpenNamedState(utf8);
        if (!object->state)
            return nullptr;
    }
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
        heldByThisThread.Remove(object->state.get());
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
    if (OsPosixTerminationRequested())
        return 0;
    if (OsVirtualClockActive()) {
        OsSleep(ms);   // no real time passes in which a request could come
        return OsPosixTerminationRequested() ? 0 : 1;
    }
    // In slices, so that a request is noticed within one: a signal does not
    // cut a sleep of the installed clock short.
    constexpr uint32_t kSliceMs = 50;
    while (ms != 0) {
        uint32_t slice = ms < kSliceMs ? ms : kSliceMs;
        OsSleep(slice);
        ms -= slice;
        if (OsPosixTerminationRequested())
            return 0;
    }
    return 1;
}
