// The board's POSIX calls on the Win32 API (see include/board_posix.h).
#include "board_posix.h"

#include <windows.h>
#include <io.h>
#include <sys/stat.h>
#include <fcntl.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>

#include "platform/common/utf16.h"

namespace board {
namespace win32 {

std::string Utf8(const std::wstring& text)
{
    return utf16::Narrow(text.data(), text.size(), false);
}

namespace {

std::wstring Wide(const std::string& text)
{
    if (text.empty())
        return std::wstring();
    int n = MultiByteToWideChar(CP_UTF8, 0, text.data(), int(text.size()), nullptr, 0);
    std::wstring out(size_t(n > 0 ? n : 0), L'\0');
    if (n > 0)
        MultiByteToWideChar(CP_UTF8, 0, text.data(), int(text.size()), out.data(), n);
    return out;
}

// Wine's call that names a Unix path as Windows sees it (absent on Windows).
typedef wchar_t* (CDECL* DosNameFn)(const char*);
DosNameFn WineDosName()
{
    static DosNameFn fn = [] {
        HMODULE k = GetModuleHandleW(L"kernel32.dll");
        return k ? reinterpret_cast<DosNameFn>(reinterpret_cast<void*>(GetProcAddress(k, "wine_get_dos_file_name")))
                 : nullptr;
    }();
    return fn;
}

int ErrnoFromLastError()
{
    switch (GetLastError()) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_NAME:
    case ERROR_BAD_NETPATH:
    case ERROR_INVALID_DRIVE:
        return ENOENT;
    case ERROR_ACCESS_DENIED:
    case ERROR_WRITE_PROTECT:
        return EACCES;
    case ERROR_ALREADY_EXISTS:
    case ERROR_FILE_EXISTS:
        return EEXIST;
    case ERROR_SHARING_VIOLATION:
    case ERROR_USER_MAPPED_FILE:
        return EBUSY;
    case ERROR_LOCK_VIOLATION:
    case ERROR_IO_PENDING:
        return EWOULDBLOCK;
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL:
        return ENOSPC;
    case ERROR_DIR_NOT_EMPTY:
        return ENOTEMPTY;
    case ERROR_DIRECTORY:
        return ENOTDIR;
    case ERROR_NOT_ENOUGH_MEMORY:
    case ERROR_OUTOFMEMORY:
        return ENOMEM;
    case ERROR_INVALID_HANDLE:
        return EBADF;
    case ERROR_INVALID_PARAMETER:
        return EINVAL;
    case ERROR_CANT_RESOLVE_FILENAME:
        return ELOOP;
    default:
        return EIO;
    }
}

}  // namespace

std::wstring WidePath(const std::string& path)
{
    // "/tmp/board" under Wine: the same folder as on Linux. On Windows a
    // leading '/' is the root of the current drive, as for any program.
    if (path.size() > 1 && path[0] == '/' && path[1] != '/') {
        if (DosNameFn fn = WineDosName()) {
            if (wchar_t* dos = fn(path.c_str())) {
                std::wstring out = dos;
                HeapFree(GetProcessHeap(), 0, dos);
                return out;
            }
        }
    }
    return Wide(path);
}

}  // namespace win32

using win32::ErrnoFromLastError;
using win32::WidePath;

namespace {

// Standard input, output and error in binary mode, before main(): every
// program of the board writes the same bytes as on Linux ("\n", never
// "\r\n"), and reads its answers as they come.
struct BinaryStandardStreams {
    BinaryStandardStreams()
    {
        _setmode(0, _O_BINARY);
        _setmode(1, _O_BINARY);
        _setmode(2, _O_BINARY);
    }
} binaryStandardStreams;

int Fail(int err)
{
    errno = err;
    return -1;
}

int FailLast()
{
    return Fail(ErrnoFromLastError());
}

HANDLE HandleOf(int fd)
{
    intptr_t h = _get_osfhandle(fd);
    return h == -1 ? INVALID_HANDLE_VALUE : reinterpret_cast<HANDLE>(h);
}

// A file time (100 ns since 1601) as seconds and nanoseconds since 1970.
struct ::timespec Timespec(const FILETIME& ft)
{
    const uint64_t t = (uint64_t(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
    const int64_t ns = (int64_t(t) - 116444736000000000LL) * 100;
    struct ::timespec ts;
    ts.tv_sec = time_t(ns / 1000000000);
    ts.tv_nsec = long(ns % 1000000000);
    return ts;
}

// The stat of an open handle.
int StatHandle(HANDLE h, struct stat* st)
{
    std::memset(st, 0, sizeof *st);
    const DWORD type = GetFileType(h);
    if (type == FILE_TYPE_CHAR) {
        st->st_mode = S_IFCHR;
        return 0;
    }
    if (type == FILE_TYPE_PIPE) {
        st->st_mode = S_IFIFO;
        return 0;
    }
    BY_HANDLE_FILE_INFORMATION info;
    if (!GetFileInformationByHandle(h, &info))
        return FailLast();
    st->st_dev = info.dwVolumeSerialNumber;
    st->st_ino = (uint64_t(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
    st->st_size = off_t((uint64_t(info.nFileSizeHigh) << 32) | info.nFileSizeLow);
    st->st_mtim = Timespec(info.ftLastWriteTime);
    if (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT)
        st->st_mode = S_IFLNK;
    else if (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
        st->st_mode = S_IFDIR | 0755;
    else if (info.dwFileAttributes & FILE_ATTRIBUTE_DEVICE)
        st->st_mode = S_IFCHR;
    else
        st->st_mode = S_IFREG | ((info.dwFileAttributes & FILE_ATTRIBUTE_READONLY) ? 0444 : 0644);
    return 0;
}

constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

int StatPath(const char* path, struct stat* st, bool follow)
{
    // Attributes alone cannot tell a FIFO or a device; the handle can.
    HANDLE h = CreateFileW(WidePath(path).c_str(), FILE_READ_ATTRIBUTES, kShareAll, nullptr, OPEN_EXISTING,
                           FILE_FLAG_BACKUP_SEMANTICS | (follow ? 0 : FILE_FLAG_OPEN_REPARSE_POINT), nullptr);
    if (h == INVALID_HANDLE_VALUE)
        return FailLast();
    int rc = StatHandle(h, st);
    CloseHandle(h);
    return rc;
}

// Locks one range of a file: an exclusive or shared LockFileEx, waiting
// or not. 0, or -1 with errno EWOULDBLOCK when another handle holds it.
int LockRange(HANDLE h, uint64_t start, uint64_t length, bool exclusive, bool wait)
{
    OVERLAPPED ov = {};
    ov.Offset = DWORD(start);
    ov.OffsetHigh = DWORD(start >> 32);
    DWORD flags = (exclusive ? LOCKFILE_EXCLUSIVE_LOCK : 0) | (wait ? 0 : LOCKFILE_FAIL_IMMEDIATELY);
    return LockFileEx(h, flags, 0, DWORD(length), DWORD(length >> 32), &ov) ? 0 : FailLast();
}

int UnlockRange(HANDLE h, uint64_t start, uint64_t length)
{
    OVERLAPPED ov = {};
    ov.Offset = DWORD(start);
    ov.OffsetHigh = DWORD(start >> 32);
    if (UnlockFileEx(h, 0, DWORD(length), DWORD(length >> 32), &ov))
        return 0;
    // Not locked: nothing to release, as with F_UNLCK.
    return GetLastError() == ERROR_NOT_LOCKED ? 0 : FailLast();
}

// One ReadFile or WriteFile of at most 1 GB: at the file position, or at
// offset at when at >= 0. The end of a file (or of a pipe's writer) reads
// as 0 bytes.
ssize_t Transfer(int fd, void* buf, size_t n, off_t at, bool writing)
{
    HANDLE h = HandleOf(fd);
    if (h == INVALID_HANDLE_VALUE)
        return Fail(EBADF);
    OVERLAPPED ov = {};
    ov.Offset = DWORD(uint64_t(at));
    ov.OffsetHigh = DWORD(uint64_t(at) >> 32);
    OVERLAPPED* where = at >= 0 ? &ov : nullptr;
    const DWORD chunk = DWORD(n > 0x40000000 ? 0x40000000 : n);
    DWORD done = 0;
    if (writing ? WriteFile(h, buf, chunk, &done, where) : ReadFile(h, buf, chunk, &done, where))
        return ssize_t(done);
    const DWORD err = GetLastError();
    if (!writing && (err == ERROR_HANDLE_EOF || (!where && err == ERROR_BROKEN_PIPE)))
        return 0;
    return FailLast();
}

// flock's lock is one byte far beyond any data: a Windows lock is
// mandatory (it stops reads and writes of its range by other handles), so
// it must cover nothing that is read, and it must not meet the byte ranges
// of the open-file-description locks.
constexpr uint64_t kFlockByte = uint64_t(1) << 62;

}  // namespace

int stat(const char* path, struct stat* st) { return StatPath(path, st, true); }
int lstat(const char* path, struct stat* st) { return StatPath(path, st, false); }

int fstat(int fd, struct stat* st)
{
    HANDLE h = HandleOf(fd);
    if (h == INVALID_HANDLE_VALUE)
        return Fail(EBADF);
    return StatHandle(h, st);
}

int open(const char* path, int flags, int /*mode*/)
{
    DWORD access = GENERIC_READ;
    if (flags & O_WRONLY)
        access = GENERIC_WRITE;
    else if (flags & O_RDWR)
        access = GENERIC_READ | GENERIC_WRITE;
    // Appends: with FILE_APPEND_DATA and no FILE_WRITE_DATA every write goes
    // to the end at once, as with O_APPEND (lines of concurrent writers are
    // never mixed).
    if (flags & O_APPEND)
        access = (access & GENERIC_READ) | FILE_APPEND_DATA | FILE_WRITE_ATTRIBUTES | SYNCHRONIZE;
    DWORD disposition = OPEN_EXISTING;
    if ((flags & O_CREAT) && (flags & O_EXCL))
        disposition = CREATE_NEW;
    else if ((flags & O_CREAT) && (flags & O_TRUNC))
        disposition = CREATE_ALWAYS;
    else if (flags & O_CREAT)
        disposition = OPEN_ALWAYS;
    else if (flags & O_TRUNC)
        disposition = TRUNCATE_EXISTING;
    DWORD attrs = FILE_ATTRIBUTE_NORMAL | FILE_FLAG_BACKUP_SEMANTICS;
    if (flags & O_NOFOLLOW)
        attrs |= FILE_FLAG_OPEN_REPARSE_POINT;
    HANDLE h = CreateFileW(WidePath(path).c_str(), access, kShareAll, nullptr, disposition, attrs, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        return FailLast();
    int crt = _O_BINARY | _O_NOINHERIT;
    if (flags & O_APPEND)
        crt |= _O_APPEND;
    int fd = _open_osfhandle(reinterpret_cast<intptr_t>(h), crt);
    if (fd < 0) {
        CloseHandle(h);
        return Fail(EMFILE);
    }
    return fd;
}

int close(int fd)
{
    return _close(fd) == 0 ? 0 : Fail(EBADF);
}

ssize_t read(int fd, void* buf, size_t n)
{
    return Transfer(fd, buf, n, -1, false);
}

ssize_t write(int fd, const void* buf, size_t n)
{
    return Transfer(fd, const_cast<void*>(buf), n, -1, true);
}

ssize_t pread(int fd, void* buf, size_t n, off_t at)
{
    return at < 0 ? Fail(EINVAL) : Transfer(fd, buf, n, at, false);
}

ssize_t pwrite(int fd, const void* buf, size_t n, off_t at)
{
    return at < 0 ? Fail(EINVAL) : Transfer(fd, const_cast<void*>(buf), n, at, true);
}

int ftruncate(int fd, off_t size)
{
    HANDLE h = HandleOf(fd);
    if (h == INVALID_HANDLE_VALUE)
        return Fail(EBADF);
    FILE_END_OF_FILE_INFO eof;
    eof.EndOfFile.QuadPart = size;
    if (!SetFileInformationByHandle(h, FileEndOfFileInfo, &eof, sizeof eof))
        return FailLast();
    return 0;
}

int posix_fallocate(int, off_t, off_t)
{
    // The callers size the file by writing it.
    return EOPNOTSUPP;
}

int mkdir(const char* path, mode_t)
{
    return CreateDirectoryW(WidePath(path).c_str(), nullptr) ? 0 : FailLast();
}

int unlink(const char* path)
{
    return DeleteFileW(WidePath(path).c_str()) ? 0 : FailLast();
}

int rename(const char* from, const char* to)
{
    // POSIX rename replaces the target; the C runtime's fails when it exists.
    const std::wstring source = WidePath(from), target = WidePath(to);
    if (MoveFileExW(source.c_str(), target.c_str(), MOVEFILE_REPLACE_EXISTING))
        return 0;
    const DWORD err = GetLastError();
    // A target that another program has open (or mapped) cannot be
    // replaced on Windows, even with delete sharing: it is moved aside
    // first (that is allowed), the new file put in its place, and the old
    // one removed (for good once its last user closes it). Readers may
    // find no file for that moment; they take it as a missing file.
    const DWORD attrs = GetFileAttributesW(target.c_str());
    if ((err != ERROR_ACCESS_DENIED && err != ERROR_SHARING_VIOLATION) || attrs == INVALID_FILE_ATTRIBUTES ||
        (attrs & FILE_ATTRIBUTE_DIRECTORY)) {
        SetLastError(err);
        return FailLast();
    }
    static std::atomic<unsigned> serial{0};
    const std::wstring aside = target + L".replaced-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
                               std::to_wstring(serial.fetch_add(1));
    if (!MoveFileExW(target.c_str(), aside.c_str(), 0)) {
        SetLastError(err);
        return FailLast();
    }
    if (!MoveFileExW(source.c_str(), target.c_str(), 0)) {
        const DWORD failed = GetLastError();
        MoveFileExW(aside.c_str(), target.c_str(), 0);   // the old file back
        SetLastError(failed);
        return FailLast();
    }
    if (!DeleteFileW(aside.c_str()))
        MoveFileExW(aside.c_str(), nullptr, MOVEFILE_DELAY_UNTIL_REBOOT);
    return 0;
}

int renameat2(int fromDir, const char* from, int toDir, const char* to, unsigned flags)
{
    if (fromDir != AT_FDCWD || toDir != AT_FDCWD)
        return Fail(EINVAL);
    DWORD how = (flags & RENAME_NOREPLACE) ? 0 : MOVEFILE_REPLACE_EXISTING;
    if (MoveFileExW(WidePath(from).c_str(), WidePath(to).c_str(), how))
        return 0;
    return FailLast();
}

char* realpath(const char* path, char*)
{
    HANDLE h = CreateFileW(WidePath(path).c_str(), FILE_READ_ATTRIBUTES, kShareAll, nullptr, OPEN_EXISTING,
                           FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        FailLast();
        return nullptr;
    }
    wchar_t buf[32768];
    DWORD n = GetFinalPathNameByHandleW(h, buf, DWORD(sizeof buf / sizeof buf[0]), VOLUME_NAME_DOS);
    CloseHandle(h);
    if (n == 0 || n >= sizeof buf / sizeof buf[0]) {
        errno = ENAMETOOLONG;
        return nullptr;
    }
    std::wstring w(buf, n);
    if (w.compare(0, 4, L"\\\\?\\") == 0)
        w.erase(0, 4);
    // '/' separated, so that the board's "folder + '/'" prefixes compare.
    std::string out = win32::Utf8(w);
    for (char& c : out)
        if (c == '\\')
            c = '/';
    char* copy = static_cast<char*>(std::malloc(out.size() + 1));
    if (copy)
        std::memcpy(copy, out.c_str(), out.size() + 1);
    return copy;
}

int fcntl(int fd, int cmd, struct flock* fl)
{
    HANDLE h = HandleOf(fd);
    if (h == INVALID_HANDLE_VALUE)
        return Fail(EBADF);
    if (!fl || fl->l_whence != SEEK_SET || fl->l_start < 0 || fl->l_len < 0)
        return Fail(EINVAL);
    const uint64_t start = uint64_t(fl->l_start);
    const uint64_t length = fl->l_len == 0 ? (uint64_t(1) << 62) - start : uint64_t(fl->l_len);
    switch (cmd) {
    case F_OFD_SETLK:
        if (fl->l_type == F_UNLCK)
            return UnlockRange(h, start, length);
        return LockRange(h, start, length, fl->l_type == F_WRLCK, false);
    case F_OFD_GETLK:
        // Whether the lock could be taken: try it, and give it back.
        if (LockRange(h, start, length, fl->l_type == F_WRLCK, false) == 0) {
            UnlockRange(h, start, length);
            fl->l_type = F_UNLCK;
        } else {
            if (errno != EWOULDBLOCK)
                return -1;
            fl->l_type = F_WRLCK;
            fl->l_pid = -1;
        }
        return 0;
    default:
        return Fail(EINVAL);
    }
}

int flock(int fd, int operation)
{
    HANDLE h = HandleOf(fd);
    if (h == INVALID_HANDLE_VALUE)
        return Fail(EBADF);
    if (operation & LOCK_UN)
        return UnlockRange(h, kFlockByte, 1);
    return LockRange(h, kFlockByte, 1, (operation & LOCK_EX) != 0, (operation & LOCK_NB) == 0);
}

void* mmap(void* addr, size_t length, int prot, int flags, int fd, off_t offset)
{
    HANDLE h = HandleOf(fd);
    if (addr || !(flags & MAP_SHARED) || h == INVALID_HANDLE_VALUE || length == 0 || offset < 0) {
        errno = h == INVALID_HANDLE_VALUE ? EBADF : EINVAL;
        return MAP_FAILED;
    }
    const bool writable = (prot & PROT_WRITE) != 0;
    const uint64_t end = uint64_t(offset) + length;
    HANDLE section = CreateFileMappingW(h, nullptr, writable ? PAGE_READWRITE : PAGE_READONLY, DWORD(end >> 32),
                                        DWORD(end), nullptr);
    if (!section) {
        FailLast();
        return MAP_FAILED;
    }
    void* view = MapViewOfFile(section, writable ? FILE_MAP_WRITE : FILE_MAP_READ, DWORD(uint64_t(offset) >> 32),
                               DWORD(offset), length);
    const int err = view ? 0 : ErrnoFromLastError();
    // The view keeps the section alive.
    CloseHandle(section);
    if (!view) {
        errno = err;
        return MAP_FAILED;
    }
    return view;
}

int munmap(void* addr, size_t)
{
    return UnmapViewOfFile(addr) ? 0 : FailLast();
}

int kill(int pid, int sig)
{
    if (sig != 0)
        return Fail(EINVAL);
    if (pid <= 0)
        return Fail(ESRCH);
    HANDLE p = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, DWORD(pid));
    if (!p)
        return GetLastError() == ERROR_ACCESS_DENIED ? Fail(EPERM) : Fail(ESRCH);
    DWORD code = 0;
    BOOL ok = GetExitCodeProcess(p, &code);
    CloseHandle(p);
    return ok && code == STILL_ACTIVE ? 0 : Fail(ESRCH);
}

}  // namespace board
