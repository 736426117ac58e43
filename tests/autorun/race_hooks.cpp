// The wrapped calls of race_hooks.h.
#include "tests/autorun/race_hooks.h"

#include <fcntl.h>
#include <unistd.h>

#include "platform/files.h"

namespace race_hooks {

std::function<void(const std::wstring&)> beforeCreateDirectory;
std::function<void(const std::wstring&)> beforeCopyFile;
std::function<void()> beforeCopyData;
std::function<void()> beforeLink;
std::function<void(int)> afterLink;
std::function<void()> beforeFork;
int forks = 0;

namespace {
// Hooks act in the process that set them only: a forked child (a program
// start) must run its own course untouched.
pid_t owner = getpid();
bool Mine()
{
    return getpid() == owner;
}
}  // namespace

void Clear()
{
    owner = getpid();
    beforeCreateDirectory = nullptr;
    beforeCopyFile = nullptr;
    beforeCopyData = nullptr;
    beforeLink = nullptr;
    afterLink = nullptr;
    beforeFork = nullptr;
    forks = 0;
}

}  // namespace race_hooks

using namespace race_hooks;

// The platform's calls are C++ functions: they are wrapped by their
// mangled names (OsCreateDirectory(const wchar_t*) and
// OsCopyFile(const wchar_t*, const wchar_t*, int)).
extern "C" {

int __real__Z17OsCreateDirectoryPKw(const wchar_t* path);
int __wrap__Z17OsCreateDirectoryPKw(const wchar_t* path)
{
    if (beforeCreateDirectory && Mine()) beforeCreateDirectory(path);
    return __real__Z17OsCreateDirectoryPKw(path);
}

int __real__Z10OsCopyFilePKwS0_i(const wchar_t* source, const wchar_t* destination,
                                 int failIfExists);
int __wrap__Z10OsCopyFilePKwS0_i(const wchar_t* source, const wchar_t* destination,
                                 int failIfExists)
{
    if (beforeCopyFile && Mine()) beforeCopyFile(source);
    return __real__Z10OsCopyFilePKwS0_i(source, destination, failIfExists);
}

ssize_t __real_copy_file_range(int in, off_t* inOffset, int out, off_t* outOffset, size_t n,
                               unsigned flags);
ssize_t __wrap_copy_file_range(int in, off_t* inOffset, int out, off_t* outOffset, size_t n,
                               unsigned flags)
{
    if (beforeCopyData && Mine()) beforeCopyData();
    return __real_copy_file_range(in, inOffset, out, outOffset, n, flags);
}

int __real_linkat(int fromFolder, const char* from, int toFolder, const char* to, int flags);
int __wrap_linkat(int fromFolder, const char* from, int toFolder, const char* to, int flags)
{
    if (beforeLink && Mine()) beforeLink();
    const int result = __real_linkat(fromFolder, from, toFolder, to, flags);
    if (afterLink && Mine()) afterLink(result);
    return result;
}

pid_t __real_fork();
pid_t __wrap_fork()
{
    if (beforeFork && Mine()) {
        ++forks;
        beforeFork();
    }
    return __real_fork();
}

}  // extern "C"
