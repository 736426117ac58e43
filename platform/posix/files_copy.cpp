// File copies and new folders of the POSIX files role. A copy is put into
// its folder through the folder's handle, only while the folder still
// stands where it stood under the root: nothing outside the root is
// written, even by a program that swaps folders for links meanwhile.
#include "platform/files.h"

#include <fcntl.h>
#include <sys/sendfile.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <functional>
#include <string>

#include "platform/common/device_path.h"
#include "platform/posix/device_files.h"
#include "platform/posix/device_tree.h"
#include "platform/posix/kept_folders.h"
#include "platform/posix/object.h"

using device_tree::ChangeInFolder;
using device_tree::Fd;
using device_tree::StillInPlace;
using device_tree::WriteTarget;

namespace {

// Copies in to out from their current positions to the end of in (as it
// was when opened), in the kernel: copy_file_range, or sendfile where that
// cannot (another file system). A few megabytes at a time, so that a
// termination request abandons a long copy at once.
bool CopyData(int in, int out, off_t size)
{
    constexpr size_t kChunk = size_t{8} << 20;
    bool range = true;
    off_t copied = 0;
    for (;;) {
        if (OsTerminationRequested())
            return false;
        const ssize_t n = range ? copy_file_range(in, nullptr, out, nullptr, kChunk, 0)
                                : sendfile(out, in, nullptr, kChunk);
        if (n > 0) {
            copied += n;
            if (copied >= size)
                return true;
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else if (n == 0 && copied >= size) {
            return true;
        } else if (!range) {
            return n == 0;   // 0: the file got shorter meanwhile
        } else {
            range = false;   // not supported here (or a file system that answers 0)
        }
    }
}

std::atomic<unsigned> tempCounter{0};

// Drops the journal record of a temporary name when it goes out of scope,
// by when the temporary itself is gone on every path.
struct RecordDroppedAtEnd {
    const std::string& name;
    ~RecordDroppedAtEnd()
    {
        if (!name.empty())
            copy_journal::Drop(name);
    }
};

// Makes a new temporary in folder with make(name), which fails with EEXIST
// when the name is taken; the name made goes to name, recorded in the
// journal. Temporary names are ".copy-PID-N.tmp", unique within the
// process (the pid is asked each time: a forked child copies under its
// own); O_EXCL or a link that never replaces settles any clash with others.
bool MakeTemporary(int folder, std::string& name, const std::function<bool(const char*)>& make)
{
    for (int attempt = 0; attempt < 100; ++attempt) {
        char buf[64];
        snprintf(buf, sizeof buf, ".copy-%ld-%u.tmp", static_cast<long>(getpid()), tempCounter.fetch_add(1));
        copy_journal::Add(folder, buf);
        if (make(buf)) {
            name = buf;
            return true;
        }
        const int error = errno;
        copy_journal::Drop(buf);
        if (error != EEXIST) {
            errno = error;
            return false;
        }
    }
    return false;
}

// Links the file without a name out into folder as name; never replaces.
// Through its name under /proc: linking the descriptor itself needs a
// privilege that most processes lack.
bool LinkUnnamed(int out, int folder, const char* name)
{
    char self[64];
    snprintf(self, sizeof self, "/proc/self/fd/%d", out);
    return linkat(AT_FDCWD, self, folder, name, AT_SYMLINK_FOLLOW) == 0;
}

// Removes name from folder when it still is our copy: the file open as
// out, or (out closed) the file whose state named is.
void UnlinkIfSame(int folder, const std::string& name, int out, const struct stat* named)
{
    struct stat mine;
    struct stat there;
    if (named != nullptr)
        mine = *named;
    else if (fstat(out, &mine) != 0)
        return;
    if (fstatat(folder, name.c_str(), &there, AT_SYMLINK_NOFOLLOW) == 0 &&
        mine.st_dev == there.st_dev && mine.st_ino == there.st_ino)
        unlinkat(folder, name.c_str(), 0);
}

// Puts the finished copy (the unnamed file out when tempName is empty,
// else the temporary tempName whose state is named) in place of the
// target's leaf, replacing it when replace, only while the target's folder
// stands where it stood (checked before and after; a change to a moved
// folder is undone). The temporary name is gone on every path.
bool CommitCopy(WriteTarget& target, int out, const struct stat* named, std::string tempName,
                bool replace, bool failIfExists)
{
    const int folder = target.kept->fd;
    const std::string& leaf = target.leaf;
    const RecordDroppedAtEnd record{tempName};
    auto dropTemporary = [&] {
        if (!tempName.empty())
            unlinkat(folder, tempName.c_str(), 0);
    };
    if (OsTerminationRequested() || !StillInPlace(target)) {
        dropTemporary();
        return false;
    }
    if (!replace) {
        bool placed = ChangeInFolder(*target.kept, &leaf, [&] {
            if (tempName.empty())
                return LinkUnnamed(out, folder, leaf.c_str());
            // A destination that appeared meanwhile is replaced, as one
            // that was there would have been (unless asked not to).
            unsigned flags = failIfExists ? RENAME_NOREPLACE : 0;
            return renameat2(folder, tempName.c_str(), folder, leaf.c_str(), flags) == 0;
        });
        if (!placed) {
            dropTemporary();
            return false;
        }
        if (!StillInPlace(target)) {
            UnlinkIfSame(folder, leaf, out, named);
            return false;
        }
        return true;
    }
    // A replacement needs a name to rename from.
    if (tempName.empty()) {
        bool linked = ChangeInFolder(*target.kept, nullptr, [&] {
            return MakeTemporary(folder, tempName,
                                 [&](const char* name) { return LinkUnnamed(out, folder, name); });
        });
        if (!linked)
            return false;
    }
    // Exchanged rather than renamed over, so that the old file can be put
    // back should the folder have moved at that very moment.
    bool exchanged = true;
    bool placed = ChangeInFolder(*target.kept, nullptr, [&] {
        if (renameat2(folder, tempName.c_str(), folder, leaf.c_str(), RENAME_EXCHANGE) == 0)
            return true;
        // No exchange on this file system, or the old file went away.
        if (errno != EINVAL && errno != ENOSYS && errno != ENOENT)
            return false;
        exchanged = false;
        return renameat2(folder, tempName.c_str(), folder, leaf.c_str(), 0) == 0;
    });
    if (!placed) {
        dropTemporary();
        return false;
    }
    if (!StillInPlace(target)) {
        if (exchanged) {
            renameat2(folder, tempName.c_str(), folder, leaf.c_str(), RENAME_EXCHANGE);
            UnlinkIfSame(folder, tempName, out, named);
        }
        return false;
    }
    if (exchanged)
        unlinkat(folder, tempName.c_str(), 0);  // the old file
    return true;
}

}  // namespace

int OsCreateDirectory(const wchar_t* path)
{
    WriteTarget target;
    if (OsTerminationRequested() || !device_tree::OpenWriteTarget(path, target))
        return 0;
    // Only in a folder that still stands where it stood under the root.
    if (!StillInPlace(target))
        return 0;
    bool made = ChangeInFolder(*target.kept, &target.leaf, [&] {
        return mkdirat(target.kept->fd, target.leaf.c_str(), 0755) == 0;
    });
    if (made && !StillInPlace(target)) {
        unlinkat(target.kept->fd, target.leaf.c_str(), AT_REMOVEDIR);
        return 0;
    }
    return made ? 1 : 0;
}

int OsCopyFile(const wchar_t* source, const wchar_t* destination, int failIfExists)
{
    // Only a regular file is copied: no symbolic link is followed, and a
    // FIFO or device node is refused without blocking on it. A program
    // being ended copies nothing more.
    if (OsTerminationRequested())
        return 0;
    Fd in(OsPosixOpenPath(source, O_RDONLY | O_NOFOLLOW | O_NONBLOCK));
    if (in.get() < 0)
        return 0;
    struct stat from;
    if (fstat(in.get(), &from) != 0 || !S_ISREG(from.st_mode))
        return 0;

    WriteTarget target;
    if (!device_tree::OpenWriteTarget(destination, target))
        return 0;
    const int folder = target.kept->fd;
    const std::string& leaf = target.leaf;
    const struct stat& existing = target.leafState;
    const bool exists = target.leafExists;
    if (exists && (failIfExists || !S_ISREG(existing.st_mode) || (existing.st_mode & 0222) == 0))
        return 0;  // kept: a folder, a link, a read-only file...

    // Written unnamed where the file system allows it, else under a
    // temporary name, and put in place whole: the destination is the old
    // file or the whole new one. Permission bits (never set-id) and the
    // modification time travel with it.
    const mode_t mode = from.st_mode & 0777;
    static const bool haveFdLinks = access("/proc/self/fd", X_OK) == 0;
    std::string tempName;
    const RecordDroppedAtEnd record{tempName};
    Fd out;
    if (haveFdLinks)
        out.reset(openat(folder, ".", O_TMPFILE | O_WRONLY | O_CLOEXEC, mode));
    if (out.get() < 0) {
        ChangeInFolder(*target.kept, nullptr, [&] {
            return MakeTemporary(folder, tempName, [&](const char* name) {
                out.reset(openat(folder, name, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode));
                return out.get() >= 0;
            });
        });
        if (out.get() < 0)
            return 0;
    }
    // A file without a name goes with its descriptor on every failure.
    bool ok = CopyData(in.get(), out.get(), from.st_size);
    if (ok) {
        // The whole bits: the process's mask may have taken some.
        fchmod(out.get(), mode);
        const timespec times[2] = {from.st_atim, from.st_mtim};
        futimens(out.get(), times);
    }
    struct stat named;
    if (ok && !tempName.empty() && (fstat(out.get(), &named) != 0 || close(out.release()) != 0))
        ok = false;  // the data may not have reached the disk
    if (!ok) {
        if (!tempName.empty())
            unlinkat(folder, tempName.c_str(), 0);
        return 0;
    }
    if (!CommitCopy(target, out.get(), tempName.empty() ? nullptr : &named, tempName, exists,
                    failIfExists != 0))
        return 0;
    if (out.get() >= 0 && close(out.release()) != 0) {
        // The data may not have reached the disk: no half file stays.
        unlinkat(folder, leaf.c_str(), 0);
        return 0;
    }
    return 1;
}
