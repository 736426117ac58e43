// The files role of the POSIX backend: device paths on the board's rootfs/,
// reading files, folder searches, folders and file copies.
//
// Device paths ("\Windows\default.fdf") are resolved from a handle of
// board::RootFs(): beneath it, without following a symbolic link at any
// component (openat2, or one O_NOFOLLOW handle after the other), components
// matched to existing host names without regard to letter case, and no ".."
// ever climbing above the root. Folders are listed through their handles,
// and a copy is put into its destination folder through that folder's
// handle, only while the folder still stands where it stood under the
// root. So nothing outside the device root is read or written, not even by
// a program that swaps folders for links while a copy runs.
#include "platform/files.h"
#include "platform/common/utf16.h"

#include <dirent.h>
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/inotify.h>
#include <sys/sendfile.h>
#include <linux/openat2.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <cwctype>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "board/board.h"
#include "platform/common/device_path.h"
#include "platform/common/file_search.h"
#include "platform/host/text.h"
#include "platform/posix/device_files.h"
#include "platform/posix/object.h"
#include "platform/sync.h"
#include "platform/text.h"

namespace {

// ---- names ----

bool IsSeparator(wchar_t c)
{
    return c == L'\\' || c == L'/';
}

bool IsDevicePath(const wchar_t* path)
{
    return path != nullptr && path[0] == L'\\';
}

std::string Utf8(const wchar_t* wide, size_t length)
{
    std::wstring part(wide, length);
    std::string out(part.size() * 4 + 1, '\0');
    out.resize(OsNarrowUtf8(part.c_str(), out.data(), out.size()));
    return out;
}

// Decodes one host name. Bytes that are not UTF-8 become U+DC80..U+DCFF,
// which OsNarrowUtf8 turns back into the same bytes, so every host name
// survives the trip through a wide path.
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

// ---- device paths ----

bool IsAscii(const char* s)
{
    for (; *s != 0; ++s) {
        if (static_cast<unsigned char>(*s) >= 0x80)
            return false;
    }
    return true;
}

// The host name in folder dir that a device component names: the exact
// spelling when it exists, else the first name equal to it without regard
// to letter case. Empty when there is none.
std::string MatchInFolder(const std::string& dir, const std::string& utf8, const std::wstring& wide)
{
    struct stat st;
    if (lstat((dir + "/" + utf8).c_str(), &st) == 0)
        return utf8;
    DIR* d = opendir(dir.c_str());
    if (d == nullptr)
        return std::string();
    // Plain ASCII names (the usual case) are compared as bytes; only names
    // with other characters are decoded first.
    const bool wantedAscii = IsAscii(utf8.c_str());
    std::string found;
    while (dirent* e = readdir(d)) {
        bool same = wantedAscii && IsAscii(e->d_name)
                        ? strcasecmp(e->d_name, utf8.c_str()) == 0
                        : SameNameIgnoringCase(WidenHostName(e->d_name), wide);
        if (same) {
            found = e->d_name;
            break;
        }
    }
    closedir(d);
    return found;
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
            std::string match = MatchInFolder(dir, name, part);
            if (match.empty())
                folderExists = false;
            else
                name = match;
        }
        out.push_back(name);
        dir += "/" + name;
    }
    return true;
}

// The host path of a device or host path; false when it escapes the root.
bool HostPath(const wchar_t* path, std::string& out)
{
    if (path == nullptr)
        return false;
    if (!IsDevicePath(path)) {
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

class Fd {
public:
    explicit Fd(int fd = -1) : fd_(fd) {}
    ~Fd()
    {
        if (fd_ >= 0)
            close(fd_);
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    int get() const { return fd_; }
    int release()
    {
        int fd = fd_;
        fd_ = -1;
        return fd;
    }
    void reset(int fd)
    {
        if (fd_ >= 0)
            close(fd_);
        fd_ = fd;
    }

private:
    int fd_;
};

// ---- folders kept open between calls ----
//
// Copying a tree resolves the same few folders for every file, so the
// folders of the last walk stay open: one chain for reading and one for
// writing, neither of which ever follows a symbolic link. Each
// use checks again, one fstatat per level, that every kept folder is still
// the entry of its parent that the path names; a folder that was moved,
// replaced or turned into a link meanwhile is walked to afresh. Each kept
// folder also remembers its names by letter case, so that a name that does
// not exist yet costs no folder scan: the list is trusted while the
// folder's modification and change times are the ones it was taken at (our
// own creations bring it up to date), and for at most a second, which
// bounds how long anything can go unseen.
//
// Where the system can watch folders (inotify), the chain for writing is
// watched instead: every kept folder reports names created, removed or
// renamed in it, and the board directory reports what happens to rootfs/.
// Reading the pending reports (one call) then tells whether a kept folder
// still is the entry its parent names and keeps every name list exact, so a
// copy into a kept folder costs no check per level and no folder scan. The
// board directory itself is taken to stay where it is while a program runs.
//
// Time stamps taken from a coarse clock do not move when the folder
// changes twice within one clock tick, so a list taken within the tick of
// the folder's last change is trusted only where the file system is known
// to give every change that follows a look at the folder a time stamp of
// its own (learnt from two of our own changes that lie closer together
// than a tick).

std::mutex folderMutex;  // guards both chains, every kept folder's names, fineStampDevices

bool SameTime(const timespec& a, const timespec& b)
{
    return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
}

long long Nanoseconds(const timespec& t)
{
    return static_cast<long long>(t.tv_sec) * 1000000000LL + t.tv_nsec;
}

long long CoarseTickNs()
{
    static const long long tick = [] {
        timespec res;
        if (clock_getres(CLOCK_REALTIME_COARSE, &res) != 0 || Nanoseconds(res) <= 0)
            return 10000000LL;
        return Nanoseconds(res);
    }();
    return tick;
}

std::vector<dev_t> fineStampDevices;

bool HasFineStamps(dev_t dev)
{
    return std::find(fineStampDevices.begin(), fineStampDevices.end(), dev) !=
           fineStampDevices.end();
}

// Whether any later change of a folder whose state is st must move its
// time stamps: the clock has left the tick of its last change.
bool StampsSettled(const struct stat& st)
{
    timespec now;
    clock_gettime(CLOCK_REALTIME_COARSE, &now);
    long long last = std::max(Nanoseconds(st.st_mtim), Nanoseconds(st.st_ctim));
    return Nanoseconds(now) - last >= 2 * CoarseTickNs();
}

std::wstring FoldedName(const std::wstring& name)
{
    std::wstring out(name);
    for (wchar_t& c : out)
        c = OsFoldName(c);
    return out;
}

struct KeptFolder {
    explicit KeptFolder(int descriptor) : fd(descriptor) {}
    ~KeptFolder() { close(fd); }
    KeptFolder(const KeptFolder&) = delete;
    KeptFolder& operator=(const KeptFolder&) = delete;

    const int fd;        // held open, so dev/ino cannot be reused by another folder
    dev_t dev = 0;
    ino_t ino = 0;
    std::string host;    // its name in the parent folder
    // Names by letter case (guarded by folderMutex): folded name -> the
    // first host name in the folder's order that folds to it.
    bool namesValid = false;
    timespec namesMtime{};
    timespec namesCtime{};
    timespec namesTaken{};  // CLOCK_MONOTONIC_COARSE
    bool namesSettled = false;  // see StampsSettled
    // Folded name -> the host names that fold to it, the first one first.
    std::unordered_map<std::wstring, std::vector<std::string>> names;
    int wd = -1;  // its watch when the chain is watched; the names are then kept exact
};

void AddName(KeptFolder& folder, const std::string& host)
{
    std::vector<std::string>& same = folder.names[FoldedName(WidenHostName(host.c_str()))];
    if (std::find(same.begin(), same.end(), host) == same.end())
        same.push_back(host);
}

void RemoveName(KeptFolder& folder, const std::string& host)
{
    auto it = folder.names.find(FoldedName(WidenHostName(host.c_str())));
    if (it == folder.names.end())
        return;
    auto& same = it->second;
    same.erase(std::remove(same.begin(), same.end(), host), same.end());
    if (same.empty())
        folder.names.erase(it);
}

struct FolderChain {
    explicit FolderChain(bool canWatch) : watchable(canWatch) {}
    const bool watchable;
    std::string rootPath;
    std::vector<std::shared_ptr<KeptFolder>> levels;  // [0] is rootfs/
    // Watching (watchable chains only): the inotify instance, -1 when the
    // system gives none, and the watch on the folder that holds rootfs/.
    int notify = -1;
    bool notifyTried = false;
    int boardWd = -1;
    std::string rootName;  // rootfs/'s name in that folder
};
FolderChain readChain(false);
FolderChain writeChain(true);

// A forked child shares its parent's inotify instance, and whichever
// process reads a report takes it from the other: the child starts afresh.
std::atomic<bool> forkedSinceWatch{false};

// Drops the levels from level on. A dropped folder is no longer watched,
// and its names are no longer trusted (a copy may still hold it).
void TruncateChain(FolderChain& chain, size_t level)
{
    for (size_t i = level; i < chain.levels.size(); ++i) {
        KeptFolder& folder = *chain.levels[i];
        if (folder.wd >= 0) {
            inotify_rm_watch(chain.notify, folder.wd);
            folder.wd = -1;
            folder.namesValid = false;
        }
    }
    if (chain.levels.size() > level)
        chain.levels.resize(level);
    if (level == 0 && chain.boardWd >= 0) {
        inotify_rm_watch(chain.notify, chain.boardWd);
        chain.boardWd = -1;
    }
}

constexpr uint32_t kFolderEvents = IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO |
                                   IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR;

// Watches an open folder (through its descriptor, so it is the folder we
// hold, whatever its name now leads to). -1 when it cannot be watched.
int WatchFolder(FolderChain& chain, int fd)
{
    if (chain.notify < 0)
        return -1;
    char self[64];
    snprintf(self, sizeof self, "/proc/self/fd/%d", fd);
    int wd = inotify_add_watch(chain.notify, self, kFolderEvents);
    if (wd < 0)
        return -1;
    // One folder twice in a chain (a mount seen twice) shares one watch:
    // leave the second unwatched.
    for (const auto& level : chain.levels) {
        if (level->wd == wd)
            return -1;
    }
    return wd;
}

// Applies one report to the chain.
void ApplyEvent(FolderChain& chain, const inotify_event& e)
{
    if ((e.mask & (IN_Q_OVERFLOW | IN_UNMOUNT)) != 0) {
        TruncateChain(chain, 0);
        return;
    }
    const std::string name = e.len > 0 ? std::string(e.name) : std::string();
    if (e.wd == chain.boardWd) {
        if ((e.mask & (IN_DELETE_SELF | IN_MOVE_SELF | IN_IGNORED)) != 0 || name == chain.rootName)
            TruncateChain(chain, 0);
        return;
    }
    size_t level = 0;
    while (level < chain.levels.size() && chain.levels[level]->wd != e.wd)
        ++level;
    if (level == chain.levels.size())
        return;  // a folder dropped before
    KeptFolder& folder = *chain.levels[level];
    if ((e.mask & (IN_DELETE_SELF | IN_MOVE_SELF | IN_IGNORED)) != 0) {
        TruncateChain(chain, level);
        return;
    }
    if (name.empty())
        return;
    if ((e.mask & (IN_CREATE | IN_MOVED_TO)) != 0 && folder.namesValid)
        AddName(folder, name);
    if ((e.mask & (IN_DELETE | IN_MOVED_FROM)) != 0 && folder.namesValid)
        RemoveName(folder, name);
    // Whatever happens to the name of the next kept folder, it is walked
    // to afresh.
    if (level + 1 < chain.levels.size() && chain.levels[level + 1]->host == name)
        TruncateChain(chain, level + 1);
}

// Reads the pending reports and applies them. Call with folderMutex held.
void DrainEvents(FolderChain& chain)
{
    if (forkedSinceWatch.exchange(false) && writeChain.notify >= 0) {
        // The reports now go to whichever process reads first: start anew.
        for (const auto& level : writeChain.levels) {
            level->wd = -1;
            level->namesValid = false;
        }
        writeChain.levels.clear();
        writeChain.boardWd = -1;
        close(writeChain.notify);
        writeChain.notify = -1;
        writeChain.notifyTried = false;
    }
    if (!chain.watchable)
        return;
    if (!chain.notifyTried) {
        chain.notifyTried = true;
        chain.notify = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
        static std::once_flag atFork;
        std::call_once(atFork, [] {
            pthread_atfork(nullptr, nullptr, [] { forkedSinceWatch.store(true); });
        });
    }
    if (chain.notify < 0)
        return;
    alignas(inotify_event) char buffer[16384];
    for (;;) {
        ssize_t n = read(chain.notify, buffer, sizeof buffer);
        if (n <= 0)
            return;  // nothing pending (EAGAIN), or nothing more to learn
        for (ssize_t at = 0; at + static_cast<ssize_t>(sizeof(inotify_event)) <= n;) {
            inotify_event e;
            memcpy(&e, buffer + at, sizeof e);
            ssize_t size = static_cast<ssize_t>(sizeof e) + e.len;
            if (at + size > n)
                break;
            // The name follows the fixed part, padded with zeros.
            inotify_event* whole = reinterpret_cast<inotify_event*>(buffer + at);
            ApplyEvent(chain, *whole);
            at += size;
        }
        // A read that left room for another report took all there were.
        if (static_cast<size_t>(n) + sizeof(inotify_event) + NAME_MAX + 1 <= sizeof buffer)
            return;
    }
}

bool NamesFresh(const KeptFolder& folder, const struct stat& st)
{
    if (folder.wd >= 0)
        return folder.namesValid;  // kept exact by the folder's reports
    if (!folder.namesValid || !SameTime(folder.namesMtime, st.st_mtim) ||
        !SameTime(folder.namesCtime, st.st_ctim) ||
        (!folder.namesSettled && !HasFineStamps(folder.dev)))
        return false;
    timespec now;
    clock_gettime(CLOCK_MONOTONIC_COARSE, &now);
    return now.tv_sec - folder.namesTaken.tv_sec < 1 ||
           (now.tv_sec - folder.namesTaken.tv_sec == 1 && now.tv_nsec < folder.namesTaken.tv_nsec);
}

// Reads the folder's names; st is its state taken before (a change during
// the scan makes the next use scan again).
bool ScanNames(KeptFolder& folder, const struct stat& st)
{
    folder.namesValid = false;
    folder.names.clear();
    int fd = openat(folder.fd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return false;
    DIR* d = fdopendir(fd);
    if (d == nullptr) {
        close(fd);
        return false;
    }
    while (dirent* e = readdir(d)) {
        if (strcmp(e->d_name, ".") == 0 || strcmp(e->d_name, "..") == 0)
            continue;
        AddName(folder, e->d_name);
    }
    closedir(d);
    folder.namesValid = true;
    folder.namesSettled = StampsSettled(st);
    folder.namesMtime = st.st_mtim;
    folder.namesCtime = st.st_ctim;
    clock_gettime(CLOCK_MONOTONIC_COARSE, &folder.namesTaken);
    return true;
}

// The host name in folder (whose current state is st) that a device
// component names: the exact spelling when it exists, else the first name
// equal to it without regard to letter case. false when there is none.
// With childSt, the entry's state there (following a link when follow).
bool MatchName(KeptFolder& folder, const struct stat& st, const std::wstring& wide, bool follow,
               std::string& host, struct stat* childSt)
{
    std::string exact = Utf8(wide.c_str(), wide.size());
    if (exact.empty())
        return false;
    struct stat own;
    struct stat* child = childSt != nullptr ? childSt : &own;
    if (folder.wd >= 0 && folder.namesValid) {
        // The list is exact: a name it lacks in every letter case is not there.
        auto it = folder.names.find(FoldedName(wide));
        if (it == folder.names.end())
            return false;
        const auto& same = it->second;
        host = std::find(same.begin(), same.end(), exact) != same.end() ? exact : same.front();
        if (childSt == nullptr)
            return true;
        if (fstatat(folder.fd, host.c_str(), child, AT_SYMLINK_NOFOLLOW) != 0)
            return false;
        if (follow && S_ISLNK(child->st_mode))
            return fstatat(folder.fd, host.c_str(), child, 0) == 0;
        return true;
    }
    if (fstatat(folder.fd, exact.c_str(), child, AT_SYMLINK_NOFOLLOW) == 0) {
        host = exact;
    } else {
        if (!NamesFresh(folder, st) && !ScanNames(folder, st))
            return false;
        auto it = folder.names.find(FoldedName(wide));
        if (it == folder.names.end())
            return false;
        host = it->second.front();
        if (childSt == nullptr)
            return true;
        if (fstatat(folder.fd, host.c_str(), child, AT_SYMLINK_NOFOLLOW) != 0)
            return false;
    }
    if (follow && childSt != nullptr && S_ISLNK(child->st_mode))
        return fstatat(folder.fd, host.c_str(), child, 0) == 0;
    return true;
}

// A folder reached from rootfs/ and its state when reached.
struct ReachedFolder {
    std::shared_ptr<KeptFolder> folder;
    struct stat st;  // not taken for a watched folder, which needs none
};

// Walks to the folder that the first count components name, reusing the
// kept chain (the one for reading, or the one for writing) where it still
// holds. No symbolic link is followed on the way. Call with folderMutex
// held.
bool ReachFolder(const std::vector<std::wstring>& parts, size_t count, bool reading,
                 ReachedFolder& out)
{
    FolderChain& chain = reading ? readChain : writeChain;
    DrainEvents(chain);
    std::string rootPath = board::RootFs();
    struct stat st{};
    // A watched root is known to be in place until its folder reports
    // otherwise; any other root is looked at again.
    bool rootKnown = !chain.levels.empty() && chain.rootPath == rootPath &&
                     chain.boardWd >= 0 && chain.levels[0]->wd >= 0;
    if (!rootKnown) {
        if (stat(rootPath.c_str(), &st) != 0 || !S_ISDIR(st.st_mode))
            return false;
    }
    if (!rootKnown && (chain.levels.empty() || chain.rootPath != rootPath ||
                       chain.levels[0]->dev != st.st_dev || chain.levels[0]->ino != st.st_ino)) {
        TruncateChain(chain, 0);
        chain.rootPath = rootPath;
        // The folder that holds rootfs/ is watched first, so that rootfs/
        // cannot be replaced unseen after it is opened.
        size_t slash = rootPath.rfind('/');
        if (chain.notify >= 0 && slash != std::string::npos) {
            chain.rootName = rootPath.substr(slash + 1);
            std::string parent = slash == 0 ? "/" : rootPath.substr(0, slash);
            chain.boardWd = inotify_add_watch(chain.notify, parent.c_str(),
                                              IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO |
                                                  IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR);
        }
        int fd = open(rootPath.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (fd < 0)
            return false;
        auto root = std::make_shared<KeptFolder>(fd);
        if (fstat(fd, &st) != 0)
            return false;
        root->dev = st.st_dev;
        root->ino = st.st_ino;
        if (chain.boardWd >= 0)
            root->wd = WatchFolder(chain, fd);
        chain.levels.push_back(std::move(root));
    }
    for (size_t i = 0; i < count; ++i) {
        KeptFolder& parent = *chain.levels[i];
        // Under a watched folder, the kept next level is still its entry
        // (any change to that name would have dropped it).
        if (parent.wd >= 0 && i + 1 < chain.levels.size() && chain.levels[i + 1]->wd >= 0 &&
            chain.levels[i + 1]->host == Utf8(parts[i].c_str(), parts[i].size()))
            continue;
        std::string host;
        struct stat child;
        if (!MatchName(parent, st, parts[i], false, host, &child) || !S_ISDIR(child.st_mode))
            return false;
        if (i + 1 < chain.levels.size() && chain.levels[i + 1]->host == host &&
            chain.levels[i + 1]->dev == child.st_dev && chain.levels[i + 1]->ino == child.st_ino) {
            st = child;
            continue;
        }
        TruncateChain(chain, i + 1);
        int fd = openat(parent.fd, host.c_str(),
                        O_RDONLY | O_DIRECTORY | O_CLOEXEC | O_NOFOLLOW);
        if (fd < 0)
            return false;
        auto next = std::make_shared<KeptFolder>(fd);
        if (fstat(fd, &st) != 0)
            return false;
        next->dev = st.st_dev;
        next->ino = st.st_ino;
        next->host = host;
        if (parent.wd >= 0)
            next->wd = WatchFolder(chain, fd);
        chain.levels.push_back(std::move(next));
    }
    out.folder = chain.levels[count];
    out.st = st;
    return true;
}

// The open folder in which a path is to be created or replaced, and the
// leaf's name in it.
struct WriteTarget {
    std::shared_ptr<KeptFolder> kept;  // device paths: a kept folder
    std::vector<std::wstring> parts;   // device paths: the path's components
    struct stat keptState;             // its state when reached
    Fd owned;                          // host paths: a folder of their own
    std::string leaf;
    int leafError = ENOENT;            // 0 when the leaf exists: then its state
    struct stat leafState;
    int fd() const { return kept ? kept->fd : owned.get(); }
};

// Opens the folder of path for writing. Device paths are walked from
// rootfs/ one folder at a time without following any symbolic link, and
// the leaf is matched without regard to letter case. false when the folder
// cannot be reached that way or the path names no leaf.
bool OpenWriteTarget(const wchar_t* path, WriteTarget& target)
{
    if (path == nullptr || path[0] == 0)
        return false;
    if (IsDevicePath(path)) {
        std::vector<std::wstring>& parts = target.parts;
        if (!OsSplitDevicePath(path, parts) || parts.empty())
            return false;
        std::lock_guard<std::mutex> lock(folderMutex);
        ReachedFolder reached;
        if (!ReachFolder(parts, parts.size() - 1, false, reached))
            return false;
        target.kept = reached.folder;
        target.keptState = reached.st;
        if (MatchName(*reached.folder, reached.st, parts.back(), false, target.leaf,
                      &target.leafState))
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
    target.owned.reset(open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (target.owned.get() < 0)
        return false;
    if (fstatat(target.owned.get(), target.leaf.c_str(), &target.leafState, AT_SYMLINK_NOFOLLOW) == 0)
        target.leafError = 0;
    else
        target.leafError = errno;
    return true;
}

// Changes the target's folder with change (creating a file or folder, or
// renaming one into place) and brings a kept folder's names up to date,
// adding added when not null. The names stay trusted only when nothing
// else changed the folder since they were taken: checked against the state
// when the folder was reached (fresh), or against the folder as it is now.
bool ChangeInTarget(WriteTarget& target, const std::string* added, bool stateIsFresh,
                    const std::function<bool()>& change)
{
    if (!target.kept)
        return change();
    std::lock_guard<std::mutex> lock(folderMutex);
    KeptFolder& folder = *target.kept;
    if (folder.wd >= 0) {
        // Its reports keep the names exact; our own change is added at once.
        bool changed = change();
        if (changed && added != nullptr && folder.namesValid)
            AddName(folder, *added);
        return changed;
    }
    struct stat before = target.keptState;
    bool current = folder.namesValid && (stateIsFresh || fstat(folder.fd, &before) == 0) &&
                   SameTime(folder.namesMtime, before.st_mtim) &&
                   SameTime(folder.namesCtime, before.st_ctim);
    bool changed = change();
    struct stat after;
    if (!changed || !current || fstat(folder.fd, &after) != 0) {
        folder.namesValid = false;
        return changed;
    }
    if (added != nullptr)
        AddName(folder, *added);
    long long step = Nanoseconds(after.st_mtim) - Nanoseconds(before.st_mtim);
    if (step > 0 && step < CoarseTickNs() / 2 && !HasFineStamps(folder.dev))
        fineStampDevices.push_back(folder.dev);
    folder.namesSettled = StampsSettled(after);
    folder.namesMtime = after.st_mtim;
    folder.namesCtime = after.st_ctim;
    return true;
}

// ---- resolving beneath a folder ----

// Opens relative (host components joined by '/', no ".." among them) below
// the folder dir: beneath it, never following a symbolic link at any
// component, never crossing into /proc's magic links. openat2 does that in
// one call; where the kernel has none (or a filter refuses it), each
// component is opened from its parent's handle with O_NOFOLLOW instead. -1
// (errno set) when it cannot: ELOOP for a link on the way.
int OpenBeneath(int dir, const std::string& relative, int flags, mode_t mode = 0)
{
    flags |= O_CLOEXEC | O_NOFOLLOW;
    static std::atomic<bool> haveOpenat2{true};
    if (haveOpenat2.load(std::memory_order_relaxed)) {
        open_how how{};
        how.flags = static_cast<uint64_t>(flags);
        how.mode = (flags & (O_CREAT | O_TMPFILE)) != 0 ? mode : 0;
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
            return openat(current.get(), part.empty() ? "." : part.c_str(), flags, mode);
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

// The device root, held by handle (the board directory is trusted to stay
// where it is while a program runs). Call with folderMutex held.
std::shared_ptr<KeptFolder> RootFolder()
{
    ReachedFolder reached;
    if (!ReachFolder({}, 0, false, reached))
        return nullptr;
    return reached.folder;
}

// Opens a device path (flags as for open; O_NOFOLLOW and O_CLOEXEC always)
// from the device root's handle: beneath the root, no link followed at any
// component, components matched without regard to letter case. -1 when it
// cannot.
int OpenDevicePath(const wchar_t* path, int flags)
{
    std::vector<std::wstring> parts;
    if (!OsSplitDevicePath(path, parts))
        return -1;
    std::shared_ptr<KeptFolder> root;
    {
        std::lock_guard<std::mutex> lock(folderMutex);
        root = RootFolder();
    }
    if (!root)
        return -1;
    // When every component exists as spelled, the path as spelled is the
    // file (the usual case: one call).
    int direct = OpenBeneath(root->fd, JoinSpelled(parts, parts.size()), flags);
    if (direct >= 0 || (errno != ENOENT && errno != ENOTDIR) || parts.empty())
        return direct;
    std::lock_guard<std::mutex> lock(folderMutex);
    ReachedFolder reached;
    if (!ReachFolder(parts, parts.size() - 1, true, reached))
        return -1;
    std::string host;
    if (!MatchName(*reached.folder, reached.st, parts.back(), false, host, nullptr))
        return -1;
    return openat(reached.folder->fd, host.c_str(), flags | O_NOFOLLOW | O_CLOEXEC);
}

// Opens a device file for reading without following a link anywhere on
// its path and without blocking on a FIFO. -1 when it cannot.
int OpenDeviceSource(const wchar_t* path)
{
    return OpenDevicePath(path, O_RDONLY | O_NONBLOCK);
}

// Whether the target's folder still stands where it stood: the folder that
// its path names from the root, without following links, is the very
// folder held. A folder moved out of the root (or replaced) meanwhile is
// not.
bool StillInPlace(WriteTarget& target)
{
    if (!target.kept)
        return true;  // host paths: the caller's own folder
    std::lock_guard<std::mutex> lock(folderMutex);
    ReachedFolder reached;
    if (!ReachFolder(target.parts, target.parts.size() - 1, false, reached))
        return false;
    return reached.folder == target.kept ||
           (reached.folder->dev == target.kept->dev && reached.folder->ino == target.kept->ino);
}

// ---- objects ----

// An open file. Large sequential reads go through a read-ahead buffer:
// here every read(2) costs more than a microsecond besides its copy, and a
// 20 MB image read in 16 KB pieces, twice, spent milliseconds on calls
// alone. What the buffer holds was read by one call at one moment, as any
// read's data is; a seek drops it, so a file rewritten and then read again
// from a position is seen as it is now. Small reads (a shortcut, a header
// before any large read) are passed on as they come.
struct FileObject : OsObject {
    static constexpr uint32_t kReadAheadBytes = 128 * 1024;
    static constexpr uint32_t kReadAheadFrom = 4096;   // requests from this size start the buffer
    int fd = -1;
    std::mutex mutex;                 // the position and the buffer, for threads sharing the handle
    std::unique_ptr<uint8_t[]> ahead; // allocated at the first large read
    uint32_t aheadAt = 0, aheadEnd = 0;  // the unread part: ahead[aheadAt, aheadEnd)
    ~FileObject() override
    {
        if (fd >= 0)
            close(fd);
    }
};

namespace {

// One read(2) of up to n bytes, again after a signal: bytes read, 0 at the
// end, -1 on an error.
ssize_t ReadOnce(int fd, void* buf, size_t n)
{
    for (;;) {
        ssize_t r = read(fd, buf, n);
        if (r >= 0 || errno != EINTR)
            return r;
    }
}

}  // namespace

// A storage-manager store: only probed for its existence.
struct StoreObject : OsObject {
};

bool IsKnownStore(const wchar_t* name)
{
    std::string wanted = Utf8(name, wcslen(name));
    std::string list = board::GetSetting("stores", "DSK0:");
    size_t pos = 0;
    while (pos <= list.size()) {
        size_t comma = list.find(',', pos);
        if (comma == std::string::npos)
            comma = list.size();
        std::string item = list.substr(pos, comma - pos);
        size_t first = item.find_first_not_of(" \t");
        size_t last = item.find_last_not_of(" \t");
        if (first != std::string::npos) {
            item = item.substr(first, last - first + 1);
            if (!wanted.empty() && strcasecmp(item.c_str(), wanted.c_str()) == 0)
                return true;
        }
        pos = comma + 1;
    }
    return false;
}

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

// ---- copying ----

// Copies in to out from their current positions to the end of in: in the
// kernel where it can, else through a large buffer. A few megabytes at a
// time, so that a termination request abandons a long copy at once.
bool CopyData(int in, int out, off_t size)
{
    off_t copied = 0;
    constexpr size_t kChunk = size_t{8} << 20;
    for (;;) {
        if (OsPosixTerminationRequested())
            return false;
        ssize_t n = copy_file_range(in, nullptr, out, nullptr, kChunk, 0);
        if (n > 0) {
            copied += n;
            if (copied == size)
                return true;  // the whole file as it was when opened
            continue;
        }
        if (n == 0 && copied >= size)
            return true;
        if (n < 0 && errno == EINTR)
            continue;
        break;  // not supported here (or a file system that answers 0): go on below
    }
    for (;;) {
        if (OsPosixTerminationRequested())
            return false;
        ssize_t n = sendfile(out, in, nullptr, kChunk);
        if (n > 0) {
            copied += n;
            continue;
        }
        if (n == 0 && copied >= size)
            return true;
        if (n < 0 && errno == EINTR)
            continue;
        break;
    }
    constexpr size_t kBuffer = size_t{1} << 20;
    std::unique_ptr<char[]> buffer(new char[kBuffer]);
    for (;;) {
        if (OsPosixTerminationRequested())
            return false;
        ssize_t n = read(in, buffer.get(), kBuffer);
        if (n == 0)
            return true;
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        for (ssize_t done = 0; done < n;) {
            ssize_t w = write(out, buffer.get() + done, static_cast<size_t>(n - done));
            if (w < 0) {
                if (errno == EINTR)
                    continue;
                return false;
            }
            done += w;
        }
    }
}

std::atomic<unsigned> tempCounter{0};

// The process's file creation mask, read once without changing it (umask()
// would, for a moment, for every thread). All bits when it cannot be read,
// so that permissions are then always set explicitly.
mode_t ProcessUmask()
{
    static const mode_t mask = [] {
        mode_t value = 0777;
        if (FILE* f = fopen("/proc/self/status", "re")) {
            char line[128];
            while (fgets(line, sizeof line, f) != nullptr) {
                unsigned parsed = 0;
                if (sscanf(line, "Umask: %o", &parsed) == 1) {
                    value = static_cast<mode_t>(parsed & 0777);
                    break;
                }
            }
            fclose(f);
        }
        return value;
    }();
    return mask;
}

// Temporary names: ".copy-PID-N.tmp", unique within the process; O_EXCL
// (or a link that never replaces) settles any clash with others.
void TemporaryName(char* buf, size_t cap)
{
    static const long pid = static_cast<long>(getpid());
    snprintf(buf, cap, ".copy-%ld-%u.tmp", pid, tempCounter.fetch_add(1));
}

// Creates a new, empty temporary file in folder with the permission bits
// mode (less the process's mask); its name goes to name.
int CreateTemporary(int folder, mode_t mode, std::string& name)
{
    for (int attempt = 0; attempt < 100; ++attempt) {
        char buf[64];
        TemporaryName(buf, sizeof buf);
        int fd = openat(folder, buf, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode);
        if (fd >= 0) {
            name = buf;
            return fd;
        }
        if (errno != EEXIST)
            return -1;
    }
    return -1;
}

// Links the file without a name out into folder as name; never replaces.
// Linking the descriptor itself needs a privilege that most processes lack
// (the call then fails with ENOENT or EPERM); the name under /proc works
// for all, at the cost of a path lookup.
bool LinkUnnamed(int out, int folder, const char* name)
{
    static std::atomic<bool> linkByDescriptor{true};
    if (linkByDescriptor.load(std::memory_order_relaxed)) {
        if (linkat(out, "", folder, name, AT_EMPTY_PATH) == 0)
            return true;
        if (errno != ENOENT && errno != EPERM)
            return false;
    }
    char self[64];
    snprintf(self, sizeof self, "/proc/self/fd/%d", out);
    if (linkat(AT_FDCWD, self, folder, name, AT_SYMLINK_FOLLOW) != 0)
        return false;
    linkByDescriptor.store(false, std::memory_order_relaxed);
    return true;
}

// Links the file without a name out into folder under a temporary name.
bool LinkUnnamedAsTemporary(int out, int folder, std::string& name)
{
    for (int attempt = 0; attempt < 100; ++attempt) {
        char buf[64];
        TemporaryName(buf, sizeof buf);
        if (LinkUnnamed(out, folder, buf)) {
            name = buf;
            return true;
        }
        if (errno != EEXIST)
            return false;
    }
    return false;
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

// Sets the permission bits (less none: the mask may have taken some) and
// times that a copy keeps.
void KeepModeAndTimes(int out, const struct stat& from, mode_t mode)
{
    if ((mode & ProcessUmask()) != 0)
        fchmod(out, mode);
    timespec times[2] = {from.st_atim, from.st_mtim};
    futimens(out, times);
}

// Puts the finished copy (a file without a name, open as out, when
// tempName is empty, else the named temporary tempName, whose state is
// named) in place of the
// target's leaf, replacing it when replace. Only while the target's folder
// still stands where it stood under the root: that is checked right
// before, and again right after, and a change that a moved folder received
// meanwhile is undone. The temporary name is gone on every path.
bool CommitCopy(WriteTarget& target, int out, const struct stat* named, std::string tempName,
                bool replace, bool failIfExists)
{
    const int folder = target.fd();
    const std::string& leaf = target.leaf;
    auto dropTemporary = [&] {
        if (!tempName.empty())
            unlinkat(folder, tempName.c_str(), 0);
    };
    if (OsPosixTerminationRequested() || !StillInPlace(target)) {
        dropTemporary();
        return false;
    }
    if (!replace) {
        bool placed = ChangeInTarget(target, &leaf, false, [&] {
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
    // A replacement needs a name to rename from: the unnamed file gets one
    // only now, for the moment of the exchange.
    if (tempName.empty()) {
        bool linked = ChangeInTarget(target, nullptr, false,
                                     [&] { return LinkUnnamedAsTemporary(out, folder, tempName); });
        if (!linked)
            return false;
    }
    // Exchanged rather than renamed over, so that the old file can be put
    // back should the folder have moved at that very moment.
    bool exchanged = true;
    bool placed = ChangeInTarget(target, nullptr, false, [&] {
        if (renameat2(folder, tempName.c_str(), folder, leaf.c_str(), RENAME_EXCHANGE) == 0)
            return true;
        // A file system without exchange, or an old file that went away
        // meanwhile: a plain rename.
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

Handle OsCreateFile(const wchar_t* path, uint32_t access, uint32_t /*share*/,
                    uint32_t disposition, uint32_t /*flags*/)
{
    if (path == nullptr)
        return OS_INVALID_HANDLE;
    static const wchar_t kStorePrefix[] = L"\\StoreMgr\\";
    constexpr size_t kStorePrefixLength = sizeof kStorePrefix / sizeof kStorePrefix[0] - 1;
    if (disposition == 0) {
        if (wcsncasecmp(path, kStorePrefix, kStorePrefixLength) != 0 ||
            !IsKnownStore(path + kStorePrefixLength))
            return OS_INVALID_HANDLE;
        return OsHandleFor(new StoreObject);
    }
    // Only existing files are opened, and only for reading: the programs
    // write nothing but copies.
    if (disposition != OS_OPEN_EXISTING || (access & OS_GENERIC_WRITE) != 0)
        return OS_INVALID_HANDLE;
    // O_NONBLOCK so that a FIFO cannot hang the open; it is refused below.
    int fd = -1;
    if (IsDevicePath(path)) {
        fd = OpenDevicePath(path, O_RDONLY | O_NONBLOCK);
    } else {
        std::string host;
        if (!HostPath(path, host))
            return OS_INVALID_HANDLE;
        fd = open(host.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    }
    if (fd < 0)
        return OS_INVALID_HANDLE;
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        close(fd);
        return OS_INVALID_HANDLE;
    }
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    auto* file = new FileObject;
    file->fd = fd;
    return OsHandleFor(file);
}

int OsReadFile(Handle file, void* buf, uint32_t n, uint32_t* got)
{
    if (got != nullptr)
        *got = 0;
    OsObjectRef ref = OsObjectFromHandle(file);
    auto* object = ref.as<FileObject>();
    if (object == nullptr || (buf == nullptr && n > 0))
        return 0;
    std::lock_guard<std::mutex> lock(object->mutex);
    uint8_t* out = static_cast<uint8_t*>(buf);
    if (!object->ahead && n >= FileObject::kReadAheadFrom)
        object->ahead.reset(new (std::nothrow) uint8_t[FileObject::kReadAheadBytes]);
    uint32_t total = 0;
    while (total < n) {
        const uint32_t want = n - total;
        if (object->aheadAt < object->aheadEnd) {
            const uint32_t k = std::min(want, object->aheadEnd - object->aheadAt);
            std::memcpy(out + total, object->ahead.get() + object->aheadAt, k);
            object->aheadAt += k;
            total += k;
            continue;
        }
        ssize_t r;
        if (!object->ahead || want >= FileObject::kReadAheadBytes) {
            r = ReadOnce(object->fd, out + total, want);   // straight into the caller's buffer
            if (r > 0)
                total += static_cast<uint32_t>(r);
        } else {
            r = ReadOnce(object->fd, object->ahead.get(), FileObject::kReadAheadBytes);
            object->aheadAt = 0;
            object->aheadEnd = r > 0 ? static_cast<uint32_t>(r) : 0;
        }
        if (r == 0)
            break;
        if (r < 0)
            return 0;
    }
    if (got != nullptr)
        *got = total;
    return 1;
}

int OsSetFilePointer(Handle file, uint32_t offset)
{
    OsObjectRef ref = OsObjectFromHandle(file);
    auto* object = ref.as<FileObject>();
    if (object == nullptr)
        return 0;
    std::lock_guard<std::mutex> lock(object->mutex);
    object->aheadAt = object->aheadEnd = 0;
    return lseek(object->fd, static_cast<off_t>(offset), SEEK_SET) == static_cast<off_t>(offset) ? 1 : 0;
}

int OsGetFileTime(Handle file, FileTime* creation)
{
    OsObjectRef ref = OsObjectFromHandle(file);
    auto* object = ref.as<FileObject>();
    if (object == nullptr || creation == nullptr)
        return 0;
    struct stat st;
    if (fstat(object->fd, &st) != 0)
        return 0;
    constexpr int64_t kSecondsFrom1601To1970 = 11644473600LL;
    int64_t seconds = static_cast<int64_t>(st.st_mtim.tv_sec) + kSecondsFrom1601To1970;
    if (seconds < 0)
        return 0;  // before 1601: no file time
    *creation = static_cast<FileTime>(seconds) * 10000000u +
                static_cast<FileTime>(st.st_mtim.tv_nsec) / 100u;
    return 1;
}

Handle OsFindFirstFile(const wchar_t* pattern, OsFindData* data)
{
    // A program being ended finds nothing more.
    if (pattern == nullptr || data == nullptr || OsPosixTerminationRequested())
        return OS_INVALID_HANDLE;
    const wchar_t* sep = nullptr;
    for (const wchar_t* p = pattern; *p != 0; ++p) {
        if (IsSeparator(*p))
            sep = p;
    }
    std::wstring folder;
    const wchar_t* wildcard = pattern;
    if (sep != nullptr) {
        folder.assign(pattern, static_cast<size_t>(sep - pattern));
        if (folder.empty())
            folder.assign(1, *sep);  // "\*": the root
        wildcard = sep + 1;
    } else {
        folder = L".";
    }
    if (*wildcard == 0)
        return OS_INVALID_HANDLE;
    // A device folder is listed through its handle, opened from the root's
    // without following any link.
    DIR* d = nullptr;
    if (IsDevicePath(folder.c_str())) {
        int fd = OpenDevicePath(folder.c_str(), O_RDONLY | O_DIRECTORY);
        if (fd >= 0 && (d = fdopendir(fd)) == nullptr)
            close(fd);
    } else {
        std::string host;
        if (!HostPath(folder.c_str(), host))
            return OS_INVALID_HANDLE;
        d = opendir(host.c_str());
    }
    if (d == nullptr)
        return OS_INVALID_HANDLE;
    // The listing is taken at once, so that the caller may create files in
    // the folder while it walks the entries.
    auto search = std::make_unique<OsSearchObject>();
    while (dirent* e = readdir(d)) {
        if (strcmp(e->d_name, ".") == 0 || strcmp(e->d_name, "..") == 0)
            continue;
        std::wstring name = WidenHostName(e->d_name);
        if (name.size() >= OS_MAX_PATH || !OsWildcardMatch(wildcard, name.c_str()))
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

int OsCreateDirectory(const wchar_t* path)
{
    WriteTarget target;
    if (OsPosixTerminationRequested() || !OpenWriteTarget(path, target))
        return 0;
    // Only in a folder that still stands where it stood under the root.
    if (!StillInPlace(target))
        return 0;
    bool made = ChangeInTarget(target, &target.leaf, true, [&] {
        return mkdirat(target.fd(), target.leaf.c_str(), 0755) == 0;
    });
    if (made && !StillInPlace(target)) {
        unlinkat(target.fd(), target.leaf.c_str(), AT_REMOVEDIR);
        return 0;
    }
    return made ? 1 : 0;
}

int OsCopyFile(const wchar_t* source, const wchar_t* destination, int failIfExists)
{
    // Only a regular file is copied: no symbolic link is followed, and a
    // FIFO or device node is refused without blocking on it. A program
    // being ended copies nothing more.
    if (OsPosixTerminationRequested())
        return 0;
    Fd in;
    if (IsDevicePath(source)) {
        in.reset(OpenDeviceSource(source));
    } else {
        std::string sourceHost;
        if (!HostPath(source, sourceHost))
            return 0;
        in.reset(open(sourceHost.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    }
    if (in.get() < 0)
        return 0;
    struct stat from;
    if (fstat(in.get(), &from) != 0 || !S_ISREG(from.st_mode))
        return 0;

    WriteTarget target;
    if (!OpenWriteTarget(destination, target))
        return 0;
    const int folder = target.fd();
    const std::string& leaf = target.leaf;
    const struct stat& existing = target.leafState;
    bool exists = target.leafError == 0;
    if (exists) {
        if (failIfExists || !S_ISREG(existing.st_mode) || (existing.st_mode & 0222) == 0)
            return 0;  // kept: a folder, a link, a read-only file...
    } else if (target.leafError != ENOENT) {
        return 0;
    }

    // Written as a file without a name where the file system allows it,
    // else beside the destination under a temporary name, and put in place
    // whole: the destination is either the old file or the whole new one,
    // and an abandoned copy leaves nothing behind. The permission bits
    // travel with the file (never set-id bits), and so does its
    // modification time, as a copy on the device keeps it.
    const mode_t mode = from.st_mode & 0777;
    static const bool haveFdLinks = access("/proc/self/fd", X_OK) == 0;
    std::string tempName;
    Fd out;
    if (haveFdLinks)
        out.reset(openat(folder, ".", O_TMPFILE | O_WRONLY | O_CLOEXEC, mode));
    if (out.get() < 0) {
        ChangeInTarget(target, nullptr, true, [&] {
            out.reset(CreateTemporary(folder, mode, tempName));
            return out.get() >= 0;
        });
        if (out.get() < 0)
            return 0;
    }
    // A file without a name goes with its descriptor on every failure.
    bool ok = CopyData(in.get(), out.get(), from.st_size);
    if (ok)
        KeepModeAndTimes(out.get(), from, mode);
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

int OsPosixOpenDevicePath(const wchar_t* path, int flags)
{
    if (!IsDevicePath(path))
        return -1;
    return OpenDevicePath(path, flags);
}

namespace {

// Whether name is a temporary of a copy, and of a process that is gone.
bool StaleTemporary(const char* name)
{
    long pid = 0;
    unsigned n = 0;
    int end = 0;
    if (sscanf(name, ".copy-%ld-%u.tmp%n", &pid, &n, &end) != 2 || name[end] != 0 || pid <= 0)
        return false;
    return pid != static_cast<long>(getpid()) && kill(static_cast<pid_t>(pid), 0) != 0 &&
           errno == ESRCH;
}

void RemoveStaleCopiesIn(int folder, int depth)
{
    DIR* d = fdopendir(folder);
    if (d == nullptr) {
        close(folder);
        return;
    }
    std::vector<std::string> folders;
    while (dirent* e = readdir(d)) {
        if (strcmp(e->d_name, ".") == 0 || strcmp(e->d_name, "..") == 0)
            continue;
        struct stat st;
        if (fstatat(dirfd(d), e->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0)
            continue;
        if (S_ISDIR(st.st_mode))
            folders.push_back(e->d_name);
        else if (S_ISREG(st.st_mode) && StaleTemporary(e->d_name))
            unlinkat(dirfd(d), e->d_name, 0);
    }
    for (const std::string& name : folders) {
        if (depth >= 256 || OsPosixTerminationRequested())
            break;
        int next = openat(dirfd(d), name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (next >= 0)
            RemoveStaleCopiesIn(next, depth + 1);
    }
    closedir(d);
}

}  // namespace

void OsPosixRemoveStaleCopies()
{
    std::shared_ptr<KeptFolder> root;
    {
        std::lock_guard<std::mutex> lock(folderMutex);
        root = RootFolder();
    }
    if (!root)
        return;
    int fd = openat(root->fd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0)
        RemoveStaleCopiesIn(fd, 0);
}

int OsHostPath(const wchar_t* path, char* out, size_t cap)
{
    std::string host;
    if (out == nullptr || !HostPath(path, host) || host.size() + 1 > cap)
        return 0;
    memcpy(out, host.c_str(), host.size() + 1);
    return 1;
}
