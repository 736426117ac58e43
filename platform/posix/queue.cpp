// Message queues and device notifications of the POSIX backend.
//
// A queue's signal is an eventfd, readable exactly while the queue is
// ready, so a wait blocks in poll() together with the termination
// descriptor and a SIGTERM/SIGINT makes every wait fail.
//
// Mount notifications follow the records in the board's volumes/ folder.
// A watcher thread per request blocks in poll() on an inotify descriptor
// of that folder (and of the board folder, so a volumes/ folder deleted
// and made again is watched again) and on a stop descriptor.
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

#include "board/board.h"
#include "board/volumes.h"
#include "platform/common/msg_queue.h"
#include "platform/queue.h"

namespace {

struct QueueCore : OsQueueCore {
    int ready = -1;

    ~QueueCore() override
    {
        if (ready >= 0) close(ready);
    }
    void* Signal() override { return &ready; }

protected:
    void SetReady(bool isReady) override
    {
        if (isReady) {
            const uint64_t one = 1;
            ssize_t r = write(ready, &one, sizeof one);
            (void)r;
        } else {
            uint64_t drained;
            ssize_t r = read(ready, &drained, sizeof drained);
            (void)r;
        }
    }
};

struct NotificationObject : OsMountNotifications {
    int inotify = -1;
    int stop = -1;
    int folderWatch = -1;  // the volumes folder's watch, -1 while it is gone
    std::string folder;

    ~NotificationObject() override
    {
        if (watcher.joinable()) {
            const uint64_t one = 1;
            ssize_t r = write(stop, &one, sizeof one);
            (void)r;
            watcher.join();
        }
        if (inotify >= 0) close(inotify);
        if (stop >= 0) close(stop);
    }

    // Set while the volumes could not be listed: no event tells when they
    // can be again, so the watcher looks every kRelistMs.
    bool relistPending = false;
    static constexpr int kRelistMs = 100;

    // Brings the announced set in line with the volumes folder; a listing
    // that fails is said once on standard error and tried again.
    void Relist()
    {
        if (Resync()) {
            relistPending = false;
            return;
        }
        if (!relistPending)
            std::fprintf(stderr, "%s: cannot list the mounted volumes (%s); looking again until it can\n",
                         program_invocation_short_name, resyncError.c_str());
        relistPending = true;
    }

    // (Re)watches the volumes folder and brings the announced set in line.
    void Rewatch()
    {
        WatchFolder();
        Relist();
    }

    void WatchFolder()
    {
        folderWatch = inotify_add_watch(inotify, folder.c_str(),
                                        IN_CREATE | IN_MOVED_TO | IN_DELETE | IN_MOVED_FROM | IN_MOVE_SELF |
                                            IN_ONLYDIR);
    }

    bool Open() override
    {
        folder = board::VolumesDir();
        mkdir(folder.c_str(), 0755);
        inotify = inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
        stop = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
        if (inotify < 0 || stop < 0) return false;
        // Watch first, then list: a volume mounted in between is seen by both
        // and announced once (present filters the second sighting).
        inotify_add_watch(inotify, board::Dir().c_str(), IN_CREATE | IN_MOVED_TO | IN_ONLYDIR);
        WatchFolder();
        return folderWatch >= 0;
    }

    void Run() override
    {
        alignas(inotify_event) char buf[4096];
        pollfd fds[2] = {{inotify, POLLIN, 0}, {stop, POLLIN, 0}};
        for (;;) {
            const int r = poll(fds, 2, relistPending ? kRelistMs : -1);
            if (r < 0) {
                if (errno == EINTR) continue;
                return;
            }
            if (r == 0) {
                Relist();
                continue;
            }
            if (fds[1].revents & POLLIN) return;
            if (fds[0].revents & (POLLERR | POLLHUP | POLLNVAL)) return;
            if (!(fds[0].revents & POLLIN)) continue;
            const ssize_t n = read(inotify, buf, sizeof buf);
            if (n <= 0) continue;
            for (ssize_t off = 0; off + static_cast<ssize_t>(sizeof(inotify_event)) <= n;) {
                const inotify_event* ev = reinterpret_cast<const inotify_event*>(buf + off);
                off += static_cast<ssize_t>(sizeof(inotify_event) + ev->len);
                if (ev->mask & IN_Q_OVERFLOW) {
                    Relist();
                    continue;
                }
                if (ev->wd == folderWatch && (ev->mask & IN_MOVE_SELF)) {
                    // Moved away: no longer the board's volumes folder.
                    inotify_rm_watch(inotify, folderWatch);
                    continue;
                }
                if (ev->wd == folderWatch && (ev->mask & IN_IGNORED)) {
                    // Deleted (or moved away): it may be back already.
                    folderWatch = -1;
                    Rewatch();
                    continue;
                }
                if (ev->wd != folderWatch) {
                    if (ev->len != 0 && (ev->mask & (IN_CREATE | IN_MOVED_TO)) && (ev->mask & IN_ISDIR) &&
                        std::strcmp(ev->name, "volumes") == 0)
                        Rewatch();
                    continue;
                }
                if (ev->len == 0 || (ev->mask & IN_ISDIR)) continue;
                const std::string name(ev->name);
                if (ev->mask & (IN_CREATE | IN_MOVED_TO)) {
                    if (present.insert(name).second) Announce(name, true);
                } else if (ev->mask & (IN_DELETE | IN_MOVED_FROM)) {
                    if (present.erase(name) != 0) Announce(name, false);
                }
            }
        }
    }
};

}  // namespace

std::shared_ptr<OsQueueCore> OsNewQueueCore()
{
    auto core = std::make_shared<QueueCore>();
    core->ready = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (core->ready < 0) return nullptr;
    return core;
}

OsMountNotifications* OsNewMountNotifications()
{
    return new NotificationObject;
}
