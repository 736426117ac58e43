// Folders kept open between calls (see kept_folders.h).
#include "platform/posix/kept_folders.h"

#include <dirent.h>
#include <fcntl.h>
#include <pthread.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>

#include "board/board.h"
#include "platform/common/file_search.h"
#include "platform/posix/host_names.h"

namespace device_tree {

std::mutex folderMutex;

namespace {

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
    // The report says that the name changed, not what it is now: an
    // exchange of two names (a replacing copy) reports a move away from
    // the name that stays, and reports arrive after the fact. So the
    // folder itself says whether the name is there.
    if (folder.namesValid) {
        struct stat st;
        if (fstatat(folder.fd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0)
            AddName(folder, name);
        else if (errno == ENOENT || errno == ENOTDIR)
            RemoveName(folder, name);
        else
            folder.namesValid = false;  // cannot tell: read the folder again
    }
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

}  // namespace

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

std::shared_ptr<KeptFolder> RootFolder()
{
    ReachedFolder reached;
    if (!ReachFolder({}, 0, false, reached))
        return nullptr;
    return reached.folder;
}

void ReleaseKeptFolders()
{
    std::lock_guard<std::mutex> lock(folderMutex);
    for (FolderChain* chain : {&readChain, &writeChain}) {
        TruncateChain(*chain, 0);
        if (chain->notify >= 0)
            close(chain->notify);
        chain->notify = -1;
        chain->notifyTried = false;
    }
}

bool ChangeInFolder(KeptFolder& folder, const struct stat& reachedState, const std::string* added,
                    bool stateIsFresh, const std::function<bool()>& change)
{
    std::lock_guard<std::mutex> lock(folderMutex);
    if (folder.wd >= 0) {
        // Its reports keep the names exact; our own change is added at once.
        bool changed = change();
        if (changed && added != nullptr && folder.namesValid)
            AddName(folder, *added);
        return changed;
    }
    struct stat before = reachedState;
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

}  // namespace device_tree
