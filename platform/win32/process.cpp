// Processes of the Win32 backend.
//
// A program is started detached (DETACHED_PROCESS), inheriting none of
// our handles, with the device root as its current folder. It is resolved
// inside the root without following reparse points, and every folder on
// the way and the file itself stay open without delete or write sharing
// until the process is created, so none can be swapped between the check
// and the start.
#include <windows.h>

#include <string>
#include <vector>

#include "platform/common/device_path.h"
#include "platform/process.h"
#include "platform/win32/device_files.h"
#include "platform/win32/object.h"

namespace {

// A process or thread handle of a started program.
struct ProcessObject : OsObject {
    HANDLE handle = nullptr;
    ~ProcessObject() override
    {
        if (handle != nullptr)
            CloseHandle(handle);
    }
    uint32_t Wait(uint32_t timeoutMs) override
    {
        HANDLE h = handle;
        return OsWaitUntil(timeoutMs, [h] { return WaitForSingleObject(h, 0) == WAIT_OBJECT_0; }, h);
    }
};

// The program file and the folders above it, held open.
struct Program {
    std::vector<HANDLE> held;
    std::wstring path;   // the Windows path that was checked
    ~Program()
    {
        for (HANDLE h : held)
            CloseHandle(h);
    }
};

// Opens the device path as a program that can be started: a regular file
// reached from the device root without following a link anywhere on the
// way.
bool OpenProgram(const std::wstring& device, Program& program)
{
    std::vector<std::wstring> parts;
    if (!OsWin32SplitDevicePath(device.c_str(), parts) || parts.empty())
        return false;
    for (size_t count = 1; count <= parts.size(); ++count) {
        const bool last = count == parts.size();
        std::wstring spelled;
        HANDLE h = OsWin32OpenBeneath(parts, count, last ? GENERIC_READ : FILE_READ_ATTRIBUTES, FILE_SHARE_READ,
                                      OPEN_EXISTING, 0, &spelled);
        if (h == INVALID_HANDLE_VALUE)
            return false;
        program.held.push_back(h);
        BY_HANDLE_FILE_INFORMATION info;
        if (GetFileType(h) != FILE_TYPE_DISK || !GetFileInformationByHandle(h, &info))
            return false;
        const DWORD notProgram = FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DEVICE |
                                 (last ? FILE_ATTRIBUTE_DIRECTORY : 0);
        if ((info.dwFileAttributes & notProgram) != 0 ||
            (!last && (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0))
            return false;
        if (last)
            program.path = spelled;
    }
    return true;
}

// The program a name stands for, as the device finds it (OsProgramPaths).
bool FindProgram(const wchar_t* text, Program& program)
{
    for (const std::wstring& path : OsProgramPaths(text)) {
        if (OpenProgram(path, program))
            return true;
        for (HANDLE h : program.held)
            CloseHandle(h);
        program.held.clear();
    }
    return false;
}

}  // namespace

int OsCreateProcess(const wchar_t* program, const wchar_t* args, OsProcessInformation* info)
{
    if (info != nullptr)
        *info = OsProcessInformation{nullptr, nullptr, 0, 0};
    // A program being ended starts nothing more.
    if (program == nullptr || program[0] == L'\0' || OsTerminationRequested())
        return 0;
    Program found;
    if (!FindProgram(program, found))
        return 0;
    // The program's own command line: its quoted path, then the argument
    // text as given (a Windows program splits it itself, as on the device).
    std::wstring commandLine = L"\"" + found.path + L"\"";
    if (args != nullptr && args[0] != L'\0')
        commandLine += L" " + std::wstring(args);
    std::vector<wchar_t> line(commandLine.begin(), commandLine.end());
    line.push_back(0);
    const std::wstring folder = OsWin32RootFs();
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION started{};
    if (!CreateProcessW(found.path.c_str(), line.data(), nullptr, nullptr, FALSE,
                        DETACHED_PROCESS | CREATE_NEW_PROCESS_GROUP, nullptr, folder.c_str(), &startup, &started))
        return 0;
    if (info == nullptr) {
        CloseHandle(started.hProcess);
        CloseHandle(started.hThread);
        return 1;
    }
    auto* process = new ProcessObject;
    process->handle = started.hProcess;
    auto* thread = new ProcessObject;
    thread->handle = started.hThread;
    info->process = OsHandleFor(process);
    info->thread = OsHandleFor(thread);
    info->processId = started.dwProcessId;
    info->threadId = started.dwThreadId;
    return 1;
}
