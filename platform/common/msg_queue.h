// Message queues and mount notifications, the parts both backends share;
// how a wait sleeps and how volumes are watched is the backend's.
#pragma once
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "platform/common/object.h"
#include "platform/queue.h"

// The queue itself, shared by its handle and the watchers that write into
// it. The backend's kind keeps a signal set exactly while the queue is
// ready (a message waits, or it is closed): OsWaitUntil's object.
class OsQueueCore {
public:
    virtual ~OsQueueCore() = default;
    virtual void* Signal() = 0;
    // Puts a message of at most maxMessage bytes at the end. 1/0.
    int Put(const void* buf, uint32_t size, uint32_t flags);
    // 1 = a message was taken; 0 = none; -1 = the oldest did not fit (it is
    // dropped: left in place it would be reported again and again).
    int Take(void* buf, uint32_t size, uint32_t* got, uint32_t* flags);
    // Closes the queue: no more messages in or out, and every reader
    // blocked on it wakes (the signal stays set).
    void Close();
    bool IsClosed();
    bool HasMessage();

    uint32_t maxMessage = 0;   // the largest message in bytes; set before the queue is shared

protected:
    // The queue became ready (true) or stopped being so. Called with the
    // queue's lock held, on every change only.
    virtual void SetReady(bool ready) = 0;

private:
    struct Message {
        std::vector<uint8_t> bytes;
        uint32_t flags;
    };
    // Requires lock_.
    void UpdateReady();

    std::mutex lock_;
    std::deque<Message> messages_;
    bool closed_ = false;
    bool ready_ = false;
};

// A queue's handle.
struct OsQueueObject : OsObject {
    std::shared_ptr<OsQueueCore> core;
    void Closing() override { core->Close(); }
    uint32_t Wait(uint32_t timeoutMs) override;
};

// The backend's: a new queue with its signal, or nullptr.
std::shared_ptr<OsQueueCore> OsNewQueueCore();

// One request for mount notifications; the backend's kind watches the
// board's volumes and stops and joins its watcher when destroyed.
struct OsMountNotifications : OsObject {
    std::shared_ptr<OsQueueCore> queue;
    OsGuid deviceClass{};
    std::set<std::string> present;   // announced as mounted; the watcher's only
    std::thread watcher;             // runs Run()

    // Makes what the watcher waits on; false when that failed.
    virtual bool Open() = 0;
    // The watcher: announces changes until the request is stopped.
    virtual void Run() = 0;

    // Writes the record of a volume's mount or removal into the queue.
    void Announce(const std::string& name, bool attached);
    // Brings the announced set in line with the board's volumes, removals
    // first; false (nothing changed, resyncError says why) when they cannot be listed.
    bool Resync();
    std::string resyncError;
};

// The backend's: a new request, not yet open.
OsMountNotifications* OsNewMountNotifications();

