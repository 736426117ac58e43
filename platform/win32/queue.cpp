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
#include "platform/common/msg_queue.h"
#include "platform/queue.h"

namespace {

// The queue with its manual-reset event (set while the queue is ready).
struct QueueCore : OsQueueCore {
    HANDLE ready = nullptr;

    ~QueueCore() override
    {
        if (ready != nullptr)
            CloseHandle(ready);
    }
    void* Signal() override { return ready; }

protected:
    void SetReady(bool isReady) override
    {
        if (isReady)
            SetEvent(ready);
        else
            ResetEvent(ready);
    }
};

// One request for mount notifications: the watcher thread and its events.
struct NotificationObject : OsMountNotifications {
    HANDLE stop = nullptr;

    ~NotificationObject() override
    {
        if (watcher.joinable()) {
            SetEvent(stop);
            watcher.join();
        }
        if (stop != nullptr)
            CloseHandle(stop);
    }

    bool Open() override
    {
        stop = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        return stop != nullptr;
    }

    void Run() override
    {
        // Every 50 ms of real time, until stopped.
        while (WaitForSingleObject(stop, 50) == WAIT_TIMEOUT)
            Resync();
    }
};

}  // namespace

std::shared_ptr<OsQueueCore> OsNewQueueCore()
{
    auto core = std::make_shared<QueueCore>();
    core->ready = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (core->ready == nullptr)
        return nullptr;
    return core;
}

OsMountNotifications* OsNewMountNotifications()
{
    return new NotificationObject;
}
