// The device's file tree on the board's rootfs/ (see device_tree.h).
#include "platform/posix/device_tree.h"

#include <fcntl.h>
#include <linux/openat2.h>
#include <strings.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstring>
#include <mutex>

#include "board/board.h"
#include "board/volumes.h"
#include "platform/common/device_path.h"
#include "platform/posix/device_files.h"
#include "platform/posix/kept_folders.h"

namespace device_tree {

namespace {

// The host name in folder dir that a device component names (see
// MatchName). Empty when there is none.
std::string MatchInFolder(const std::string& dir, const std::wstring& wide)
{
    const int fd = open(dir.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return std::string();
    KeptFolder folder(fd);
    std::string host;
    return MatchName(folder, wide, host, nullptr) ? host : std::string();
}

// Opens relative (host components joined by '/', no "..") beneath the
// folder dir, following no link at any component. -1 (errno set: ELOOP
// for a link on the way). sameMount: no component on another mount.
int OpenBeneath(int dir, const std::string& relative, int flags, bool sameMount)
{
    open_how how{};
    how.flags = static_cast<uint64_t>(flags | O_CLOEXEC | O_NOFOLLOW);
    how.resolve = RESOLVE_BENEATH | RESOLVE_NO_SYMLINKS | RESOLVE_NO_MAGICLINKS;
    if (sameMount)
        how.resolve |= RESOLVE_NO_XDEV;
    const char* name = relative.empty() ? "." : relative.c_str();
    for (int attempt = 0;; ++attempt) {
        long fd = syscall(SYS_openat2, dir, name, &how, sizeof how);
        if (fd >= 0)
            return static_cast<int>(fd);
        // EAGAIN: a rename raced the lookup; trying again is safe (a
        // program that renames without pause only makes the open fail).
        if ((errno != EINTR && errno != EAGAIN) || attempt >= 64)
            return -1;
    }
}

// The host spelling of device components, joined by '/'.
std::string JoinSpelled(const std::vector<std::wstring>& parts, size_t count)
{
    std::string out;
    for (size_t i = 0; i < count; ++i) {
        if (i > 0)
            out += '/';
        out += Utf8(parts[i].c_str(), parts[i].size());
    }
    return out;
}

// Whether a device path leads into a mounted volume (or one on its way
// in): its first component names one. Volume names are ASCII and unique
// without regard to letter case.
bool InVolume(const std::vector<std::wstring>& parts)
{
    if (parts.empty())
        return false;
    const std::string first = Utf8(parts[0].c_str(), parts[0].size());
    if (board::IsVolumeFolder(first))
        return true;
    for (const std::string& volume : board::Volumes()) {
        if (strcasecmp(volume.c_str(), first.c_str()) == 0)
            return true;
    }
    return false;
}

// Whether two descriptors lie on the same mount, by mount id (a bind
// mount of the same file system is another mount).
bool SameMount(int a, int b)
{
    struct statx sa;
    struct statx sb;
    if (statx(a, "", AT_EMPTY_PATH, STATX_MNT_ID, &sa) != 0 ||
        statx(b, "", AT_EMPTY_PATH, STATX_MNT_ID, &sb) != 0)
        return false;
    return (sa.stx_mask & sb.stx_mask & STATX_MNT_ID) != 0 && sa.stx_mnt_id == sb.stx_mnt_id;
}

// A FAT volume has neither hard links nor mount points: inside one, a file
// with more than one link or on another mount than the root is the host's,
// and is refused (fd is closed). fd, or -1 with errno set.
int CardFileOnly(int root, int fd)
{
    if (fd < 0)
        return fd;
    struct stat st;
    int refusal = 0;
    if (fstat(fd, &st) != 0)
        refusal = errno;
    else if (S_ISREG(st.st_mode) && st.st_nlink > 1)
        refusal = EMLINK;
    else if (!SameMount(root, fd))
        refusal = EXDEV;
    if (refusal == 0)
        return fd;
    close(fd);
    errno = refusal;
    return -1;
}

}  // namespace

bool HostPath(const wchar_t* path, std::string& out)
{
    if (path == nullptr)
        return false;
    if (!OsIsDevicePath(path)) {
        out = Utf8(path, wcslen(path));
        return !out.empty();
    }
    std::vector<std::wstring> parts;
    if (!OsSplitDevicePath(path, parts))
        return false;
    // Each component as its folder spells it; one that matches nothing
    // keeps its spelling, and so do all after it.
    out = board::RootFs();
    bool folderExists = true;
    for (const std::wstring& part : parts) {
        const std::string name = folderExists ? MatchInFolder(out, part) : std::string();
        folderExists = !name.empty();
        out += "/" + (folderExists ? name : Utf8(part.c_str(), part.size()));
    }
    return true;
}

bool OpenWriteTarget(const wchar_t* path, WriteTarget& target)
{
    std::vector<std::wstring>& parts = target.parts;
    if (!OsSplitDevicePath(path, parts) || parts.empty())
        return false;
    std::lock_guard<std::mutex> lock(folderMutex);
    target.kept = ReachFolder(parts, parts.size() - 1, false);
    if (!target.kept)
        return false;
    target.leafExists = MatchName(*target.kept, parts.back(), target.leaf, &target.leafState);
    if (!target.leafExists)
        target.leaf = Utf8(parts.back().c_str(), parts.back().size());
    return !target.leaf.empty();
}

bool StillInPlace(const WriteTarget& target)
{
    std::lock_guard<std::mutex> lock(folderMutex);
    std::shared_ptr<KeptFolder> reached = ReachFolder(target.parts, target.parts.size() - 1, false);
    if (!reached)
        return false;
    struct stat now;
    struct stat held;
    return reached == target.kept ||
           (fstat(reached->fd, &now) == 0 && fstat(target.kept->fd, &held) == 0 &&
            now.st_dev == held.st_dev && now.st_ino == held.st_ino);
}

}  // namespace device_tree

int OsPosixOpenDevicePath(const wchar_t* path, int flags)
{
    using namespace device_tree;
    std::vector<std::wstring> parts;
    if (!OsSplitDevicePath(path, parts))
        return -1;
    const std::shared_ptr<KeptFolder> root = RootFolder();
    if (!root)
        return -1;
    const bool card = InVolume(parts);
    // When every component exists as spelled, the path as spelled is the
    // file (the usual case: one call).
    int direct = OpenBeneath(root->fd, JoinSpelled(parts, parts.size()), flags, card);
    if (direct >= 0 || (errno != ENOENT && errno != ENOTDIR) || parts.empty())
        return card ? CardFileOnly(root->fd, direct) : direct;
    std::lock_guard<std::mutex> lock(folderMutex);
    std::shared_ptr<KeptFolder> folder = ReachFolder(parts, parts.size() - 1, true);
    std::string host;
    if (!folder || !MatchName(*folder, parts.back(), host, nullptr))
        return -1;
    const int fd = openat(folder->fd, host.c_str(), flags | O_NOFOLLOW | O_CLOEXEC);
    return card ? CardFileOnly(root->fd, fd) : fd;
}

int OsPosixOpenPath(const wchar_t* path, int flags)
{
    if (OsIsDevicePath(path))
        return OsPosixOpenDevicePath(path, flags);
    std::string host;
    if (!device_tree::HostPath(path, host)) {
        errno = ENOENT;
        return -1;
    }
    return open(host.c_str(), flags | O_CLOEXEC);
}
