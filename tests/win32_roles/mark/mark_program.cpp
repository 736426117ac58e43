// A program for the tests of programs started under Wine: appends one
// record to the file named by MARK_FILE (else marks.txt in its current
// folder): its own file name, its process id, the folder it runs in, then
// each argument as Windows' runtime splits the command line, one a line
// between brackets. The record goes out in one write, so that programs
// running side by side never interleave their lines.
#include <windows.h>

#include <string>

namespace {

std::string Utf8(const std::wstring& text)
{
    int n = WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, nullptr, 0, nullptr, nullptr);
    std::string out(n > 0 ? static_cast<size_t>(n) : 1u, '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, out.data(), n, nullptr, nullptr);
    out.resize(out.size() - 1);
    return out;
}

}  // namespace

int wmain(int argc, wchar_t** argv)
{
    wchar_t self[MAX_PATH];
    DWORD n = GetModuleFileNameW(nullptr, self, MAX_PATH);
    std::wstring name(self, n);
    name = name.substr(name.find_last_of(L"\\/") + 1);
    wchar_t folder[MAX_PATH];
    DWORD f = GetCurrentDirectoryW(MAX_PATH, folder);
    FILETIME created, exited, kernel, user;
    GetProcessTimes(GetCurrentProcess(), &created, &exited, &kernel, &user);
    const unsigned long long createdAt =
        (static_cast<unsigned long long>(created.dwHighDateTime) << 32) | created.dwLowDateTime;
    std::string record = Utf8(name) + " " + std::to_string(GetCurrentProcessId()) + " " +
                         Utf8(std::wstring(folder, f)) + " " + std::to_string(createdAt) + "\n";
    for (int i = 1; i < argc; ++i)
        record += "[" + Utf8(argv[i]) + "]\n";
    wchar_t mark[MAX_PATH];
    DWORD m = GetEnvironmentVariableW(L"MARK_FILE", mark, MAX_PATH);
    const wchar_t* path = m > 0 && m < MAX_PATH ? mark : L"marks.txt";
    HANDLE h = CreateFileW(path, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS, 0,
                           nullptr);
    if (h == INVALID_HANDLE_VALUE)
        return 1;
    DWORD wrote = 0;
    WriteFile(h, record.data(), static_cast<DWORD>(record.size()), &wrote, nullptr);
    CloseHandle(h);
    return 0;
}
