// Message queues and device notifications of the Win32 backend.
//
// A queue is a list of messages under a lock plus a manual-reset event that
// is set exactly while the list is not empty (or the queue is closed), so
// that a wait on the real clock sleeps on it together with the termination
// event; on a virtual clock the waits advance that clock instead.
//
// Mount notifications come from the board's volumes folder: a record file
// appears there once a volume is mounted under rootfs and disappears once it
// is gone. A watcher thread per request compares the records with the
// volumes it announced, every 50 ms of real time, and sleeps on its stop
// event in between. It polls rather than watching the folder: a change
// handle (FindFirstChangeNotificationW, ReadDirectoryChangesW) holds the
// folder open, and under Wine a folder held so cannot be deleted; and a
// folder that is deleted and made again, or made only after the request,
// would need a new handle anyway. Each look is complete in itself, so a
// volume mounted and removed within one period is announced neither way.
#include <windows.h>

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
#include "board/win32/include/board_posix.h"
#include "platform/clock.h"
#include "platform/queue.h"
#include "platform/sync.h"
#include "platform/win32/object.h"

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
    HANDLE ready = nullptr;   // set while messages is not empty or closed

    ~QueueCore()
    {
        if (ready != nullptr)
            CloseHandle(ready);
    }

    void UpdateReady()
    {
        if (closed || !messages.empty())
            SetEvent(ready);
        else
            ResetEvent(ready);
    }

    int Put(const void* buf, uint32_t size, uint32_t flags)
    {
        std::lock_guard<std::mutex> hold(lock);
        if (closed || size > maxMessage)
            return 0;
        if (maxMessages != 0 && messages.size() >= maxMessages)
            return 0;
        const uint8_t* p = static_cast<const uint8_t*>(buf);
        messages.push_back(Message{std::vector<uint8_t>(p, p + size), flags});
        UpdateReady();
        return 1;
    }

    // 1 = a message was taken; 0 = none; -1 = the oldest did not fit (it is
    // dropped: left in place it would be reported again and again).
    int Take(void* buf, uint32_t size, uint32_t* got, uint32_t* flags)
    {
        std::lock_guard<std::mutex> hold(lock);
        if (messages.empty())
            return 0;
        Message m = std::move(messages.front());
        messages.pop_front();
        UpdateReady();
        if (m.bytes.size() > size)
            return -1;
        if (!m.bytes.empty())
            std::memcpy(buf, m.bytes.data(), m.bytes.size());
        if (got != nullptr)
            *got = static_cast<uint32_t>(m.bytes.size());
        if (flags != nullptr)
            *flags = m.flags;
        return 1;
    }

    void Close()
    {
        std::lock_guard<std::mutex> hold(lock);
        closed = true;
        messages.clear();
        UpdateReady();
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

struct QueueObject : OsObject {
    std::shared_ptr<QueueCore> core;

    uint32_t Wait(uint32_t timeoutMs) override
    {
        if (OsWin32TerminationRequested() || core->IsClosed())
            return OS_WAIT_FAILED;
        const std::shared_ptr<QueueCore> c = core;
        const uint32_t r = OsWin32WaitUntil(
            timeoutMs, [c] { return c->IsClosed() || c->HasMessage(); }, c->ready);
        if (c->IsClosed())
            return OS_WAIT_FAILED;
        return r;
    }

    void Closing() override { core->Close(); }
};

// The class of FAT volume mounts, the only class the board announces.
constexpr OsGuid kFatMounts = {0x169E1941, 0x04CE, 0x4690, {0x97, 0xAC, 0x77, 0x61, 0x87, 0xEB, 0x67, 0xCC}};

// One request for mount notifications: the watcher thread and its events.
struct NotificationObject : OsObject {
    std::shared_ptr<QueueCore> queue;
    OsGuid deviceClass{};
    HANDLE stop = nullptr;
    std::set<std::string> present;     // announced as mounted; the watcher's only
    std::thread watcher;

    ~NotificationObject() override
    {
        if (watcher.joinable()) {
            SetEvent(stop);
            watcher.join();
        }
        if (stop != nullptr)
            CloseHandle(stop);
    }

    void Announce(const std::string& name, bool attached)
    {
        // "\NAME" in UTF-16 with its terminator; names are plain ASCII.
        if (!board::ValidVolumeName(name))
            return;
        uint8_t message[96] = {};
        std::memcpy(message, &deviceClass, 16);
        const uint32_t flag = attached ? 1 : 0;
        std::memcpy(message + 20, &flag, 4);
        const uint32_t nameBytes = static_cast<uint32_t>((name.size() + 2) * sizeof(char16_t));
        if (28 + nameBytes > sizeof message)
            return;
        std::memcpy(message + 24, &nameBytes, 4);
        char16_t* text = reinterpret_cast<char16_t*>(message + 28);
        text[0] = u'\\';
        for (size_t i = 0; i < name.size(); ++i)
            text[i + 1] = static_cast<char16_t>(name[i]);
        text[name.size() + 1] = u'\0';
        queue->Put(message, 28 + nameBytes, 0);
    }

    // Brings the announced set in line with the records: removals first,
    // then mounts, each once.
    void Resync()
    {
        std::set<std::string> now;
        for (const std::string& name : board::Volumes())
            now.insert(name);
        for (auto it = present.begin(); it != present.end();) {
            if (now.count(*it) == 0) {
                Announce(*it, false);
                it = present.erase(it);
            } else {
                ++it;
            }
        }
        for (const std::string& name : now)
            if (present.insert(name).second)
                Announce(name, true);
    }

    void Run()
    {
        // Every 50 ms of real time, until stopped.
        while (WaitForSingleObject(stop, 50) == WAIT_TIMEOUT)
            Resync();
    }
};

bool SameGuid(const OsGuid& a, const OsGuid& b)
{
    return std::memcmp(&a, &b, sizeof a) == 0;
}

}  // namespace

Handle OsCreateMsgQueue(const wchar_t* name, const OsMsgQueueOptions* options)
{
    // Only unnamed queues exist on the board.
    if (name != nullptr || options == nullptr || options->maxMessage == 0)
        return nullptr;
    auto core = std::make_shared<QueueCore>();
    core->ready = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (core->ready == nullptr)
        return nullptr;
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
    if (q == nullptr || (buf == nullptr && size != 0))
        return 0;
    return q->core->Put(buf, size, flags);
}

int OsReadMsgQueue(Handle queue, void* buf, uint32_t size, uint32_t* read, uint32_t timeoutMs, uint32_t* flags)
{
    const OsObjectRef ref = OsObjectFromHandle(queue);
    const QueueObject* q = ref.as<QueueObject>();
    if (q == nullptr || buf == nullptr)
        return 0;
    const std::shared_ptr<QueueCore> core = q->core;
    const int r = core->Take(buf, size, read, flags);
    if (r != 0)
        return r > 0 ? 1 : 0;
    if (core->IsClosed())
        return 0;
    // One wait of the whole time-out (on the installed clock), then one
    // more look: a message another reader took meanwhile is gone for us.
    OsWin32WaitUntil(
        timeoutMs, [core] { return core->IsClosed() || core->HasMessage(); }, core->ready);
    return core->Take(buf, size, read, flags) > 0 ? 1 : 0;
}

int OsCloseMsgQueue(Handle queue)
{
    if (OsObjectFromHandle(queue).as<QueueObject>() == nullptr)
        return 0;
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
    n->stop = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (n->stop == nullptr)
        return nullptr;
    // The volumes present now are known either way, so that their removal
    // is announced; their mounts only when asked for.
    for (const std::string& name : board::Volumes()) {
        n->present.insert(name);
        if (all)
            n->Announce(name, true);
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
    if (OsObjectFromHandle(notifications).as<NotificationObject>() == nullptr)
        return 0;
    // Closing stops and joins the watcher.
    return OsCloseHandle(notifications);
}
