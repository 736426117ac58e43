// The program's report to drive (see platform/win32/run_channel.h): a pipe
// whose write end the program inherits, named to it by DRIVE_REPORT. The
// program writes a record before the box it belongs to is created, and its
// closing line before it ends, so what a box or the end finds in the pipe
// is all there is to take: it is read without waiting.
#include <string>

#include "tools/win32/drive.h"

namespace {

HANDLE g_read = nullptr, g_write = nullptr;
std::string g_pending;   // records read, not yet taken
std::string g_closing;
// Set by drive when Ctrl-C comes while the program says that it waits for
// the flash: the wait is in front then, and gives up (the program's
// DRIVE_CANCEL names it).
HANDLE g_cancel = nullptr;
bool g_waiting = false;   // a wait said, and not yet ended

// Reads what the pipe holds now, and splits off the closing line.
std::string TakeRecords(char mark)
{
    for (;;) {
        DWORD ready = 0;
        if (!g_read || !PeekNamedPipe(g_read, nullptr, 0, nullptr, &ready, nullptr) || ready == 0)
            break;
        std::string chunk(ready, '\0');
        DWORD got = 0;
        if (!ReadFile(g_read, chunk.data(), ready, &got, nullptr) || got == 0)
            break;
        g_pending.append(chunk.data(), got);
    }
    // The closing line is kept for the end, records of another kind for
    // whoever takes them.
    std::string taken, others;
    size_t start = 0;
    for (size_t nl; (nl = g_pending.find('\n', start)) != std::string::npos; start = nl + 1) {
        std::string record = g_pending.substr(start, nl + 1 - start);
        if (record[0] == '!')
            g_closing += record.substr(1);
        else if (record[0] == mark)
            taken += record.substr(1);
        else
            others += record;
    }
    g_pending = others + g_pending.substr(start);
    return taken;
}

}  // namespace

void StartReport()
{
    SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
    if (!CreatePipe(&g_read, &g_write, &inherit, 1 << 16)) {
        g_read = g_write = nullptr;
        return;
    }
    SetHandleInformation(g_read, HANDLE_FLAG_INHERIT, 0);
    SetEnvironmentVariableW(L"DRIVE_REPORT",
                            std::to_wstring(reinterpret_cast<uintptr_t>(g_write)).c_str());
    g_cancel = CreateEventW(&inherit, TRUE, FALSE, nullptr);
    if (g_cancel)
        SetEnvironmentVariableW(L"DRIVE_CANCEL", std::to_wstring(reinterpret_cast<uintptr_t>(g_cancel)).c_str());
}

void WriteNotices()
{
    // '~' says a wait, a '~' record with nothing after it ends it.
    std::string said = TakeRecords('~');
    for (size_t start = 0, nl; (nl = said.find('\n', start)) != std::string::npos; start = nl + 1) {
        g_waiting = nl > start;
        if (g_waiting)
            Write(said.substr(start, nl + 1 - start));
    }
}

bool CancelWait()
{
    WriteNotices();
    if (!g_waiting || !g_cancel)
        return false;
    SetEvent(g_cancel);
    return true;
}

void ReportStarted()
{
    if (g_write)
        CloseHandle(g_write);
    g_write = nullptr;
}

std::string WithReasons(std::string question)
{
    WriteNotices();
    std::string reasons = TakeRecords('?');
    if (!reasons.empty())
        question.insert(question.rfind('['), reasons);
    return question;
}

void WriteClosing()
{
    WriteNotices();
    TakeRecords('?');
    if (!g_closing.empty())
        Write(g_closing);
}
