// Message queues and device notifications of the POSIX backend.
//
// A queue is a list of messages under a mutex plus an eventfd that is
// readable exactly while the list is not empty, so that a wait can block in
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
#include <deque>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "board/board.h"
#include "board/volumes.h"
#include "platform/clock.h"
#include "platform/posix/object.h"
#include "platform/queue.h"
#include "platform/sync.h"

namespace {

struct Message {
    std::vector<uint8_t> bytes;
    uint32_t flags;
};

// The queue itself; shared by its handle and by the notification watchers
// that write into it, so that closing the handle first is harmless.
struct QueueCore {
    std::mutex lock;
    std::deque<Message> messages;
    bool closed = false;
    uint32_t maxMessages = 0;
    uint32_t maxMessage = 0;
    int ready = -1;   // eventfd: readable while messages is not empty

    ~QueueCore()
    {
        if (ready >= 0) close(ready);
    }

    // Called with lock held whenever messages changed.
    void UpdateReady(bool wasEmpty)
    {
        if (wasEmpty && !messages.empty()) {
            const uint64_t one = 1;
            ssize_t r = write(ready, &one, sizeof one);
            (void)r;
        } else if (!wasEmpty && messages.empty()) {
            uint64_t drained;
            ssize_t r = read(ready, &drained, sizeof drained);
            (void)r;
        }
    }

    int Put(const void* buf, uint32_t size, uint32_t flags)
    {
        std::lock_guard<std::mutex> hold(lock);
        if (closed || size > maxMessage) return 0;
        if (maxMessages != 0 && messages.size() >= maxMessages) return 0;
        const bool wasEmpty = messages.empty();
        const uint8_t* p = static_cast<const uint8_t*>(buf);
        messages.push_back(Message{std::vector<uint8_t>(p, p + size), flags});
        UpdateReady(wasEmpty);
        return 1;
    }

    // 1 = a message was taken; 0 = none; -1 = the oldest did not fit (it is
    // dropped: left in place it would be reported again and again).
    int Take(void* buf, uint32_t size, uint32_t* got, uint32_t* flags)
    {
        std::lock_guard<std::mutex> hold(lock);
        if (messages.empty()) return 0;
        Message m = std::move(messages.front());
        messages.pop_front();
        UpdateReady(false);
        if (m.bytes.size() > size) return -1;
        if (!m.bytes.empty()) std::memcpy(buf, m.bytes.data(), m.bytes.size());
        if (got != nullptr) *got = static_cast<uint32_t>(m.bytes.size());
        if (flags != nullptr) *flags = m.flags;
        return 1;
    }

    // Closes the queue: no more messages in or out, and every reader
    // blocked on it wakes (the ready descriptor stays readable).
    void Close()
    {
        std::lock_guard<std::mutex> hold(lock);
        closed = true;
        messages.clear();
        const uint64_t one = 1;
        ssize_t r = write(ready, &one, sizeof one);
        (void)r;
    }

    bool IsClosed()
    {
        std::lock_guard<std::mutex> hold(lock);
        return closed;
    }

    bool HasMessage()
    {
        std::lock_guard<std::mutex> hold(lock);
        return !messages.empty();
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

struct QueueObject : OsObject {
    std::shared_ptr<QueueCore> core;

    uint32_t Wait(uint32_t timeoutMs) override
    {
        if (OsPosixTerminationRequested() || core->IsClosed()) return OS_WAIT_FAILED;
        if (core->HasMessage()) return OS_WAIT_OBJECT_0;
        if (timeoutMs != OS_INFINITE && OsVirtualClockActive()) {
            // On a virtual clock a time-out costs no real time.
            OsSleep(timeoutMs);
            return core->HasMessage() ? OS_WAIT_OBJECT_0 : OS_WAIT_TIMEOUT;
        }
        const int r = WaitReady(*core, timeoutMs);
        if (core->IsClosed()) return OS_WAIT_FAILED;
        if (r > 0) return OS_WAIT_OBJECT_0;
        return r == 0 ? OS_WAIT_TIMEOUT : OS_WAIT_FAILED;
    }

    void Closing() override { core->Close(); }
};

// One request for mount notifications: the watcher thread and its
// descriptors.
struct NotificationObject : OsObject {
    std::shared_ptr<QueueCore> queue;
    OsGuid deviceClass{};
    int inotify = -1;
    int stop = -1;
    int folderWatch = -1;  // the volumes folder's watch, -1 while it is gone
    std::string folder;
    std::string boardFolder;
    std::set<std::string> present;   // announced as mounted; used by the watcher only
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

    void Announce(const std::string& name, bool attached)
    {
        // "\NAME" in UTF-16 with its terminator; names are plain ASCII.
        if (!board::ValidVolumeName(name)) return;
        uint8_t message[96] = {};
        std::memcpy(message, &deviceClass, 16);
        const uint32_t flag = attached ? 1 : 0;
        std::memcpy(message + 20, &flag, 4);
        const uint32_t nameBytes = static_cast<uint32_t>((name.size() + 2) * sizeof(char16_t));
        if (28 + nameBytes > sizeof message) return;
        std::memcpy(message + 24, &nameBytes, 4);
        char16_t* text = reinterpret_cast<char16_t*>(message + 28);
        text[0] = u'\\';
        for (size_t i = 0; i < name.size(); ++i) text[i + 1] = static_cast<char16_t>(name[i]);
        text[name.size() + 1] = u'\0';
        queue->Put(message, 28 + nameBytes, 0);
    }

    std::set<std::string> Listing() const
    {
        std::set<std::string> names;
        for (const std::string& name : board::Volumes()) names.insert(name);
        return names;
    }

    // Brings the announced set in line with the folder (after an overflow
    // of the event queue).
    void Resync()
    {
        const std::set<std::string> now = Listing();
        for (auto it = present.begin(); it != present.end();) {
            if (now.count(*it) == 0) {
                Announce(*it, false);
                it = present.erase(it);
            } else {
                ++it;
            }
        }
        for (const std::string& name : now)
            if (present.insert(name).second) Announce(name, true);
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

bool SameGuid(const OsGuid& a, const OsGuid& b) { return std::memcmp(&a, &b, sizeof a) == 0; }

// The class of FAT volume mounts, the only class the board announces.
constexpr OsGuid kFatMounts = {0x169E1941, 0x04CE, 0x4690,
                               {0x97, 0xAC, 0x77, 0x61, 0x87, 0xEB, 0x67, 0xCC}};

}  // namespace

Handle OsCreateMsgQueue(const wchar_t* name, const OsMsgQueueOptions* options)
{
    // Only unnamed queues exist on the board.
    if (name != nullptr || options == nullptr || options->maxMessage == 0) return nullptr;
    auto core = std::make_shared<QueueCore>();
    core->ready = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (core->ready < 0) return nullptr;
    core->maxMessages = options->maxMessages;
    core->maxMessage = options->maxMessage;
    auto* object = new QueueObject;
    object->core = std::move(core);
    return OsHandleFor(object);
}

int OsWriteMsgQueue(Handle queue, const void* buf, uint32_t size, uint32_t, uint32_t flags)
{
    const OsObjectRef ref = OsObjectFromHandle(queue);
    const QueueObject* q = ref.as<QueueObject>();
    if (q == nullptr || (buf == nullptr && size != 0)) return 0;
    return q->core->Put(buf, size, flags);
}

int OsReadMsgQueue(Handle queue, void* buf, uint32_t size, uint32_t* read, uint32_t timeoutMs,
                   uint32_t* flags)
{
    const OsObjectRef ref = OsObjectFromHandle(queue);
    const QueueObject* q = ref.as<QueueObject>();
    if (q == nullptr || buf == nullptr) return 0;
    const std::shared_ptr<QueueCore> core = q->core;
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
        const int w = WaitReady(*core, timeoutMs);
        if (w < 0) return 0;
        if (w == 0) waited = true;
    }
}

int OsCloseMsgQueue(Handle queue)
{
    if (OsObjectFromHandle(queue).as<QueueObject>() == nullptr) return 0;
    return OsCloseHandle(queue);
}

Handle OsRequestDeviceNotifications(const OsGuid* deviceClass, Handle queue, int all)
{
    const OsObjectRef ref = OsObjectFromHandle(queue);
    const QueueObject* q = ref.as<QueueObject>();
    if (q == nullptr || deviceClass == nullptr || !SameGuid(*deviceClass, kFatMounts))
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
    // The volumes present now are known either way, so that their removal
    // is announced; their mounts only when asked for.
    for (const std::string& name : n->Listing()) {
        n->present.insert(name);
        if (all) n->Announce(name, true);
    }
    NotificationObject* raw = n.get();
    try {
        n->watcher = std::thread([raw] { raw->Run(); });
    } catch (...) {
        return nullptr;
    }
    return OsHandleFor(n.release());
}

int OsStopDeviceNotifications(Handle notifications)
{
    if (OsObjectFromHandle(notifications).as<NotificationObject>() == nullptr) return 0;
    // Closing stops and joins the watcher.
    return OsCloseHandle(notifications);
}
