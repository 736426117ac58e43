// Message queues and device notifications of the POSIX backend (the
// queue's messages and the notification records are shared with the Win32
// backend: platform/common/msg_queue.cpp).
//
// A queue's signal is an eventfd that is readable exactly while the queue
// is ready (a message waits, or it is closed), so that a wait can block in
// poll() together with the termination descriptor: a SIGTERM/SIGINT makes
// every wait fail, and the programs end through their normal path.
//
// Mount notifications come from the board's volumes/ folder: a record file
// appears there once a volume is mounted under rootfs/ and disappears once
// it is gone. A watcher thread per request blocks in poll() on an inotify
// descriptor of that folder and on a stop descriptor; it never polls. It
// also watches the board folder, so that a volumes/ folder that is deleted
// (its volumes count as removed) and made again is watched again.
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <string>
#include <thread>

#include "board/board.h"
#include "board/volumes.h"
#include "platform/clock.h"
#include "platform/common/msg_queue.h"
#include "platform/posix/object.h"
#include "platform/queue.h"
#include "platform/sync.h"

namespace {

// The queue with its eventfd (readable while the queue is ready).
struct QueueCore : OsQueueCore {
    int ready = -1;

    ~QueueCore() override
    {
        if (ready >= 0) close(ready);
    }

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

// Blocks until the queue is ready, termination was requested or timeoutMs
// (OS_INFINITE: no limit) of real time passed. 1 ready, 0 time-out, -1
// termination or error.
int WaitReady(const QueueCore& core, uint32_t timeoutMs)
{
    if (OsPosixTerminationRequested()) return -1;
    pollfd fds[2] = {{core.ready, POLLIN, 0}, {OsPosixTerminationFd(), POLLIN, 0}};
    const nfds_t n = fds[1].fd >= 0 ? 2 : 1;
    const uint64_t start = OsClockMicros();
    for (;;) {
        int timeout = -1;
        if (timeoutMs != OS_INFINITE) {
            const uint64_t spent = (OsClockMicros() - start) / 1000;
            timeout = spent >= timeoutMs ? 0 : static_cast<int>(timeoutMs - spent);
        }
        const int r = poll(fds, n, timeout);
        if (r < 0) {
            if (errno == EINTR) {
                if (OsPosixTerminationRequested()) return -1;
                continue;
            }
            return -1;
        }
        if (n == 2 && (fds[1].revents & POLLIN)) return -1;
        if (fds[0].revents & POLLIN) return 1;
        if (r == 0) return 0;
        if (fds[0].revents & (POLLERR | POLLNVAL)) return -1;
    }
}

struct QueueObject : OsQueueObject {
    QueueCore* Core() const { return static_cast<QueueCore*>(core.get()); }

    uint32_t Wait(uint32_t timeoutMs) override
    {
        if (OsPosixTerminationRequested() || core->IsClosed()) return OS_WAIT_FAILED;
        if (core->HasMessage()) return OS_WAIT_OBJECT_0;
        if (timeoutMs != OS_INFINITE && OsVirtualClockActive()) {
            // On a virtual clock a time-out costs no real time.
            OsSleep(timeoutMs);
            return core->HasMessage() ? OS_WAIT_OBJECT_0 : OS_WAIT_TIMEOUT;
        }
        const int r = WaitReady(*Core(), timeoutMs);
        if (core->IsClosed()) return OS_WAIT_FAILED;
        if (r > 0) return OS_WAIT_OBJECT_0;
        return r == 0 ? OS_WAIT_TIMEOUT : OS_WAIT_FAILED;
    }
};

// One request for mount notifications: the watcher thread and its
// descriptors.
struct NotificationObject : OsMountNotifications {
    int inotify = -1;
    int stop = -1;
    int folderWatch = -1;  // the volumes folder's watch, -1 while it is gone
    std::string folder;
    std::string boardFolder;
    std::thread watcher;

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

    // (Re)watches the volumes folder, when it exists, and brings the
    // announced set in line with it.
    void Rewatch()
    {
        folderWatch = inotify_add_watch(inotify, folder.c_str(),
                                        IN_CREATE | IN_MOVED_TO | IN_DELETE | IN_MOVED_FROM | IN_MOVE_SELF |
                                            IN_ONLYDIR);
        Resync();
    }

    void Run()
    {
        alignas(inotify_event) char buf[4096];
        pollfd fds[2] = {{inotify, POLLIN, 0}, {stop, POLLIN, 0}};
        for (;;) {
            const int r = poll(fds, 2, -1);
            if (r < 0) {
                if (errno == EINTR) continue;
                return;
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
                    Resync();
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

Handle OsCreateMsgQueue(const wchar_t* name, const OsMsgQueueOptions* options)
{
    // Only unnamed queues exist on the board.
    if (name != nullptr || options == nullptr || options->maxMessage == 0) return nullptr;
    auto core = std::make_shared<QueueCore>();
    core->ready = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (core->ready < 0) return nullptr;
    core->SetLimits(options->maxMessages, options->maxMessage);
    auto* object = new QueueObject;
    object->core = std::move(core);
    return OsHandleFor(object);
}

int OsReadMsgQueue(Handle queue, void* buf, uint32_t size, uint32_t* read, uint32_t timeoutMs,
                   uint32_t* flags)
{
    const OsObjectRef ref = OsObjectFromHandle(queue);
    const QueueObject* q = ref.as<QueueObject>();
    if (q == nullptr || buf == nullptr) return 0;
    const std::shared_ptr<OsQueueCore> core = q->core;
    bool waited = false;
    for (;;) {
        const int r = core->Take(buf, size, read, flags);
        if (r != 0) return r > 0 ? 1 : 0;
        if (waited || core->IsClosed()) return 0;
        if (OsVirtualClockActive() && timeoutMs != OS_INFINITE) {
            OsSleep(timeoutMs);
            waited = true;
            continue;
        }
        const int w = WaitReady(*q->Core(), timeoutMs);
        if (w < 0) return 0;
        if (w == 0) waited = true;
    }
}

Handle OsRequestDeviceNotifications(const OsGuid* deviceClass, Handle queue, int all)
{
    const OsObjectRef ref = OsObjectFromHandle(queue);
    const QueueObject* q = ref.as<QueueObject>();
    if (q == nullptr || !OsIsFatMountClass(deviceClass))
        return nullptr;
    std::unique_ptr<NotificationObject> n(new NotificationObject);
    n->queue = q->core;
    n->deviceClass = *deviceClass;
    n->folder = board::VolumesDir();
    n->boardFolder = board::Dir();
    mkdir(n->folder.c_str(), 0755);
    n->inotify = inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
    n->stop = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (n->inotify < 0 || n->stop < 0) return nullptr;
    // Watch first, then list: a volume mounted in between is seen by both
    // and announced once (present filters the second sighting).
    inotify_add_watch(n->inotify, n->boardFolder.c_str(), IN_CREATE | IN_MOVED_TO | IN_ONLYDIR);
    n->folderWatch = inotify_add_watch(n->inotify, n->folder.c_str(),
                                       IN_CREATE | IN_MOVED_TO | IN_DELETE | IN_MOVED_FROM | IN_MOVE_SELF |
                                           IN_ONLYDIR);
    if (n->folderWatch < 0)
        return nullptr;
    n->Start(all != 0);
    NotificationObject* raw = n.get();
    try {
        n->watcher = std::thread([raw] { raw->Run(); });
    } catch (...) {
        return nullptr;
    }
    return OsHandleFor(n.release());
}
