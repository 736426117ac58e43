// Message queues and device notifications of the Win32 backend.
//
// A queue's signal is a manual-reset event set exactly while the queue is
// ready, so a wait sleeps on it together with the termination event.
//
// A watcher thread per mount request compares the board's volume records
// with what it announced every 50 ms. It polls because a change handle
// holds the folder open, and under Wine a folder held so cannot be
// deleted. A volume mounted and removed within one period goes unannounced.
#include <windows.h>

#include <memory>

#include "board/win32/include/board_posix.h"
#include "platform/common/msg_queue.h"
#include "platform/queue.h"

namespace {

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
