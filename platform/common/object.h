// Kernel objects, the same for both backends. Every Handle of the platform
// points to an OsObject (never a host descriptor or Win32 HANDLE); each
// role derives its own kind (mutex, thread, file, search, store, queue,
// notification, process), and a kind that wraps a host object keeps it
// inside. Every object is registered in one process-wide table, so a
// stale, closed or foreign pointer is recognised and refused instead of
// being dereferenced.
#pragma once
#include <atomic>
#include <cstdint>
#include <functional>

#include "platform/types.h"

struct OsObject {
    // The handle's reference plus one for each call using the object, so
    // that closing the handle while another thread waits on it or reads
    // from it never frees the object under that thread.
    std::atomic<uint32_t> refs{1};
    virtual ~OsObject() = default;
    // Waits for the object to be signalled (see OsWaitForSingleObject).
    // Objects that cannot be waited on answer OS_WAIT_FAILED.
    virtual uint32_t Wait(uint32_t /*timeoutMs*/) { return OS_WAIT_FAILED; }
    // The handle was closed: calls still using the object should end soon
    // (a blocked reader wakes and fails). Called once; must not block.
    virtual void Closing() {}
};

// A counted use of a live object.
class OsObjectRef {
public:
    OsObjectRef() = default;
    explicit OsObjectRef(OsObject* object) : object_(object) {}
    OsObjectRef(OsObjectRef&& other) noexcept : object_(other.object_) { other.object_ = nullptr; }
    OsObjectRef(const OsObjectRef&) = delete;
    OsObjectRef& operator=(const OsObjectRef&) = delete;
    ~OsObjectRef();
    OsObject* get() const { return object_; }
    // The object as kind T, or nullptr when it is none (or there is none).
    template <class T>
    T* as() const
    {
        return dynamic_cast<T*>(object_);
    }
private:
    OsObject* object_ = nullptr;
};

// The object behind a handle, counted as in use, or an empty reference for
// nullptr, OS_INVALID_HANDLE or a pointer that is no live object.
OsObjectRef OsObjectFromHandle(Handle h);

// Registers a new object and returns its handle; OsCloseHandle deletes it.
Handle OsHandleFor(OsObject* object);

// Whether the program is being ended: a termination request of the
// backend (a signal, a console's Ctrl-C, a wait for the flash given up).
bool OsTerminationRequested();

// The wait loop of every waitable object: asks ready() (at least once,
// before the termination check) until it answers true (OS_WAIT_OBJECT_0),
// timeoutMs of the installed clock have passed (OS_WAIT_TIMEOUT) or
// termination was requested (OS_WAIT_FAILED). A finite wait advances in
// OsSleep(1) steps (no real time on a virtual clock); an OS_INFINITE wait
// that pauses in real time sleeps on `object` (a host object signalled
// exactly while ready() holds) or backs off from 1 ms to 10 ms.
uint32_t OsWaitUntil(uint32_t timeoutMs, const std::function<bool()>& ready, void* object = nullptr);

// The backend's half of the wait loop. Whether an OS_INFINITE wait pauses
// in real time (else it steps the installed clock like a finite one).
bool OsInfiniteWaitPausesInRealTime();
// Sleeps up to pauseMs of real time (OS_INFINITE: no limit); returns early
// once termination is requested or `object` (a HANDLE on Win32, an int*
// descriptor on POSIX, or nullptr) is signalled.
void OsPauseUnlessEnding(uint32_t pauseMs, void* object);
