// Program start on the POSIX backend: board, module, command line,
// presenter, signals; then the program's entry.
#include "platform/host/entry.h"

#include <pthread.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <clocale>
#include <cstdio>
#include <vector>

#include "board/board.h"
#include "board/hal.h"
#include "platform/common/run_report.h"
#include "platform/posix/object.h"
#include "platform/posix/ui_presenter.h"

namespace {

// The width of the terminal on standard error (0: none), so that the
// closing line is folded there rather than wrapped by the terminal.
// Async-signal-safe.
size_t ErrorColumns()
{
    struct winsize size {};
    if (!isatty(2) || ioctl(2, TIOCGWINSZ, &size) != 0)
        return 0;
    return size.ws_col;
}

// Ctrl-C: to the window in front as its command 2 (Abort, close, Escape,
// cancel). With no window open it asks the program to end; a second
// Ctrl-C then ends the process at once with exit code 1.
void InterruptSignal(int)
{
    if (UiInterrupt())
        return;
    if (OsTerminationRequested()) {
        UiRestoreTerminalFromSignal();
        RunNoteStoppedBySignal();
        RunWriteClosing(2, ErrorColumns());
        _exit(1);
    }
    OsPosixRequestTermination();
}

// A restart ends the program as the board's restart does, with the
// terminal put back first (the board runs no clean-up of ours).
void RestartEndsProgram(bool)
{
    UiRestoreTerminalFromSignal();
    std::fflush(nullptr);
    RunWriteClosing(2, ErrorColumns());
    _exit(1);
}

// The closing line of the run (when its launcher asked for one).
int EndRun(int result)
{
    if (OsTerminationRequested())
        RunNoteStoppedBySignal();
    RunWriteClosing(2, ErrorColumns());
    return result;
}

void InstallSignalHandlers()
{
    OsPosixInstallTerminationHandlers();
    UiPrepareInterrupts();
    struct sigaction action {};
    action.sa_handler = InterruptSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0;
    sigaction(SIGINT, &action, nullptr);
    signal(SIGPIPE, SIG_IGN);   // a closed standard error must not end an update halfway
}

}  // namespace

int OsRunProgram(int argc, char** argv, const OsResourceTable* resources, OsProgramEntry entry)
{
    // Until the handlers stand, a termination signal waits blocked instead
    // of killing the program with the signal's exit code.
    sigset_t ending, before;
    sigemptyset(&ending);
    sigaddset(&ending, SIGINT);
    sigaddset(&ending, SIGTERM);
    sigaddset(&ending, SIGHUP);
    pthread_sigmask(SIG_BLOCK, &ending, &before);
    setlocale(LC_CTYPE, "");
    if (!board::Ensure())
        return EndRun(1);
    Instance module = OsModuleFor(resources);

    std::vector<wchar_t> commandLine = UiCommandLine(argc, argv);

    InstallSignalHandlers();
    pthread_sigmask(SIG_SETMASK, &before, nullptr);
    if (isatty(0) && isatty(2)) {
        UiSetPresenter(UiNewTerminalPresenter(0, 2));
        board::SetRestartHook(RestartEndsProgram);
    } else {
        UiSetPresenter(UiNewLinePresenter(0, 2));
        if (RunReportEnabled())
            board::SetRestartHook(RestartEndsProgram);   // the closing line first
    }

    int result = entry(module, nullptr, commandLine.data(), 1);
    UiSetPresenter(nullptr);   // the terminal presenter restores the terminal here
    return EndRun(result);
}
