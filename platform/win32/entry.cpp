// Program start on the Win32 backend: board, module, command line,
// Ctrl-C; then the program's entry.
#include "platform/host/entry.h"

#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <vector>

#include "board/board.h"
#include "board/hal.h"
#include "platform/common/run_report.h"
#include "platform/common/ui_shared.h"
#include "platform/win32/object.h"
#include "platform/win32/run_channel.h"
#include "platform/win32/window.h"

namespace {

// Ctrl-C (and Ctrl-Break) from the console, by the rules of posix/entry.cpp
// (a second one ends with 130). Runs on a thread the console starts.
BOOL WINAPI ConsoleControl(DWORD event)
{
    if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT)
        return FALSE;   // closing the console, logging off: the default ending
    if (OsWin32CancelFlashWait() || UiInterrupt())
        return TRUE;
    if (OsTerminationRequested()) {
        RunNoteStoppedBySignal();
        RunWin32SayClosing();
        TerminateProcess(GetCurrentProcess(), 130);
    }
    OsWin32RequestTermination();
    return TRUE;
}

// A restart ends the program as the board's restart does, its closing
// line said first.
void RestartEndsProgram(bool)
{
    fflush(nullptr);
    RunWin32SayClosing();
    _exit(1);
}

// The closing line of the run (when its launcher asked for one).
int EndRun(int result)
{
    if (OsTerminationRequested())
        RunNoteStoppedBySignal();
    RunWin32SayClosing();
    return result;
}

}  // namespace

int OsRunProgram(int argc, char** argv, const OsResourceTable* resources, OsProgramEntry entry)
{
    if (!board::Ensure())
        return EndRun(1);
    Instance module = OsModuleFor(resources);

    // The arguments come as UTF-8 (the launcher converts Windows' own).
    std::vector<wchar_t> commandLine = UiCommandLine(argc, argv);

    SetConsoleCtrlHandler(ConsoleControl, TRUE);
    if (RunReportEnabled())
        board::SetRestartHook(RestartEndsProgram);
    int result = entry(module, nullptr, commandLine.data(), 1);
    SetConsoleCtrlHandler(ConsoleControl, FALSE);
    return EndRun(result);
}
