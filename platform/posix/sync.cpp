// Threads and named mutexes of the POSIX backend.
//
// A named mutex is an exclusive flock on the board's lock file of that
// name, which the kernel drops however its holder dies. Inside a process
// all handles of one name share one state and one descriptor.
#include <pthread.h>
#include <sys/file.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <system_error>
#include <thread>

#include "platform/common/sync.h"
#include "platform/host/text.h"
#include "platform/sync.h"

namespace {

// The handle's object shares whether the thread ended with the running
// thread, so either may go first: closing the handle early leaves the
// thread running safely.
struct ThreadObject : OsObject {
    std::shared_ptr<std::atomic<bool>> ended;

    uint32_t Wait(uint32_t timeoutMs) override
    {
        return OsWaitUntil(timeoutMs, [this] { return ended->load(); });
    }
};

// A named mutex's lock file, opened by this process.
struct LockFileHold : OsMutexHold {
    int fd = -1;
    pid_t pid = 0;       // the process that opened fd
    bool taken = false;

    ~LockFileHold() override
    {
        if (taken)
            flock(fd, LOCK_UN);
        close(fd);
    }

    bool Take() override
    {
        int rc;
        do {
            rc = flock(fd, LOCK_EX | LOCK_NB);
        } while (rc != 0 && errno == EINTR);
        taken = rc == 0;
        return taken;
    }

    void Give() override
    {
        flock(fd, LOCK_UN);
        taken = false;
    }

    bool Inherited() const override { return pid != getpid(); }
};

std::mutex namedLock;
std::map<std::string, std::weak_ptr<OsMutexState>> namedStates;

// The mutexes the calling thread holds, given up when it ends.
thread_local OsHeldMutexes heldByThisThread;

}  // namespace

Handle OsCreateThread(OsThreadRoutine routine, void* param)
{
    if (routine == nullptr)
        return nullptr;
    auto object = std::make_unique<ThreadObject>();
    object->ended = std::make_shared<std::atomic<bool>>(false);
    std::shared_ptr<std::atomic<bool>> ended = object->ended;
    try {
        std::thread([ended, routine, param] {
            routine(param);
            ended->store(true);
        }).detach();
    } catch (const std::system_error&) {
        return nullptr;
    }
    return OsHandleFor(object.release());
}

uint64_t OsThreadKey()
{
    return static_cast<uint64_t>(pthread_self());
}

OsHeldMutexes& OsHeldByThisThread()
{
    return heldByThisThread;
}

std::shared_ptr<OsMutexState> OsOpenMutexState(const wchar_t* name)
{
    char utf8[1024];
    size_t length = OsNarrowUtf8(name, utf8, sizeof utf8);
    if (length + 1 >= sizeof utf8)
        return nullptr;  // too long to be a name
    std::lock_guard<std::mutex> guard(namedLock);
    auto& slot = namedStates[utf8];
    std::shared_ptr<OsMutexState> state = slot.lock();
    // A state inherited through fork() belongs to the parent: its
    // descriptor shares the parent's lock, so this process needs its own.
    if (state && !state->hold->Inherited())
        return state;
    int fd = OsOpenMutexLockFile(utf8);
    if (fd < 0)
        return nullptr;
    auto hold = std::make_unique<LockFileHold>();
    hold->fd = fd;
    hold->pid = getpid();
    state = std::make_shared<OsMutexState>();
    state->hold = std::move(hold);
    slot = state;
    return state;
}

