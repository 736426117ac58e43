// The board's POSIX calls on Windows, declared in namespace board (where
// the board's unqualified calls find them before the C runtime's) and
// implemented on the Win32 API in board/win32/posix.cpp. Only the Win32
// build puts this folder before the compiler's own headers; its <fcntl.h>,
// <unistd.h>, <sys/stat.h>... wrappers include this file. Files are always
// binary and opened with every sharing mode (a file open elsewhere can
// still be replaced or removed); rename replaces its target, as POSIX
// does; flock and the open-file-description locks become LockFileEx ranges,
// which exclude other Windows handles only (so a board is used by one side
// at a time); paths are UTF-8, and under Wine an absolute Unix path names
// the same folder as on Linux.
#pragma once

#include <pthread.h>
#include <sys/types.h>
#include <time.h>

#include <cstddef>
#include <cstdint>
#include <string>

#ifndef O_CLOEXEC
#define O_CLOEXEC 0x08000000
#endif
#ifndef O_NONBLOCK
#define O_NONBLOCK 0x01000000
#endif
#ifndef O_NOFOLLOW
#define O_NOFOLLOW 0x02000000
#endif

#ifndef S_IFLNK
#define S_IFLNK 0xA000
#endif
#ifndef S_IFSOCK
#define S_IFSOCK 0xC000
#endif
#ifndef S_ISLNK
#define S_ISLNK(m) (((m) & 0xF000) == S_IFLNK)
#endif
#ifndef S_ISSOCK
#define S_ISSOCK(m) (((m) & 0xF000) == S_IFSOCK)
#endif

#define LOCK_SH 1
#define LOCK_EX 2
#define LOCK_NB 4
#define LOCK_UN 8

#define F_OFD_GETLK 36
#define F_OFD_SETLK 37
#define F_RDLCK 0
#define F_WRLCK 1
#define F_UNLCK 2

#define PROT_READ 1
#define PROT_WRITE 2
#define MAP_SHARED 1
#define MAP_FAILED ((void*)-1)

#define AT_FDCWD (-100)
#define RENAME_NOREPLACE 1

#undef pthread_atfork

namespace board {

typedef uint64_t dev_t;
typedef uint64_t ino_t;
typedef int64_t off_t;
typedef uint32_t mode_t;

struct stat {
    dev_t st_dev;
    ino_t st_ino;
    mode_t st_mode;
    off_t st_size;
    struct ::timespec st_mtim;
};

int stat(const char* path, struct stat* st);
int lstat(const char* path, struct stat* st);
int fstat(int fd, struct stat* st);

int open(const char* path, int flags, int mode = 0);
int close(int fd);
ssize_t read(int fd, void* buf, size_t n);
ssize_t write(int fd, const void* buf, size_t n);
ssize_t pread(int fd, void* buf, size_t n, off_t at);
ssize_t pwrite(int fd, const void* buf, size_t n, off_t at);
int ftruncate(int fd, off_t size);
int posix_fallocate(int fd, off_t offset, off_t size);

int mkdir(const char* path, mode_t mode);
int unlink(const char* path);
int rename(const char* from, const char* to);
int renameat2(int fromDir, const char* from, int toDir, const char* to, unsigned flags);
// The result is always allocated (the board passes no buffer).
char* realpath(const char* path, char* resolved);

struct flock {
    short l_type;
    short l_whence;
    off_t l_start;
    off_t l_len;
    int l_pid;
};
int fcntl(int fd, int cmd, struct flock* lock);
int flock(int fd, int operation);

void* mmap(void* addr, size_t length, int prot, int flags, int fd, off_t offset);
int munmap(void* addr, size_t length);

// Signal 0 only: whether the process exists.
int kill(int pid, int sig);
// There is no fork on Windows: nothing to prepare.
inline int pthread_atfork(void (*)(), void (*)(), void (*)()) { return 0; }

namespace win32 {
// The Windows name of a board path (UTF-8, '/' or '\' separated): UTF-16,
// an absolute Unix path converted under Wine.
std::wstring WidePath(const std::string& path);
// The UTF-8 of a Windows name.
std::string Utf8(const std::wstring& text);
}  // namespace win32

}  // namespace board
