// Threads and named mutexes of the POSIX backend.
//
// A named mutex is one lock for the whole board: every process of the board
// takes an exclusive flock on the same lock file (board::LockFilePath), and
// the kernel drops the lock when its holder dies, however it dies. Inside
// one process all handles of one name share one state: the owning thread
// and its recursion count, and the one descriptor that carries the flock
// while some thread of this process owns the mutex.
#include <fcntl.h>
#include <pthread.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <system_error>
#include <thread>

#include "board/board.h"
#include "platform/common/run_report.h"
#include "platform/common/sync.h"
#include "platform/host/text.h"
#include "platform/sync.h"

namespace {

// ---- threads ----

struct ThreadState {
    std::mutex lock;
    std::condition_variable ended;
    bool done = false;
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
                if (OsTerminationRequested())
                    return OS_WAIT_FAILED;
                state->ended.wait_for(guard, std::chrono::milliseconds(20));
            }
            return OS_WAIT_OBJECT_0;
        }
        return OsWaitUntil(timeoutMs, [this] { return Done(); });
    }
};

// ---- named mutexes ----

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

// Creates the folders above path (the board's locks/ folder on first use).
void MakeParents(const std::string& path)
{
    for (size_t slash = path.find('/', 1); slash != std::string::npos;
         slash = path.find('/', slash + 1)) {
        mkdir(path.substr(0, slash).c_str(), 0755);
    }
}

std::shared_ptr<OsMutexState> OpenNamedState(const std::string& name)
{
    std::lock_guard<std::mutex> guard(namedLock);
    auto& slot = namedStates[name];
    std::shared_ptr<OsMutexState> state = slot.lock();
    // A state inherited through fork() belongs to the parent: its
    // descriptor shares the parent's lock, so this process needs its own.
    if (state && !state->hold->Inherited())
        return state;
    std::string path = board::LockFilePath(name);
    int fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
    if (fd < 0 && errno == ENOENT) {
        MakeParents(path);
        fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
    }
    if (fd < 0) {
        // Said with the box that reports the flash out of reach.
        RunNoteReason(std::strerror(errno));
        return nullptr;
    }
    auto hold = std::make_unique<LockFileHold>();
    hold->fd = fd;
    hold->pid = getpid();
    state = std::make_shared<OsMutexState>();
    state->hold = std::move(hold);
    slot = state;
    return state;
}

// The mutexes the calling thread holds, given up when it ends.
thread_local OsHeldMutexes heldByThisThread;

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
            routine(param);
            std::lock_guard<std::mutex> guard(state->lock);
            state->done = true;
            state->ended.notify_all();
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
    if (name == nullptr)
        return std::make_shared<OsMutexState>();  // process-local
    char utf8[1024];
    size_t length = OsNarrowUtf8(name, utf8, sizeof utf8);
    if (length + 1 >= sizeof utf8)
        return nullptr;  // too long to be a name
    return OpenNamedState(utf8);
}
