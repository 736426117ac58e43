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
    std::string taken;
    size_t start = 0;
    for (size_t nl; (nl = g_pending.find('\n', start)) != std::string::npos; start = nl + 1) {
        std::string record = g_pending.substr(start, nl + 1 - start);
        if (record[0] == '!')
            g_closing += record.substr(1);
        else if (record[0] == mark)
            taken += record.substr(1);
    }
    g_pending.erase(0, start);
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
}

void ReportStarted()
{
    if (g_write)
        CloseHandle(g_write);
    g_write = nullptr;
}

std::string WithReasons(std::string question)
{
    std::string reasons = TakeRecords('?');
    if (!reasons.empty())
        question.insert(question.rfind('['), reasons);
    return question;
}

void WriteClosing()
{
    TakeRecords('?');
    if (!g_closing.empty())
        Write(g_closing);
}
