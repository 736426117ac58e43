// Included first into every test of the Win32 build (-include), and by the
// testing library itself (temporary boards): the few
// POSIX calls the tests use to set up their scenes, on Windows. The tests
// themselves stay the same for both builds. (No <windows.h> here: its
// macros would rename the programs' own names, RegSetValue, FindText...)
#pragma once
#ifdef __cplusplus
#include <fcntl.h>
#include <io.h>
#include <process.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>

// _putenv_s keeps the C library's copy of the environment and the
// process's in step; an empty value removes the variable.
inline int setenv(const char* name, const char* value, int overwrite)
{
    if (!overwrite && std::getenv(name))
        return 0;
    return _putenv_s(name, value) == 0 ? 0 : -1;
}

inline int unsetenv(const char* name)
{
    return _putenv_s(name, "") == 0 ? 0 : -1;
}

inline char* mkdtemp(char* pattern)
{
    const size_t n = std::strlen(pattern);
    if (n < 6)
        return nullptr;
    static unsigned serial = 0;
    for (int attempt = 0; attempt < 1000; ++attempt) {
        unsigned value = unsigned(_getpid()) * 7919u + unsigned(std::time(nullptr)) + ++serial * 104729u;
        for (size_t i = n - 6; i < n; ++i) {
            pattern[i] = "abcdefghijklmnopqrstuvwxyz0123456789"[value % 36];
            value /= 36;
        }
        if (board::mkdir(pattern, 0700) == 0)
            return pattern;
        if (errno != EEXIST)
            return nullptr;
    }
    return nullptr;
}

// A std::filesystem path is wide on Windows.
inline int chmod(const wchar_t* path, int mode)
{
    return _wchmod(path, mode);
}

// The board's shim for what Windows lacks (or has with another signature).
using board::mkdir;
using board::mmap;
using board::munmap;
using board::pread;
using board::pwrite;
#endif
