// Message queues and device notifications of the Win32 backend (the
// queue's messages and the notification records are shared with the Linux
// backend: platform/common/msg_queue.cpp).
//
// A queue's signal is a manual-reset event that is set exactly while the
// queue is ready (a message waits, or it is closed), so
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

#include <memory>
#include <thread>

#include "board/win32/include/board_posix.h"
#include "platform/clock.h"
#include "platform/common/msg_queue.h"
#include "platform/queue.h"
#include "platform/sync.h"
#include "platform/win32/object.h"

namespace {

// The queue with its manual-reset event (set while the queue is ready).
struct QueueCore : OsQueueCore {
    HANDLE ready = nullptr;

    ~QueueCore() override
    {
        if (ready != nullptr)
            CloseHandle(ready);
    }

protected:
    void SetReady(bool isReady) override
    {
        if (isReady)
            SetEvent(ready);
        else
            ResetEvent(ready);
    }
};

struct QueueObject : OsQueueObject {
    QueueCore* Core() const { return static_cast<QueueCore*>(core.get()); }

    uint32_t Wait(uint32_t timeoutMs) override
    {
        if (OsWin32TerminationRequested() || core->IsClosed())
            return OS_WAIT_FAILED;
        const std::shared_ptr<OsQueueCore> c = core;
        const uint32_t r = OsWin32WaitUntil(
            timeoutMs, [c] { return c->IsClosed() || c->HasMessage(); }, Core()->ready);
        if (c->IsClosed())
            return OS_WAIT_FAILED;
        return r;
    }
};

// One request for mount notifications: the watcher thread and its events.
struct NotificationObject : OsMountNotifications {
    HANDLE stop = nullptr;
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

    void Run()
    {
        // Every 50 ms of real time, until stopped.
        while (WaitForSingleObject(stop, 50) == WAIT_TIMEOUT)
            Resync();
    }
};

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
    core->SetLimits(options->maxMessages, options->maxMessage);
    auto* object = new QueueObject;
    object->core = std::move(core);
    return OsHandleFor(object);
}

int OsReadMsgQueue(Handle queue, void* buf, uint32_t size, uint32_t* read, uint32_t timeoutMs, uint32_t* flags)
{
    const OsObjectRef ref = OsObjectFromHandle(queue);
    const QueueObject* q = ref.as<QueueObject>();
    if (q == nullptr || buf == nullptr)
        return 0;
    const std::shared_ptr<OsQueueCore> core = q->core;
    HANDLE ready = q->Core()->ready;
    const int r = core->Take(buf, size, read, flags);
    if (r != 0)
        return r > 0 ? 1 : 0;
    if (core->IsClosed())
        return 0;
    // One wait of the whole time-out (on the installed clock), then one
    // more look: a message another reader took meanwhile is gone for us.
    OsWin32WaitUntil(
        timeoutMs, [core] { return core->IsClosed() || core->HasMessage(); }, ready);
    return core->Take(buf, size, read, flags) > 0 ? 1 : 0;
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
    n->stop = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (n->stop == nullptr)
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
