// Files role of the Win32 backend: the device's file system is the board's
// rootfs folder. Components are opened one by one without following
// reparse points, each folder held (no delete sharing) until the next is
// open, so the file opened is the one inside the root.
#include "platform/files.h"

#include <windows.h>

#include <algorithm>
#include <cstring>
#include <cwchar>
#include <string>
#include <vector>

#include "board/board.h"
#include "board/win32/include/board_posix.h"
#include "platform/common/device_path.h"
#include "platform/common/open_file.h"
#include "platform/common/run_report.h"
#include "platform/host/files.h"
#include "platform/host/text.h"
#include "platform/win32/run_channel.h"
#include "platform/win32/device_files.h"
#include "platform/win32/object.h"

namespace {

// Whether a is b (upper-case ASCII), letter case ignored as Windows
// ignores it in reserved names: in ASCII only.
bool SameIgnoringCase(const std::wstring& a, const wchar_t* b)
{
    if (a.size() != wcslen(b))
        return false;
    for (size_t i = 0; i < a.size(); ++i) {
        const wchar_t c = a[i] >= L'a' && a[i] <= L'z' ? static_cast<wchar_t>(a[i] - (L'a' - L'A')) : a[i];
        if (c != b[i])
            return false;
    }
    return true;
}

bool SafeComponent(const std::wstring& name)
{
    if (name.empty() || name.size() > 255)
        return false;
    for (wchar_t c : name) {
        if (c < 0x20 || c == L':' || c == L'*' || c == L'?' || c == L'"' || c == L'<' || c == L'>' || c == L'|')
            return false;
    }
    const wchar_t last = name.back();
    if (last == L'.' || last == L' ')
        return false;   // Windows would strip it (and "..." is no name)
    // Reserved device names, with or without an extension.
    std::wstring stem = name.substr(0, name.find(L'.'));
    while (!stem.empty() && stem.back() == L' ')
        stem.pop_back();
    static const wchar_t* const kReserved[] = {L"CON", L"PRN", L"AUX", L"NUL", L"CONIN$", L"CONOUT$"};
    for (const wchar_t* r : kReserved)
        if (SameIgnoringCase(stem, r))
            return false;
    if (stem.size() == 4 && (SameIgnoringCase(stem.substr(0, 3), L"COM") || SameIgnoringCase(stem.substr(0, 3), L"LPT")) &&
        ((stem[3] >= L'0' && stem[3] <= L'9') || stem[3] == 0xB9 || stem[3] == 0xB2 || stem[3] == 0xB3))
        return false;
    return true;
}

}  // namespace

bool OsWin32SplitDevicePath(const wchar_t* path, std::vector<std::wstring>& out)
{
    return OsSplitDevicePath(path, out, SafeComponent);
}

std::wstring OsWin32HostWide(const wchar_t* path)
{
    char utf8[4 * OS_MAX_PATH * 4];
    OsNarrowUtf8(path, utf8, sizeof utf8);
    std::wstring wide = board::win32::WidePath(utf8);
    std::replace(wide.begin(), wide.end(), L'/', L'\\');
    return wide;
}

std::wstring OsWin32RootFs()
{
    std::wstring root = board::win32::WidePath(board::RootFs());
    std::replace(root.begin(), root.end(), L'/', L'\\');
    while (root.size() > 3 && root.back() == L'\\')
        root.pop_back();
    return root;
}

std::wstring OsWin32Spelling(const std::wstring& dir, const std::wstring& name)
{
    WIN32_FIND_DATAW fd;
    HANDLE find = FindFirstFileW((dir + L"\\" + name).c_str(), &fd);
    if (find == INVALID_HANDLE_VALUE)
        return std::wstring();
    FindClose(find);
    return fd.cFileName;
}

std::wstring OsWin32FinalPath(HANDLE h)
{
    std::wstring out(MAX_PATH, L'\0');
    for (;;) {
        DWORD n = GetFinalPathNameByHandleW(h, out.data(), static_cast<DWORD>(out.size()), FILE_NAME_NORMALIZED);
        if (n == 0)
            return std::wstring();
        if (n < out.size()) {
            out.resize(n);
            return out;
        }
        out.resize(n + 1);
    }
}

bool OsWin32IsEntryOf(HANDLE entry, const std::wstring& folderFinal, const std::wstring& name)
{
    if (folderFinal.empty())
        return false;
    const std::wstring expected = folderFinal + (folderFinal.back() == L'\\' ? L"" : L"\\") + name;
    const std::wstring final = OsWin32FinalPath(entry);
    return CompareStringOrdinal(final.c_str(), static_cast<int>(final.size()), expected.c_str(),
                                static_cast<int>(expected.size()), TRUE) == CSTR_EQUAL;
}

HANDLE OsWin32OpenBeneath(const std::vector<std::wstring>& parts, size_t count, DWORD access, DWORD share,
                          DWORD disposition, DWORD flags, std::wstring* spelled)
{
    std::wstring path = OsWin32RootFs();
    HANDLE folder = CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (folder == INVALID_HANDLE_VALUE)
        return INVALID_HANDLE_VALUE;
    // Where the folder held really is.
    std::wstring folderFinal = OsWin32FinalPath(folder);
    for (size_t i = 0; i < count; ++i) {
        // The existing spelling of the component (letter case ignored).
        std::wstring name = OsWin32Spelling(path, parts[i]);
        if (name.empty())
            name = parts[i];
        path += L"\\" + name;
        const bool last = i + 1 == count;
        HANDLE next;
        if (last) {
            next = CreateFileW(path.c_str(), access, share, nullptr, disposition,
                               flags | FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS, nullptr);
        } else {
            next = CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                               OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
        }
        // Closes both handles and fails with error.
        auto fail = [&](DWORD error) {
            if (next != INVALID_HANDLE_VALUE)
                CloseHandle(next);
            CloseHandle(folder);
            SetLastError(error);
            return INVALID_HANDLE_VALUE;
        };
        if (next == INVALID_HANDLE_VALUE)
            return fail(GetLastError());
        BY_HANDLE_FILE_INFORMATION info;
        const bool known = GetFileInformationByHandle(next, &info) != 0;
        // Checked on the opened handle: a reparse point, or a file where a
        // folder should be, is refused at every level.
        if (!last && (!known || (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) ||
                      !(info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)))
            return fail(ERROR_PATH_NOT_FOUND);
        if (last && known && (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT))
            return fail(ERROR_CANT_ACCESS_FILE);
        // The opened object must be this very entry of the folder held:
        // Wine follows a Unix link in spite of FILE_FLAG_OPEN_REPARSE_POINT,
        // but the handle's final path then names the target.
        if (GetFileType(next) == FILE_TYPE_DISK && !OsWin32IsEntryOf(next, folderFinal, name))
            return fail(ERROR_CANT_ACCESS_FILE);
        if (!last)
            folderFinal = OsWin32FinalPath(next);
        CloseHandle(folder);
        folder = next;
    }
    if (spelled)
        *spelled = path;
    return folder;
}

namespace {

struct Win32File : OsFileObject {
    HANDLE file = INVALID_HANDLE_VALUE;
    ~Win32File() override
    {
        if (file != INVALID_HANDLE_VALUE)
            CloseHandle(file);
    }
    int64_t ReadOnce(void* buf, uint32_t n) override
    {
        DWORD r = 0;
        if (!ReadFile(file, buf, n, &r, nullptr))
            return GetLastError() == ERROR_HANDLE_EOF ? 0 : -1;
        return r;
    }
    bool SeekTo(uint32_t offset) override
    {
        LARGE_INTEGER to, now;
        to.QuadPart = offset;
        return SetFilePointerEx(file, to, &now, FILE_BEGIN) && now.QuadPart == LONGLONG(offset);
    }
    bool ModificationTime(FileTime* time) override
    {
        // The board's file time is the modification time.
        FILETIME created, accessed, written;
        if (!GetFileTime(file, &created, &accessed, &written))
            return false;
        *time = (static_cast<FileTime>(written.dwHighDateTime) << 32) | written.dwLowDateTime;
        return true;
    }
};

// A regular file on a disk: not a folder, a device, a pipe or a link.
bool PlainFile(HANDLE h)
{
    if (GetFileType(h) != FILE_TYPE_DISK)
        return false;
    BY_HANDLE_FILE_INFORMATION info;
    if (!GetFileInformationByHandle(h, &info))
        return false;
    return !(info.dwFileAttributes &
             (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DEVICE));
}

}  // namespace

HANDLE OsWin32OpenForReading(const wchar_t* path, DWORD flags)
{
    const DWORD share = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
    // A path that starts with '/' is a host path (under Wine the Unix path).
    if (!OsIsDevicePath(path))
        return CreateFileW(OsWin32HostWide(path).c_str(), GENERIC_READ, share, nullptr, OPEN_EXISTING, flags, nullptr);
    std::vector<std::wstring> parts;
    if (!OsWin32SplitDevicePath(path, parts) || parts.empty()) {
        SetLastError(ERROR_INVALID_NAME);
        return INVALID_HANDLE_VALUE;
    }
    return OsWin32OpenBeneath(parts, parts.size(), GENERIC_READ, share, OPEN_EXISTING, flags, nullptr);
}

OsFileObject* OsOpenFileForReading(const wchar_t* path)
{
    HANDLE h = OsWin32OpenForReading(path, 0);
    if (h == INVALID_HANDLE_VALUE) {
        RunWin32NoteSystemReason(GetLastError());
        return nullptr;
    }
    if (!PlainFile(h)) {
        // A folder: what Windows' CreateFileW answers for one opened as a
        // file (ERROR_ACCESS_DENIED). Other kinds go unsaid.
        BY_HANDLE_FILE_INFORMATION info;
        if (GetFileInformationByHandle(h, &info) && (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY))
            RunWin32NoteSystemReason(ERROR_ACCESS_DENIED);
        CloseHandle(h);
        return nullptr;
    }
    RunDropReason();
    auto* file = new Win32File;
    file->file = h;
    return file;
}

int OsHostPath(const wchar_t* path, char* out, size_t cap)
{
    if (path == nullptr || out == nullptr || cap == 0)
        return 0;
    std::string host;
    if (!OsIsDevicePath(path)) {
        char utf8[4 * OS_MAX_PATH * 4];
        OsNarrowUtf8(path, utf8, sizeof utf8);
        host = utf8;
        if (host.empty())
            return 0;
    } else {
        std::vector<std::wstring> parts;
        if (!OsWin32SplitDevicePath(path, parts))
            return 0;
        // The root as Windows names it, then the components as they exist
        // (letter case ignored), '\' separated.
        std::wstring dir = OsWin32RootFs();
        host = board::win32::Utf8(dir);
        bool exists = true;
        for (const std::wstring& part : parts) {
            std::wstring name = exists ? OsWin32Spelling(dir, part) : std::wstring();
            exists = !name.empty();
            if (!exists)
                name = part;
            dir += L"\\" + name;
            host += "\\" + board::win32::Utf8(name);
        }
    }
    if (host.size() + 1 > cap)
        return 0;
    std::memcpy(out, host.c_str(), host.size() + 1);
    return 1;
}
