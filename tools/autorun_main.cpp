// autorun: the platform starts the service at its main operation. The
// program has no resources and no command line of its own; its exit code
// is always 0, also when the board cannot be opened.
//
// SIGTERM, SIGINT and SIGHUP end the service at once, wherever it is: the
// platform then refuses every further copy, folder, search and program
// start (a copy in progress is abandoned and leaves nothing), the pause
// before the start-up pass ends early, and the wait on the queue fails, so
// ServiceMain returns 0 through its own path.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>

#include "autorun/autorun.h"
#include "platform/clock.h"
#include "platform/host/clock.h"
#include "platform/host/entry.h"
#include "platform/posix/device_files.h"
#include "platform/posix/object.h"
#include "platform/sync.h"
#include "tools/launcher.h"
#include "tools/single_service.h"

namespace {

const char kHelp[] =
    "Usage: autorun\n"
    "The board's autorun service: processes the internal flash disk once, then for\n"
    "every FAT volume mounted (boardsim insert NAME DIR) copies its AutoCopy tree into\n"
    "the device root and starts the programs of its AutoRun folder (.exe, .lnk).\n"
    "Holding Shift (boardsim set shift down) skips a volume. SIGTERM, SIGINT or SIGHUP end\n"
    "it; the exit code is always 0. See autorun(8).\n";

// The real clock, whose sleeps end as soon as termination is requested.
void SleepUnlessEnded(void*, uint64_t us)
{
    const uint64_t end = MonotonicMicros(nullptr) + us;
    for (;;) {
        if (OsTerminationRequested())
            return;
        const uint64_t now = MonotonicMicros(nullptr);
        if (now >= end)
            return;
        const uint64_t leftMs = (end - now + 999) / 1000;
        pollfd fd{OsPosixTerminationFd(), POLLIN, 0};
        poll(&fd, fd.fd >= 0 ? 1 : 0, leftMs > 1000 ? 1000 : static_cast<int>(leftMs));
    }
}

const OsClockOps kEndableClock = {MonotonicMicros, SleepUnlessEnded, nullptr};

// Every termination signal is a request to end, however often it comes:
// the service always ends through its own path, with 0.
void EndSignal(int)
{
    OsPosixRequestTermination();
}

void InstallEndSignals()
{
    struct sigaction action {};
    action.sa_handler = EndSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0;   // no restart: a blocking call returns and sees the request
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGHUP, &action, nullptr);
}

int Service(Instance instance, Instance previous, wchar_t* commandLine, int show)
{
    // The platform's handlers are in place by now; these take over again.
    InstallEndSignals();
    OsSetClock(&kEndableClock);
    return RunAsTheOnlyService(
        [](Instance i, Instance p, wchar_t* c, int s) {
            // What copies of earlier runs, killed at the wrong moment, left behind.
            OsPosixRemoveStaleCopies();
            return ServiceMain(i, p, c, s);
        },
        instance, previous, commandLine, show);
}

}  // namespace

int main(int argc, char** argv)
{
    int answered = LauncherOption(argc, argv, "autorun", kHelp);
    if (answered >= 0)
        return answered;
    // The service reads nothing and shows nothing, so its standard input is
    // never a terminal: the platform then never takes a terminal over for
    // it, and a start in a shell's background ("autorun &") is not stopped
    // for terminal access.
    const int none = open("/dev/null", O_RDONLY);
    if (none > 0) {
        dup2(none, 0);
        close(none);
    }
    // A signal before the service runs ends it as well (it then does nothing).
    InstallEndSignals();
    OsRunProgram(argc, argv, nullptr, Service);
    return 0;
}
