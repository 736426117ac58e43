// The files role of the POSIX backend: opening and reading files, folder
// searches and host paths (copies and new folders: files_copy.cpp).
#include "platform/files.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <memory>
#include <string>

#include "platform/common/device_path.h"
#include "platform/common/run_report.h"
#include "platform/common/file_search.h"
#include "platform/common/open_file.h"
#include "platform/host/files.h"
#include "platform/posix/device_files.h"
#include "platform/posix/device_tree.h"
#include "platform/posix/kept_folders.h"
#include "platform/posix/object.h"

namespace {

struct PosixFile : OsFileObject {
    int fd = -1;
    ~PosixFile() override
    {
        if (fd >= 0)
            close(fd);
    }
    int64_t ReadOnce(void* buf, uint32_t n) override
    {
        for (;;) {
            ssize_t r = read(fd, buf, n);
            if (r >= 0 || errno != EINTR)
                return r;
        }
    }
    bool SeekTo(uint32_t offset) override
    {
        return lseek(fd, static_cast<off_t>(offset), SEEK_SET) == static_cast<off_t>(offset);
    }
    bool ModificationTime(FileTime* time) override
    {
        struct stat st;
        if (fstat(fd, &st) != 0)
            return false;
        constexpr int64_t kSecondsFrom1601To1970 = 11644473600LL;
        int64_t seconds = static_cast<int64_t>(st.st_mtim.tv_sec) + kSecondsFrom1601To1970;
        if (seconds < 0)
            return false;  // before 1601: no file time
        *time = static_cast<FileTime>(seconds) * 10000000u +
                static_cast<FileTime>(st.st_mtim.tv_nsec) / 100u;
        return true;
    }
};

// Searches open now. Once the last one ends the kept folders are let go,
// so a program holds no more descriptors after a walk than before it.
std::atomic<int> openSearches{0};

struct PosixSearch : OsSearchObject {
    PosixSearch() { openSearches.fetch_add(1); }
    ~PosixSearch() override
    {
        if (openSearches.fetch_sub(1) == 1)
            device_tree::ReleaseKeptFolders();
    }
};

uint32_t AttributesOf(const struct stat& st)
{
    if (S_ISDIR(st.st_mode))
        return OS_FILE_ATTRIBUTE_DIRECTORY;
    if (S_ISLNK(st.st_mode))
        return OS_FILE_ATTRIBUTE_REPARSE_POINT;
    if (!S_ISREG(st.st_mode))
        return OS_FILE_ATTRIBUTE_DEVICE;
    uint32_t attributes = OS_FILE_ATTRIBUTE_ARCHIVE;
    if ((st.st_mode & 0222) == 0)
        attributes |= OS_FILE_ATTRIBUTE_READONLY;
    return attributes;
}

}  // namespace

OsFileObject* OsOpenFileForReading(const wchar_t* path)
{
    // O_NONBLOCK so that a FIFO cannot hang the open; it is refused below.
    int fd = OsPosixOpenPath(path, O_RDONLY | O_NONBLOCK);
    if (fd < 0) {
        RunNoteReason(std::strerror(errno));
        return nullptr;
    }
    struct stat st {};
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        // A folder is named as the system names it; other kinds go unsaid.
        if (S_ISDIR(st.st_mode))
            RunNoteReason(std::strerror(EISDIR));
        close(fd);
        return nullptr;
    }
    RunDropReason();
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    auto* file = new PosixFile;
    file->fd = fd;
    return file;
}

Handle OsFindFirstFile(const wchar_t* pattern, OsFindData* data)
{
    // A program being ended finds nothing more.
    if (pattern == nullptr || data == nullptr || OsTerminationRequested())
        return OS_INVALID_HANDLE;
    std::wstring folder;
    std::wstring wildcard;
    if (!OsSplitSearchPattern(pattern, folder, wildcard))
        return OS_INVALID_HANDLE;
    DIR* d = nullptr;
    int fd = OsPosixOpenPath(folder.c_str(), O_RDONLY | O_DIRECTORY);
    if (fd >= 0 && (d = fdopendir(fd)) == nullptr)
        close(fd);
    if (d == nullptr)
        return OS_INVALID_HANDLE;
    auto search = std::make_unique<PosixSearch>();
    while (dirent* e = readdir(d)) {
        if (strcmp(e->d_name, ".") == 0 || strcmp(e->d_name, "..") == 0)
            continue;
        std::wstring name = device_tree::WidenHostName(e->d_name);
        if (name.size() >= OS_MAX_PATH || !OsWildcardMatch(wildcard.c_str(), name.c_str()))
            continue;
        struct stat st;
        if (fstatat(dirfd(d), e->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0)
            continue;  // gone meanwhile
        search->entries.push_back({AttributesOf(st), std::move(name)});
    }
    closedir(d);
    if (!search->Fill(data))
        return OS_INVALID_HANDLE;
    return OsHandleFor(search.release());
}

int OsHostPath(const wchar_t* path, char* out, size_t cap)
{
    std::string host;
    if (out == nullptr || !device_tree::HostPath(path, host) || host.size() + 1 > cap)
        return 0;
    memcpy(out, host.c_str(), host.size() + 1);
    return 1;
}
