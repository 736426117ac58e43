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
    std::string rootPath;
    std::vector<std::shared_ptr<KeptFolder>> levels;  // [0] is rootfs/
    // The inotify instance (-1 when the system gives none) and the watch
    // on the folder that holds rootfs/.
    int notify = -1;
    bool notifyTried = false;
    int boardWd = -1;
    std::string rootName;  // rootfs/'s name in that folder
};
// The chain for writing; a walk for reading keeps nothing.
FolderChain writeChain;

// A forked child shares its parent's inotify instance, and whichever
// process reads a report takes it from the other: the child starts afresh.
std::atomic<bool> forkedSinceWatch{false};

// Drops the levels from level on. A dropped folder is no longer watched,
// and its names are no longer trusted (a copy may still hold it).
void TruncateChain(FolderChain& chain, size_t level)
{
    for (size_t i = level; i < chain.levels.size(); ++i) {
        KeptFolder& folder = *chain.levels[i];
        if (folder.wd >= 0)
            inotify_rm_watch(chain.notify, folder.wd);
        folder.wd = -1;
        folder.namesValid = false;
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
    // A report says that the name changed, not what it is now (an exchange
    // reports a move away from a name that stays): the folder says.
    if (folder.namesValid) {
        struct stat st;
        if (fstatat(folder.fd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0)
            AddName(folder, name);
        else if (errno == ENOENT || errno == ENOTDIR)
            RemoveName(folder, name);
        else
            folder.namesValid = false;  // cannot tell: read the folder again
    }
    // Whatever happened to the next kept folder's name, it is walked to afresh.
    if (level + 1 < chain.levels.size() && chain.levels[level + 1]->host == name)
        TruncateChain(chain, level + 1);
}

// Lets go of the kept folders and of the inotify instance (in a forked
// child the watches, its parent's as well, are left in place).
void Release(FolderChain& chain, bool forked)
{
    if (forked) {
        for (const auto& level : chain.levels)
            level->wd = -1;
        chain.boardWd = -1;
    }
    TruncateChain(chain, 0);
    if (chain.notify >= 0)
        close(chain.notify);
    chain.notify = -1;
    chain.notifyTried = false;
}

// Reads the pending reports of the chain for writing and applies them.
// Call with folderMutex held.
void DrainEvents()
{
    FolderChain& chain = writeChain;
    if (forkedSinceWatch.exchange(false))
        Release(chain, true);
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
        // Each report is whole, its name padded with zeros to the next one.
        for (ssize_t at = 0; at + static_cast<ssize_t>(sizeof(inotify_event)) <= n;) {
            const auto* e = reinterpret_cast<const inotify_event*>(buffer + at);
            ApplyEvent(chain, *e);
            at += static_cast<ssize_t>(sizeof(inotify_event) + e->len);
        }
        // A read that left room for another report took all there were.
        if (static_cast<size_t>(n) + sizeof(inotify_event) + NAME_MAX + 1 <= sizeof buffer)
            return;
    }
}

// Reads the folder's names (trusted later only in a watched folder).
bool ScanNames(KeptFolder& folder)
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
    folder.namesValid = folder.wd >= 0;
    return true;
}

}  // namespace

bool MatchName(KeptFolder& folder, const std::wstring& wide, std::string& host,
               struct stat* childSt)
{
    std::string exact = Utf8(wide.c_str(), wide.size());
    if (exact.empty())
        return false;
    if (!folder.namesValid) {
        // The exact spelling first (the usual case: one call), else the
        // folder's names as they are now.
        struct stat own;
        if (fstatat(folder.fd, exact.c_str(), childSt != nullptr ? childSt : &own,
                    AT_SYMLINK_NOFOLLOW) == 0) {
            host = exact;
            return true;
        }
        if (!ScanNames(folder))
            return false;
    }
    // The list is exact: a name it lacks in every letter case is not there.
    auto it = folder.names.find(FoldedName(wide));
    if (it == folder.names.end())
        return false;
    const auto& same = it->second;
    host = std::find(same.begin(), same.end(), exact) != same.end() ? exact : same.front();
    return childSt == nullptr || fstatat(folder.fd, host.c_str(), childSt, AT_SYMLINK_NOFOLLOW) == 0;
}

namespace {

// Walks chain to the folder that the first count components name, from its
// kept (so watched, so still valid) levels as far as they go.
std::shared_ptr<KeptFolder> Walk(FolderChain& chain, const std::vector<std::wstring>& parts,
                                 size_t count)
{
    std::string rootPath = board::RootFs();
    if (chain.levels.empty() || chain.rootPath != rootPath) {
        TruncateChain(chain, 0);
        chain.rootPath = rootPath;
        // The folder that holds rootfs/ is watched first, so that rootfs/
        // cannot be replaced unseen after it is opened.
        size_t slash = rootPath.rfind('/');
        if (chain.notify >= 0 && slash != std::string::npos) {
            chain.rootName = rootPath.substr(slash + 1);
            std::string parent = slash == 0 ? "/" : rootPath.substr(0, slash);
            chain.boardWd = inotify_add_watch(chain.notify, parent.c_str(), kFolderEvents);
        }
        int fd = open(rootPath.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (fd < 0)
            return nullptr;
        auto root = std::make_shared<KeptFolder>(fd);
        if (chain.boardWd >= 0)
            root->wd = WatchFolder(chain, fd);
        chain.levels.push_back(std::move(root));
    }
    for (size_t i = 0; i < count; ++i) {
        KeptFolder& parent = *chain.levels[i];
        const bool kept = i + 1 < chain.levels.size();
        if (kept && chain.levels[i + 1]->host == Utf8(parts[i].c_str(), parts[i].size()))
            continue;
        std::string host;
        struct stat child;
        if (!MatchName(parent, parts[i], host, &child) || !S_ISDIR(child.st_mode))
            return nullptr;
        if (kept && chain.levels[i + 1]->host == host)
            continue;
        TruncateChain(chain, i + 1);
        int fd = openat(parent.fd, host.c_str(),
                        O_RDONLY | O_DIRECTORY | O_CLOEXEC | O_NOFOLLOW);
        if (fd < 0)
            return nullptr;
        auto next = std::make_shared<KeptFolder>(fd);
        next->host = host;
        if (parent.wd >= 0)
            next->wd = WatchFolder(chain, fd);
        chain.levels.push_back(std::move(next));
    }
    return chain.levels[count];
}

}  // namespace

std::shared_ptr<KeptFolder> ReachFolder(const std::vector<std::wstring>& parts, size_t count,
                                        bool reading)
{
    if (reading) {
        FolderChain fresh;
        return Walk(fresh, parts, count);
    }
    DrainEvents();
    std::shared_ptr<KeptFolder> reached = Walk(writeChain, parts, count);
    // Only watched folders stay: any other is walked to afresh next time.
    size_t watched = 0;
    while (writeChain.boardWd >= 0 && watched < writeChain.levels.size() &&
           writeChain.levels[watched]->wd >= 0)
        ++watched;
    TruncateChain(writeChain, watched);
    return reached;
}

std::shared_ptr<KeptFolder> RootFolder()
{
    std::lock_guard<std::mutex> lock(folderMutex);
    return ReachFolder({}, 0, false);
}

void ReleaseKeptFolders()
{
    std::lock_guard<std::mutex> lock(folderMutex);
    Release(writeChain, false);
}

bool ChangeInFolder(KeptFolder& folder, const std::string* added,
                    const std::function<bool()>& change)
{
    std::lock_guard<std::mutex> lock(folderMutex);
    // A watched folder's reports keep its names exact; our own change is
    // added at once.
    bool changed = change();
    if (changed && added != nullptr && folder.namesValid)
        AddName(folder, *added);
    return changed;
}

}  // namespace device_tree
