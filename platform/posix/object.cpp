// The termination request and the wait loop's pause of the POSIX backend.
#include "platform/posix/object.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <pthread.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>

#include "platform/clock.h"
#include "platform/sync.h"

namespace {

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

// A forked child's termination requests must not reach its parent through
// a shared pipe, nor the parent's its child.
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

bool OsTerminationRequested()
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
    // A hang-up is a request to end as well (killed by it, an update would
    // stop mid-erase with nothing said), unless the caller ignores it (nohup).
    struct sigaction previous {};
    if (sigaction(SIGHUP, nullptr, &previous) == 0 && previous.sa_handler != SIG_IGN)
        sigaction(SIGHUP, &action, nullptr);
}

bool OsInfiniteWaitPausesInRealTime()
{
    return true;
}

// object: a descriptor (int*) readable while it is signalled.
void OsPauseUnlessEnding(uint32_t pauseMs, void* object)
{
    pollfd fds[2] = {{OsPosixTerminationFd(), POLLIN, 0},
                     {object != nullptr ? *static_cast<int*>(object) : -1, POLLIN, 0}};
    poll(fds, 2, static_cast<int>(pauseMs));
}
