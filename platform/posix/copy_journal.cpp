// The journal of a copy's named temporaries and its clean-up (device_files.h).
#include "platform/posix/device_files.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "board/board.h"
#include "board/volumes.h"
#include "platform/posix/kept_folders.h"
#include "platform/posix/object.h"

namespace {

std::string JournalFolder()
{
    return board::Dir() + "/.copies";
}

// One temporary left: the folder it is in, and its name.
struct Left {
    unsigned long long dev;
    unsigned long long ino;
    std::string name;
    bool operator<(const Left& o) const
    {
        return std::tie(dev, ino, name) < std::tie(o.dev, o.ino, o.name);
    }
};

// Whether name is a record of a process that is gone.
bool RecordOfProcessGone(const char* name)
{
    long pid = 0;
    unsigned n = 0;
    int end = 0;
    if (sscanf(name, ".copy-%ld-%u.tmp%n", &pid, &n, &end) != 2 || name[end] != 0 || pid <= 0)
        return false;
    return pid != static_cast<long>(getpid()) && kill(static_cast<pid_t>(pid), 0) != 0 &&
           errno == ESRCH;
}

// The temporary a record names; false when the record cannot be read.
bool ReadRecord(int journal, const char* name, Left& left)
{
    const int fd = openat(journal, name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return false;
    char text[64];
    const ssize_t n = read(fd, text, sizeof text - 1);
    close(fd);
    if (n <= 0)
        return false;
    text[n] = 0;
    if (sscanf(text, "%llu %llu", &left.dev, &left.ino) != 2)
        return false;
    left.name = name;
    return true;
}

// Walks the folder (a handle, which this takes over) and those below it,
// by handle and without following a link, removing the regular files that
// are temporaries left, until none is left to find.
void RemoveLeftIn(int folder, int depth, std::set<Left>& left)
{
    DIR* d = fdopendir(folder);
    if (d == nullptr) {
        close(folder);
        return;
    }
    struct stat here;
    if (fstat(dirfd(d), &here) != 0) {
        closedir(d);
        return;
    }
    std::vector<std::string> folders;
    while (dirent* e = readdir(d)) {
        if (strcmp(e->d_name, ".") == 0 || strcmp(e->d_name, "..") == 0)
            continue;
        struct stat st;
        if (fstatat(dirfd(d), e->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0)
            continue;
        // Mounted volumes are only ever read: nothing of ours is there.
        if (S_ISDIR(st.st_mode) && !(depth == 0 && board::IsVolumeFolder(e->d_name))) {
            folders.push_back(e->d_name);
            continue;
        }
        const auto found = left.find({here.st_dev, here.st_ino, e->d_name});
        if (S_ISREG(st.st_mode) && found != left.end()) {
            unlinkat(dirfd(d), e->d_name, 0);
            left.erase(found);
        }
    }
    for (const std::string& name : folders) {
        if (left.empty() || depth >= 256 || OsTerminationRequested())
            break;
        int next = openat(dirfd(d), name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (next >= 0)
            RemoveLeftIn(next, depth + 1, left);
    }
    closedir(d);
}

}  // namespace

namespace copy_journal {

void Add(int folder, const std::string& name)
{
    struct stat st;
    if (fstat(folder, &st) != 0)
        return;
    const std::string journal = JournalFolder();
    const std::string path = journal + "/" + name;
    const int flags = O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC;
    int fd = open(path.c_str(), flags, 0644);
    if (fd < 0 && errno == ENOENT && (mkdir(journal.c_str(), 0755) == 0 || errno == EEXIST))
        fd = open(path.c_str(), flags, 0644);
    if (fd < 0)
        return;
    char text[64];
    const int n = snprintf(text, sizeof text, "%llu %llu\n", static_cast<unsigned long long>(st.st_dev),
                           static_cast<unsigned long long>(st.st_ino));
    ssize_t written = write(fd, text, static_cast<size_t>(n));
    (void)written;
    close(fd);
}

void Drop(const std::string& name)
{
    unlink((JournalFolder() + "/" + name).c_str());
}

}  // namespace copy_journal

void OsPosixRemoveStaleCopies()
{
    DIR* journal = opendir(JournalFolder().c_str());
    if (journal == nullptr)
        return;
    std::set<Left> left;
    std::vector<std::string> records;
    while (dirent* e = readdir(journal)) {
        if (!RecordOfProcessGone(e->d_name))
            continue;
        records.push_back(e->d_name);
        Left one;
        if (ReadRecord(dirfd(journal), e->d_name, one))
            left.insert(one);
    }
    const std::shared_ptr<device_tree::KeptFolder> root = left.empty() ? nullptr : device_tree::RootFolder();
    const int folder = root ? openat(root->fd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC) : -1;
    if (folder >= 0)
        RemoveLeftIn(folder, 0, left);
    // A walk cut short leaves the records for the next start.
    if (!OsTerminationRequested()) {
        for (const std::string& name : records)
            unlinkat(dirfd(journal), name.c_str(), 0);
    }
    closedir(journal);
}
