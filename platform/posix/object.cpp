// The handle table of the POSIX backend and the termination request.
//
// A handle is the address of a live OsObject. Every object is registered in
// one process-wide set, so a stale, closed or foreign pointer is recognised
// and refused instead of being dereferenced.
#include "platform/posix/object.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <pthread.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
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

// Termination: a flag and a self-pipe whose read end becomes readable once
// termination was requested. Both are set up before main() so that the
// signal handler only ever touches ready state.
std::atomic<bool> terminationRequested{false};
static_assert(std::atomic<bool>::is_always_lock_free, "flag must be usable in a signal handler");
int terminationPipe[2] = {-1, -1};

void OpenTerminationPipe()
{
    int fds[2];
    if (pipe2(fds, O_CLOEXEC | O_NONBLOCK) == 0) {
        terminationPipe[0] = fds[0];
        terminationPipe[1] = fds[1];
    }
}

// A forked child is a process of its own: its termination requests must
// not reach its parent through a shared pipe, nor the parent's its child.
void TerminationAfterFork()
{
    if (terminationPipe[0] >= 0)
        close(terminationPipe[0]);
    if (terminationPipe[1] >= 0)
        close(terminationPipe[1]);
    terminationPipe[0] = terminationPipe[1] = -1;
    terminationRequested.store(false);
    OpenTerminationPipe();
}

struct TerminationPipeSetup {
    TerminationPipeSetup()
    {
        OpenTerminationPipe();
        pthread_atfork(nullptr, nullptr, TerminationAfterFork);
    }
};
TerminationPipeSetup terminationPipeSetup;

void TerminationSignal(int)
{
    OsPosixRequestTermination();
}

}  // namespace

namespace {

// Drops one reference; the last one deletes the object (outside the table
// lock: an object's destructor may close handles of its own).
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

void OsPosixRequestTermination()
{
    int savedErrno = errno;
    terminationRequested.store(true);
    if (terminationPipe[1] >= 0) {
        char byte = 1;
        // A full pipe is fine: it is readable already.
        ssize_t ignored = write(terminationPipe[1], &byte, 1);
        (void)ignored;
    }
    errno = savedErrno;
}

bool OsPosixTerminationRequested()
{
    return terminationRequested.load();
}

int OsPosixTerminationFd()
{
    return terminationPipe[0];
}

void OsPosixInstallTerminationHandlers()
{
    struct sigaction action {};
    action.sa_handler = TerminationSignal;
    sigemptyset(&action.sa_mask);
    // No SA_RESTART: a blocking call in progress returns with EINTR so that
    // its caller notices the request.
    action.sa_flags = 0;
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGINT, &action, nullptr);
}

uint32_t OsPosixWaitUntil(uint32_t timeoutMs, const std::function<bool()>& ready)
{
    if (ready())
        return OS_WAIT_OBJECT_0;
    if (timeoutMs == OS_INFINITE) {
        // Real time: poll the termination pipe, backing off from 1 ms to
        // 10 ms so that a long wait costs next to nothing.
        int pauseMs = 1;
        for (;;) {
            if (OsPosixTerminationRequested())
                return OS_WAIT_FAILED;
            pollfd fd{OsPosixTerminationFd(), POLLIN, 0};
            if (fd.fd >= 0)
                poll(&fd, 1, pauseMs);
            else
                OsSleep(static_cast<uint32_t>(pauseMs));
            if (ready())
                return OS_WAIT_OBJECT_0;
            if (pauseMs < 10)
                ++pauseMs;
        }
    }
    const uint64_t start = OsClockMicros();
    const uint64_t limit = static_cast<uint64_t>(timeoutMs) * 1000u;
    for (;;) {
        if (OsPosixTerminationRequested())
            return OS_WAIT_FAILED;
        if (OsClockMicros() - start >= limit)
            return ready() ? OS_WAIT_OBJECT_0 : OS_WAIT_TIMEOUT;
        // Steps of 1 ms: the time-out may be overrun by less than a step.
        OsSleep(1);
        if (ready())
            return OS_WAIT_OBJECT_0;
    }
}
