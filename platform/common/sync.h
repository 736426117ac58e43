// Mutexes, the bookkeeping both backends share. What makes a named mutex
// one lock for every program of the board is the backend's OsMutexHold.
#pragma once
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/common/object.h"

// The backend's cross-process part of a mutex.
struct OsMutexHold {
    virtual ~OsMutexHold() = default;
    // One attempt to take it for this process; never blocks.
    virtual bool Take() = 0;
    // Gives it back (this process no longer holds it).
    virtual void Give() = 0;
    // A hold inherited through fork() is the parent's: a thread that ends
    // here leaves it alone.
    virtual bool Inherited() const { return false; }
};

// One per name and process.
struct OsMutexState {
    std::mutex lock;                    // guards the fields below
    uint64_t owner = 0;                 // OsThreadKey of the holder; 0 when free here
    uint32_t count = 0;                 // recursion depth of the owner
    std::unique_ptr<OsMutexHold> hold;

    // One attempt to take the mutex for the calling thread. *first is set
    // when the thread did not hold it before.
    bool TryAcquire(bool* first);
    // *last is set when the thread no longer holds it.
    bool Release(bool* last);
    // The calling thread ends: whatever it still holds is given up, as on
    // the device, so a waiter (or a new thread with the same key) is not stuck.
    void Abandon();
};

// The mutexes that one thread holds; given up when it ends.
struct OsHeldMutexes {
    std::vector<std::weak_ptr<OsMutexState>> held;

    void Add(const std::shared_ptr<OsMutexState>& state) { held.push_back(state); }
    void Remove(const OsMutexState* state);
    ~OsHeldMutexes();
};

// A wait for the board's flash mutex that lasts beyond the grace time is
// said, and Ctrl-C then cancels it.
constexpr uint32_t kFlashWaitGraceMs = 500;
constexpr wchar_t kFlashLockName[] = L"NorFlash";
constexpr char kFlashWaitText[] = "Waiting for the Flash: another program is using it";
// The backend's presentation of such a wait, on the waiting thread: it
// begins (say text, take Ctrl-C from now on), whether it was cancelled
// since, and it ends (Ctrl-C goes where it went before).
void OsFlashWaitBegins(const char* text);
bool OsFlashWaitCancelled();
void OsFlashWaitEnds();

// The board's lock file of the named mutex name (UTF-8), opened for reading
// and writing, and made (with the board's locks/ folder) where it is
// missing. -1 when it cannot be, the reason noted for the box that reports
// the flash out of reach.
int OsOpenMutexLockFile(const std::string& name);

// The backend's: the calling thread, never 0; its held mutexes; and the
// state of a named mutex, found or made.
uint64_t OsThreadKey();
OsHeldMutexes& OsHeldByThisThread();
std::shared_ptr<OsMutexState> OsOpenMutexState(const wchar_t* name);
