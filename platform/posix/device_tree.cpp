// The device's file tree on the board's rootfs/ (see device_tree.h).
#include "platform/posix/device_tree.h"

#include <dirent.h>
#include <fcntl.h>
#include <linux/openat2.h>
#include <strings.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <memory>
#include <mutex>

#include "board/board.h"
#include "platform/common/device_path.h"
#include "platform/common/file_search.h"
#include "platform/posix/device_files.h"
#include "platform/text.h"
#include "platform/utf16.h"

namespace device_tree {

void Fd::reset(int fd)
{
    if (fd_ >= 0) {
        const int saved = errno;
        close(fd_);
        errno = saved;
    }
    fd_ = fd;
}

std::string Utf8(const wchar_t* wide, size_t length)
{
    std::wstring part(wide, length);
    std::string out(part.size() * 4 + 1, '\0');
    out.resize(OsNarrowUtf8(part.c_str(), out.data(), out.size()));
    return out;
}

std::wstring WidenHostName(const char* name)
{
    std::wstring out;
    const auto* p = reinterpret_cast<const unsigned char*>(name);
    size_t left = std::strlen(name);
    while (left > 0) {
        uint32_t c = 0;
        size_t used = 0;
        if (utf16::DecodeUtf8(p, left, &c, &used)) {
            // Wide text is UTF-16, whatever the width of wchar_t.
            if (c >= 0x10000) {
                out.push_back(static_cast<wchar_t>(0xD800 + ((c - 0x10000) >> 10)));
                out.push_back(static_cast<wchar_t>(0xDC00 + ((c - 0x10000) & 0x3FF)));
            } else {
                out.push_back(static_cast<wchar_t>(c));
            }
        } else {
            out.push_back(static_cast<wchar_t>(0xDC00 + *p));
            used = 1;
        }
        p += used;
        left -= used;
    }
    return out;
}

namespace {

bool SameNameIgnoringCase(const std::wstring& a, const std::wstring& b)
{
    if (a.size() != b.size())
        return false;
    for (size_t i = 0; i < a.size(); ++i) {
        if (OsFoldName(a[i]) != OsFoldName(b[i]))
            return false;
    }
    return true;
}

bool IsAscii(const char* s)
{
    for (; *s != 0; ++s) {
        if (static_cast<unsigned char>(*s) >= 0x80)
            return false;
    }
    return true;
}

// The host name in the open folder that a device component names: the
// exact spelling when it exists, else the first name equal to it without
// regard to letter case, in the folder's order. false when there is none.
// With st, the entry's own state (a link is not followed). folder must be
// the caller's own descriptor, opened for reading: it is listed from its
// start.
bool MatchName(int folder, const std::wstring& wide, std::string& host, struct stat* st)
{
    const std::string exact = Utf8(wide.c_str(), wide.size());
    if (exact.empty())
        return false;
    struct stat own;
    struct stat* entry = st != nullptr ? st : &own;
    if (fstatat(folder, exact.c_str(), entry, AT_SYMLINK_NOFOLLOW) == 0) {
        host = exact;
        return true;
    }
    if (lseek(folder, 0, SEEK_SET) != 0)
        return false;
    // Plain ASCII names (the usual case) are compared as bytes; only names
    // with other characters are decoded first.
    const bool wantedAscii = IsAscii(exact.c_str());
    alignas(dirent64) char buffer[16384];
    for (;;) {
        const ssize_t n = getdents64(folder, buffer, sizeof buffer);
        if (n <= 0)
            return false;
        for (ssize_t at = 0; at < n;) {
            const auto* e = reinterpret_cast<const dirent64*>(buffer + at);
            at += e->d_reclen;
            const bool same = wantedAscii && IsAscii(e->d_name)
                                  ? strcasecmp(e->d_name, exact.c_str()) == 0
                                  : SameNameIgnoringCase(WidenHostName(e->d_name), wide);
            if (same && strcmp(e->d_name, ".") != 0 && strcmp(e->d_name, "..") != 0) {
                host = e->d_name;
                return st == nullptr || fstatat(folder, host.c_str(), st, AT_SYMLINK_NOFOLLOW) == 0;
            }
        }
    }
}

// The host names below rootfs/ that a device path leads to. A component
// that matches nothing keeps its spelling (a file or folder about to be
// created), and so do all after it. false when ".." would climb above the
// root.
bool DeviceComponents(const wchar_t* path, std::vector<std::string>& out)
{
    out.clear();
    std::vector<std::wstring> parts;
    if (!OsSplitDevicePath(path, parts))
        return false;
    std::string dir = board::RootFs();
    bool folderExists = true;
    for (const std::wstring& part : parts) {
        std::string name = Utf8(part.c_str(), part.size());
        if (folderExists) {
            // The folder as its path leads to it, links and all: a host
            // path is made here, nothing is opened through it.
            Fd folder(open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
            std::string match;
            if (folder.get() >= 0 && MatchName(folder.get(), part, match, nullptr))
                name = match;
            else
                folderExists = false;
        }
        out.push_back(name);
        dir += "/" + name;
    }
    return true;
}

// Opens relative (host components joined by '/', no ".." among them) below
// the folder dir: beneath it, never following a symbolic link at any
// component, never crossing into /proc's magic links. openat2 does that in
// one call; where the kernel has none (or a filter refuses it), each
// component is opened from its parent's handle with O_NOFOLLOW instead. -1
// (errno set) when it cannot: ELOOP for a link on the way.
int OpenBeneath(int dir, const std::string& relative, int flags)
{
    flags |= O_CLOEXEC | O_NOFOLLOW;
    static std::atomic<bool> haveOpenat2{true};
    if (haveOpenat2.load(std::memory_order_relaxed)) {
        open_how how{};
        how.flags = static_cast<uint64_t>(flags);
        how.resolve = RESOLVE_BENEATH | RESOLVE_NO_SYMLINKS | RESOLVE_NO_MAGICLINKS;
        const char* name = relative.empty() ? "." : relative.c_str();
        for (int attempt = 0;; ++attempt) {
            long fd = syscall(SYS_openat2, dir, name, &how, sizeof how);
            if (fd >= 0)
                return static_cast<int>(fd);
            // EAGAIN: a rename raced the lookup; trying again is safe (a
            // program that renames without pause only makes the open fail).
            if ((errno == EINTR || errno == EAGAIN) && attempt < 64)
                continue;
            if (errno != ENOSYS && errno != EPERM)
                return -1;
            break;
        }
        haveOpenat2.store(false, std::memory_order_relaxed);
    }
    // One component at a time; every folder on the way is held by handle.
    Fd current(fcntl(dir, F_DUPFD_CLOEXEC, 0));
    if (current.get() < 0)
        return -1;
    size_t at = 0;
    for (;;) {
        size_t slash = relative.find('/', at);
        std::string part = relative.substr(at, slash == std::string::npos ? std::string::npos
                                                                           : slash - at);
        if (part == "..") {
            errno = EXDEV;
            return -1;
        }
        if (slash == std::string::npos)
            return openat(current.get(), part.empty() ? "." : part.c_str(), flags);
        if (!part.empty() && part != ".") {
            int next = openat(current.get(), part.c_str(),
                              O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
            if (next < 0)
                return -1;
            current.reset(next);
        }
        at = slash + 1;
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

// Opens the folder that the first count components name, from the root's
// handle, following no link. When every component exists as spelled, the
// path as spelled is the folder (the usual case: one call); else it is
// walked one folder at a time, each component matched without regard to
// letter case. -1 when it cannot.
int OpenFolderBeneath(int root, const std::vector<std::wstring>& parts, size_t count)
{
    constexpr int kFolder = O_RDONLY | O_DIRECTORY | O_CLOEXEC | O_NOFOLLOW;
    int direct = OpenBeneath(root, JoinSpelled(parts, count), kFolder);
    if (direct >= 0 || (errno != ENOENT && errno != ENOTDIR))
        return direct;
    Fd current(fcntl(root, F_DUPFD_CLOEXEC, 0));
    for (size_t i = 0; i < count && current.get() >= 0; ++i) {
        std::string host;
        struct stat st;
        if (!MatchName(current.get(), parts[i], host, &st) || !S_ISDIR(st.st_mode))
            return -1;
        current.reset(openat(current.get(), host.c_str(), kFolder));
    }
    return current.release();
}

// The device root, held open while the board's rootfs/ is the same folder
// (looked at again at every use: a test or "boardsim init" may replace it).
std::mutex rootMutex;
std::string rootPath;
dev_t rootDev = 0;
ino_t rootIno = 0;
std::shared_ptr<Fd> rootFd;

}  // namespace

std::shared_ptr<Fd> Root()
{
    const std::string path = board::RootFs();
    struct stat st;
    if (stat(path.c_str(), &st) != 0 || !S_ISDIR(st.st_mode))
        return nullptr;
    std::lock_guard<std::mutex> lock(rootMutex);
    if (rootFd && rootPath == path && rootDev == st.st_dev && rootIno == st.st_ino)
        return rootFd;
    auto fd = std::make_shared<Fd>(open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (fd->get() < 0 || fstat(fd->get(), &st) != 0)
        return nullptr;
    rootPath = path;
    rootDev = st.st_dev;
    rootIno = st.st_ino;
    rootFd = fd;
    return fd;
}

bool HostPath(const wchar_t* path, std::string& out)
{
    if (path == nullptr)
        return false;
    if (!OsIsDevicePath(path)) {
        out = Utf8(path, wcslen(path));
        return !out.empty();
    }
    std::vector<std::string> components;
    if (!DeviceComponents(path, components))
        return false;
    out = board::RootFs();
    for (const std::string& c : components)
        out += "/" + c;
    return true;
}

bool OpenWriteTarget(const wchar_t* path, WriteTarget& target)
{
    if (path == nullptr || path[0] == 0)
        return false;
    if (OsIsDevicePath(path)) {
        std::vector<std::wstring>& parts = target.parts;
        if (!OsSplitDevicePath(path, parts) || parts.empty())
            return false;
        target.device = true;
        target.root = Root();
        if (!target.root)
            return false;
        target.folder.reset(OpenFolderBeneath(target.root->get(), parts, parts.size() - 1));
        struct stat held;
        if (target.folder.get() < 0 || fstat(target.fd(), &held) != 0)
            return false;
        target.folderDev = held.st_dev;
        target.folderIno = held.st_ino;
        if (MatchName(target.fd(), parts.back(), target.leaf, &target.leafState))
            target.leafError = 0;
        else
            target.leaf = Utf8(parts.back().c_str(), parts.back().size());
        return !target.leaf.empty();
    }
    std::string host = Utf8(path, wcslen(path));
    while (host.size() > 1 && host.back() == '/')
        host.pop_back();
    size_t slash = host.rfind('/');
    std::string dir = slash == std::string::npos ? "." : slash == 0 ? "/" : host.substr(0, slash);
    target.leaf = slash == std::string::npos ? host : host.substr(slash + 1);
    if (target.leaf.empty() || target.leaf == "." || target.leaf == "..")
        return false;
    target.folder.reset(open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (target.folder.get() < 0)
        return false;
    if (fstatat(target.fd(), target.leaf.c_str(), &target.leafState, AT_SYMLINK_NOFOLLOW) == 0)
        target.leafError = 0;
    else
        target.leafError = errno;
    return true;
}

bool StillInPlace(const WriteTarget& target)
{
    if (!target.device)
        return true;
    Fd now(OpenFolderBeneath(target.root->get(), target.parts, target.parts.size() - 1));
    struct stat there;
    return now.get() >= 0 && fstat(now.get(), &there) == 0 && there.st_dev == target.folderDev &&
           there.st_ino == target.folderIno;
}

}  // namespace device_tree

int OsPosixOpenDevicePath(const wchar_t* path, int flags)
{
    using namespace device_tree;
    std::vector<std::wstring> parts;
    if (!OsSplitDevicePath(path, parts))
        return -1;
    std::shared_ptr<Fd> root = Root();
    if (!root)
        return -1;
    // When every component exists as spelled, the path as spelled is the
    // file (the usual case: one call).
    int direct = OpenBeneath(root->get(), JoinSpelled(parts, parts.size()), flags);
    if (direct >= 0 || (errno != ENOENT && errno != ENOTDIR) || parts.empty())
        return direct;
    Fd folder(OpenFolderBeneath(root->get(), parts, parts.size() - 1));
    std::string host;
    if (folder.get() < 0 || !MatchName(folder.get(), parts.back(), host, nullptr))
        return -1;
    return openat(folder.get(), host.c_str(), flags | O_NOFOLLOW | O_CLOEXEC);
}
