// drive: runs a Win32 program with real windows and speaks the unattended
// line protocol for it, with the same lines and answers as the Linux build
// (platform/posix/ui_line.cpp), for scripts and tests alike.
//
//   drive PROGRAM [ARGUMENTS...]  < answers  2> transcript
//
// PROGRAM's command line is its arguments joined by single blanks, as the
// Linux launcher joins them; the exit code is PROGRAM's. Its windows are
// found, put in front and answered as drive.h describes; drive_hook.dll,
// beside drive.exe, tells drive which dialogs ended (and so are "Closed").
// DRIVE_TRACE=1 adds what drive sees to standard error.
// DRIVE_PROGRAM_ERRORS=FILE keeps the program's own standard error in FILE
// (otherwise it goes nowhere): a program that fails before its first
// window says why only there.
#include <algorithm>

#include "platform/common/line_protocol.h"
#include "platform/common/ui_shared.h"
#include "tools/win32/drive.h"

PROCESS_INFORMATION g_child;
std::string g_unit;

bool ChildRunning()
{
    return WaitForSingleObject(g_child.hProcess, 0) == WAIT_TIMEOUT;
}

std::wstring HostOfUnix(const std::wstring& path)
{
    typedef WCHAR* (*ToDos)(const char*);
    static auto toDos =
        reinterpret_cast<ToDos>(reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"kernel32.dll"),
                                                                       "wine_get_dos_file_name")));
    if (!toDos || path.empty() || path[0] != L'/')
        return path;
    WCHAR* dos = toDos(UiUtf8(path).c_str());
    if (!dos)
        return path;
    std::wstring out = dos;
    HeapFree(GetProcessHeap(), 0, dos);
    return out;
}

std::wstring EnvOf(const wchar_t* name)
{
    wchar_t value[4096];
    DWORD n = GetEnvironmentVariableW(name, value, 4096);
    return n > 0 && n < 4096 ? std::wstring(value, n) : std::wstring();
}

namespace {

std::wstring Quoted(const std::wstring& arg)
{
    if (!arg.empty() && arg.find_first_of(L" \t\"") == std::wstring::npos)
        return arg;
    std::wstring out = L"\"";
    for (wchar_t c : arg)
        if (c != L'"')
            out += c;
    return out + L"\"";
}

int Usage()
{
    Write("Usage: drive PROGRAM [ARGUMENTS...]\n"
          "Runs PROGRAM and speaks the unattended line protocol for its windows:\n"
          "answers from standard input, the transcript on standard error.\n");
    return 2;
}

}  // namespace

int wmain(int argc, wchar_t** argv)
{
    if (argc < 2)
        return Usage();
    std::wstring program = HostOfUnix(argv[1]);   // a Unix path given to drive under Wine
    std::wstring base = lineproto::Lower(program.substr(program.find_last_of(L"\\/") + 1));
    if (base == L"flashupdate" || base == L"flashupdate.exe")
        g_unit = "KB";   // the update worker sets its bars in KB
    // The command line the program sees: its arguments joined by blanks.
    std::wstring commandLine = Quoted(program);
    for (int i = 2; i < argc; ++i)
        commandLine += L" " + std::wstring(argv[i]);

    g_trace = !EnvOf(L"DRIVE_TRACE").empty();
    if (!LoadHook()) {
        Write("drive: cannot load drive_hook.dll from drive's own folder\n");
        return 127;
    }
    StartInput();
    StartReport();

    // The program's own standard handles go nowhere: the transcript is
    // drive's alone. Under Wine that takes a file with a Unix descriptor
    // behind it (Wine's own notes, such as the file dialog's "Read access
    // denied for device", go to the descriptors, and its NUL has none).
    SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
    std::wstring nowhere = HostOfUnix(L"/dev/null");
    if (nowhere == L"/dev/null")
        nowhere = L"NUL";
    HANDLE nul = CreateFileW(nowhere.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                             &inherit, OPEN_EXISTING, 0, nullptr);
    HANDLE errors = nul;
    std::wstring errorsPath = EnvOf(L"DRIVE_PROGRAM_ERRORS");
    if (!errorsPath.empty()) {
        errors = CreateFileW(HostOfUnix(errorsPath).c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                             &inherit, CREATE_ALWAYS, 0, nullptr);
        if (errors == INVALID_HANDLE_VALUE) {
            Write("drive: cannot write " + UiUtf8(errorsPath) + " (error " + std::to_string(GetLastError()) + ")\n");
            return 127;
        }
    }
    STARTUPINFOW start = {};
    start.cb = sizeof start;
    start.dwFlags = STARTF_USESTDHANDLES;
    start.hStdInput = start.hStdOutput = nul;
    start.hStdError = errors;
    std::vector<wchar_t> line(commandLine.begin(), commandLine.end());
    line.push_back(0);
    // No console and a process group of its own: Ctrl-C is drive's to hand
    // to the window in front, never also the program's (whose own handler
    // would take it a second time).
    if (!CreateProcessW(nullptr, line.data(), nullptr, nullptr, TRUE, CREATE_NEW_PROCESS_GROUP | DETACHED_PROCESS,
                        nullptr, nullptr, &start, &g_child)) {
        Write("drive: cannot start " + UiUtf8(program) + " (error " + std::to_string(GetLastError()) + ")\n");
        return 127;
    }
    CloseHandle(g_child.hThread);
    CloseHandle(nul);
    if (errors != nul)
        CloseHandle(errors);
    ReportStarted();
    Trace("started process " + std::to_string(g_child.dwProcessId), nullptr);

    StartReading();

    for (;;) {
        bool running = ChildRunning();
        Scan();
        for (size_t i = 0; i < g_windows.size(); ++i) {
            Tracked& t = g_windows[i];
            if (t.shown || t.answered || !IsWindowVisible(t.h))
                continue;
            t.kind = Classify(t.h);
            t.shown = true;
            // The window that takes the next answer is the one a person
            // would have in front: make it the active window, as a click
            // on it would (a program started without a console is not made
            // foreground by itself, and its first dialog would look idle).
            Sync(t.h);
            SetForegroundWindow(t.h);
            PostMessageW(t.h, WM_NCACTIVATE, TRUE, 0);
            if (t.kind == Kind::Box)
                HandleBox(t);
            else if (t.kind == Kind::Chooser)
                HandleChooser(t);
            else
                ShowDialog(t);
            Scan();   // the handlers wait: windows may have come and gone
            i = static_cast<size_t>(-1);
        }
        FlushShown(false);
        WriteNotices();
        if (InterruptWaiting())
            Interrupt();
        Tracked* front = Front();
        // A dialog reads while it is the one in use: shown and enabled (a
        // modal window it opened disables it; one that ends is hidden).
        // The dialog's thread is first let finish what it was doing (a
        // command's handler that ends the dialog, say), so that a line is
        // read only where the Linux build's modal loop would ask for one.
        if (front && front->shown && front->kind == Kind::Dialog && front->reads && !front->eofSent &&
            InputWaiting() && IsWindowVisible(front->h) && IsWindowEnabled(front->h) && Sync(front->h) &&
            IsWindowVisible(front->h) && IsWindowEnabled(front->h))
            ReadCommand(*front);
        if (!running) {
            Scan();
            break;
        }
        HANDLE events[] = {g_child.hProcess, InterruptEvent()};
        WaitForMultipleObjects(2, events, FALSE, kPollMs);
    }
    DWORD code = 1;
    GetExitCodeProcess(g_child.hProcess, &code);
    Trace("process ended with exit code " + std::to_string(code), nullptr);
    WriteClosing();
    // At once: the threads that read the input and watch the dialogs run
    // on, and nothing is left to clean up.
    ExitProcess(code);
}
