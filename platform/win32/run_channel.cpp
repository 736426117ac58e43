// The run report's channel on Win32 (see run_channel.h).
#include "platform/win32/run_channel.h"

#include <windows.h>

#include <cstdint>
#include <cwchar>
#include <string>

#include "platform/common/run_report.h"
#include "platform/host/text.h"

namespace {

// The handle whose number the environment variable name holds (drive.exe
// hands its pipes down so), or nullptr.
HANDLE HandleFrom(const wchar_t* name)
{
    wchar_t text[32] = L"";
    DWORD n = GetEnvironmentVariableW(name, text, 32);
    if (n == 0 || n >= 32)
        return nullptr;
    return reinterpret_cast<HANDLE>(static_cast<uintptr_t>(wcstoull(text, nullptr, 10)));
}

// drive's report pipe, or nullptr when the run is not drive's.
HANDLE Report()
{
    static const HANDLE report = HandleFrom(L"DRIVE_REPORT");
    return report;
}

void Say(char mark, const char* text, size_t n)
{
    HANDLE h = Report() ? Report() : GetStdHandle(STD_ERROR_HANDLE);
    if (h == nullptr || h == INVALID_HANDLE_VALUE || n == 0)
        return;
    std::string record;
    if (Report())
        record += mark;
    record.append(text, n);
    DWORD wrote = 0;
    WriteFile(h, record.data(), static_cast<DWORD>(record.size()), &wrote, nullptr);
}

}  // namespace

void RunWin32NoteSystemReason(unsigned long error)
{
    wchar_t* text = nullptr;
    DWORD n = FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                                 FORMAT_MESSAGE_IGNORE_INSERTS,
                             nullptr, error, 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
    std::wstring reason(text ? text : L"", n);
    if (text)
        LocalFree(text);
    while (!reason.empty() && (reason.back() == L'\n' || reason.back() == L'\r' || reason.back() == L' '))
        reason.pop_back();
    if (!reason.empty()) {
        char utf8[1024];
        OsNarrowUtf8(reason.c_str(), utf8, sizeof utf8);
        RunNoteReason(utf8);
    }
}

void RunWin32SayReason()
{
    std::string line = RunReasonLine();
    Say('?', line.data(), line.size());
}

void RunWin32SayWait(const char* text)
{
    if (text == nullptr && !Report())
        return;
    std::string line = text != nullptr ? std::string(text) : std::string();
    line += '\n';
    Say('~', line.data(), line.size());
}

bool RunWin32WaitCancelled()
{
    static const HANDLE cancel = HandleFrom(L"DRIVE_CANCEL");
    return cancel != nullptr && WaitForSingleObject(cancel, 0) == WAIT_OBJECT_0;
}

void RunWin32SayClosing()
{
    char text[1024];
    Say('!', text, RunTakeClosing(text, sizeof text));
}
