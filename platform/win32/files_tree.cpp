// Folder searches, folders and file copies of the Win32 backend.
//
// Folders are opened beneath the root without following reparse points
// (device_files.h). What an entry is comes from the entry opened itself,
// never from the listing's record (Wine's says 0x20 for a FIFO and for a
// Unix link). A copy is written under a temporary name and moved into
// place whole while its folder is held open without delete sharing (Wine
// does not hold a Linux program to that sharing). After a termination
// request every call here refuses.
#include <windows.h>

#include <cwchar>
#include <memory>
#include <string>
#include <vector>

#include "platform/files.h"
#include "platform/common/device_path.h"
#include "platform/common/file_search.h"
#include "platform/win32/device_files.h"
#include "platform/win32/object.h"

namespace {

struct Held {
    HANDLE h = INVALID_HANDLE_VALUE;
    Held() = default;
    explicit Held(HANDLE handle) : h(handle) {}
    Held(const Held&) = delete;
    Held& operator=(const Held&) = delete;
    ~Held()
    {
        if (h != INVALID_HANDLE_VALUE)
            CloseHandle(h);
    }
    bool ok() const { return h != INVALID_HANDLE_VALUE; }
};

// A folder held open (no delete sharing) and the Windows path it was
// opened by.
bool OpenFolder(const std::wstring& path, DWORD access, Held& folder, std::wstring& spelled)
{
    HANDLE h;
    if (OsIsDevicePath(path.c_str())) {
        std::vector<std::wstring> parts;
        if (!OsWin32SplitDevicePath(path.c_str(), parts))
            return false;
        h = OsWin32OpenBeneath(parts, parts.size(), access, FILE_SHARE_READ | FILE_SHARE_WRITE, OPEN_EXISTING,
                               FILE_FLAG_BACKUP_SEMANTICS, &spelled);
        if (parts.empty() && h != INVALID_HANDLE_VALUE) {
            // The root itself: opened for attributes only; again as asked.
            CloseHandle(h);
            h = CreateFileW(spelled.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                            FILE_FLAG_BACKUP_SEMANTICS, nullptr);
        }
    } else {
        if (path.empty())
            return false;
        spelled = OsWin32HostWide(path.c_str());
        h = CreateFileW(spelled.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                        FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    }
    if (h == INVALID_HANDLE_VALUE)
        return false;
    folder.h = h;
    BY_HANDLE_FILE_INFORMATION info;
    return GetFileType(h) == FILE_TYPE_DISK && GetFileInformationByHandle(h, &info) &&
           (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0 &&
           (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0;
}

// What the entry name of a folder is, from the entry opened itself (folder
// is held open at spelled; folderFinal is its final path).
uint32_t EntryAttributes(const std::wstring& spelled, const std::wstring& folderFinal, const std::wstring& name)
{
    Held entry(CreateFileW((spelled + L"\\" + name).c_str(), FILE_READ_ATTRIBUTES,
                           FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                           FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    if (!entry.ok())
        return 0;   // gone meanwhile, or (Wine) a link that leads nowhere: skipped
    if (GetFileType(entry.h) != FILE_TYPE_DISK)
        return OS_FILE_ATTRIBUTE_DEVICE;
    BY_HANDLE_FILE_INFORMATION info;
    if (!GetFileInformationByHandle(entry.h, &info))
        return OS_FILE_ATTRIBUTE_DEVICE;
    if ((info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 ||
        !OsWin32IsEntryOf(entry.h, folderFinal, name))
        return OS_FILE_ATTRIBUTE_REPARSE_POINT;
    if ((info.dwFileAttributes & FILE_ATTRIBUTE_DEVICE) != 0)
        return OS_FILE_ATTRIBUTE_DEVICE;
    if ((info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0)
        return OS_FILE_ATTRIBUTE_DIRECTORY;
    uint32_t attributes = OS_FILE_ATTRIBUTE_ARCHIVE;
    if ((info.dwFileAttributes & FILE_ATTRIBUTE_READONLY) != 0)
        attributes |= OS_FILE_ATTRIBUTE_READONLY;
    return attributes;
}

// The folder that is to receive a device path's leaf, held open, and the
// leaf's Windows path (its existing spelling, letter case ignored).
struct WriteTarget {
    Held folder;
    std::wstring folderPath;
    std::wstring leafPath;
    bool exists = false;
};

bool OpenWriteTarget(const wchar_t* path, WriteTarget& target)
{
    std::vector<std::wstring> parts;
    if (!OsWin32SplitDevicePath(path, parts) || parts.empty())
        return false;
    const std::wstring& leaf = parts.back();
    std::wstring parent = L"\\";
    for (size_t i = 0; i + 1 < parts.size(); ++i)
        parent += (i == 0 ? L"" : L"\\") + parts[i];
    if (!OpenFolder(parent, FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES, target.folder, target.folderPath))
        return false;
    const std::wstring spelled = OsWin32Spelling(target.folderPath, leaf);
    target.exists = !spelled.empty();
    target.leafPath = target.folderPath + L"\\" + (target.exists ? spelled : leaf);
    return true;
}

// Copies in to out, a megabyte at a time, so that a termination request
// abandons a long copy at once.
bool CopyData(HANDLE in, HANDLE out)
{
    constexpr DWORD kChunk = DWORD{1} << 20;
    std::unique_ptr<char[]> buffer(new char[kChunk]);
    for (;;) {
        if (OsTerminationRequested())
            return false;
        DWORD got = 0;
        if (!ReadFile(in, buffer.get(), kChunk, &got, nullptr))
            return false;
        if (got == 0)
            return true;
        for (DWORD done = 0; done < got;) {
            DWORD wrote = 0;
            if (!WriteFile(out, buffer.get() + done, got - done, &wrote, nullptr) || wrote == 0)
                return false;
            done += wrote;
        }
    }
}

volatile LONG tempCounter = 0;

}  // namespace

Handle OsFindFirstFile(const wchar_t* pattern, OsFindData* data)
{
    if (pattern == nullptr || data == nullptr || OsTerminationRequested())
        return OS_INVALID_HANDLE;
    std::wstring folderName;
    std::wstring wildcard;
    if (!OsSplitSearchPattern(pattern, folderName, wildcard))
        return OS_INVALID_HANDLE;
    Held folder;
    std::wstring spelled;
    if (!OpenFolder(folderName, FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES | SYNCHRONIZE, folder, spelled))
        return OS_INVALID_HANDLE;
    const std::wstring folderFinal = OsWin32FinalPath(folder.h);
    auto search = std::make_unique<OsSearchObject>();
    alignas(8) static thread_local char buffer[64 * 1024];
    FILE_INFO_BY_HANDLE_CLASS kind = FileIdBothDirectoryRestartInfo;
    while (GetFileInformationByHandleEx(folder.h, kind, buffer, sizeof buffer)) {
        kind = FileIdBothDirectoryInfo;
        for (size_t off = 0;;) {
            const auto* e = reinterpret_cast<const FILE_ID_BOTH_DIR_INFO*>(buffer + off);
            std::wstring name(e->FileName, e->FileNameLength / sizeof(wchar_t));
            if (name != L"." && name != L".." && name.size() < OS_MAX_PATH &&
                OsWildcardMatch(wildcard.c_str(), name.c_str())) {
                // The listing's own word counts only where it says more.
                uint32_t attributes = (e->FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT)
                                          ? OS_FILE_ATTRIBUTE_REPARSE_POINT
                                          : EntryAttributes(spelled, folderFinal, name);
                if (attributes != 0)
                    search->entries.push_back({attributes, std::move(name)});
            }
            if (e->NextEntryOffset == 0)
                break;
            off += e->NextEntryOffset;
        }
    }
    if (!search->Fill(data))
        return OS_INVALID_HANDLE;
    return OsHandleFor(search.release());
}

int OsCreateDirectory(const wchar_t* path)
{
    WriteTarget target;
    if (OsTerminationRequested() || !OpenWriteTarget(path, target) || target.exists)
        return 0;
    return CreateDirectoryW(target.leafPath.c_str(), nullptr) ? 1 : 0;
}

int OsCopyFile(const wchar_t* source, const wchar_t* destination, int failIfExists)
{
    // Only a regular file is copied: no link is followed, and a FIFO or a
    // device is refused without reading it.
    if (source == nullptr || source[0] == 0 || OsTerminationRequested())
        return 0;
    Held in(OsWin32OpenForReading(source, FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_SEQUENTIAL_SCAN));
    if (!in.ok() || GetFileType(in.h) != FILE_TYPE_DISK)
        return 0;
    BY_HANDLE_FILE_INFORMATION from;
    if (!GetFileInformationByHandle(in.h, &from) ||
        (from.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DEVICE)))
        return 0;

    WriteTarget target;
    if (!OpenWriteTarget(destination, target))
        return 0;
    // Only a writable regular file is replaced: never a folder, a link, a
    // FIFO or a read-only file.
    if (target.exists &&
        (failIfExists || EntryAttributes(target.folderPath, OsWin32FinalPath(target.folder.h),
                                         target.leafPath.substr(target.folderPath.size() + 1)) !=
                             OS_FILE_ATTRIBUTE_ARCHIVE))
        return 0;

    // Written under a temporary name and put in place whole.
    std::wstring temp;
    Held out;
    for (int attempt = 0; attempt < 100 && !out.ok(); ++attempt) {
        wchar_t name[64];
        swprintf(name, 64, L"\\.copy-%lu-%ld.tmp", static_cast<unsigned long>(GetCurrentProcessId()),
                 static_cast<long>(InterlockedIncrement(&tempCounter)));
        temp = target.folderPath + name;
        out.h = CreateFileW(temp.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (!out.ok() && GetLastError() != ERROR_FILE_EXISTS && GetLastError() != ERROR_ALREADY_EXISTS)
            return 0;
    }
    if (!out.ok())
        return 0;
    bool ok = CopyData(in.h, out.h);
    // The modification time travels with the file.
    if (ok)
        SetFileTime(out.h, nullptr, nullptr, &from.ftLastWriteTime);
    if (!CloseHandle(out.h))
        ok = false;
    out.h = INVALID_HANDLE_VALUE;
    if (ok && !OsTerminationRequested() &&
        MoveFileExW(temp.c_str(), target.leafPath.c_str(), failIfExists ? 0 : MOVEFILE_REPLACE_EXISTING))
        return 1;
    DeleteFileW(temp.c_str());
    return 0;
}
