// Kernel objects of the Win32 backend. Every Handle of the platform points
// to an OsObject (never a Win32 HANDLE: the programs' handles are the
// platform's, checked against a table, so that a stale or foreign value is
// refused). Each role derives its own kind; a kind that wraps a Win32
// object keeps its HANDLE inside.
#pragma once
#include <atomic>
#include <cstdint>
#include <functional>

#include "platform/types.h"

struct OsObject {
    static constexpr uint32_t kMagic = 0x4F534F42;
    uint32_t magic = kMagic;
    // The handle's reference plus one for each call using the object.
    std::atomic<uint32_t> refs{1};
    virtual ~OsObject() { magic = 0; }
    // Waits for the object to be signalled (see OsWaitForSingleObject).
    virtual uint32_t Wait(uint32_t /*timeoutMs*/) { return OS_WAIT_FAILED; }
    // The handle was closed: calls still using the object should end soon.
    virtual void Closing() {}
};

class OsObjectRef {
public:
    OsObjectRef() = default;
    explicit OsObjectRef(OsObject* object) : object_(object) {}
    OsObjectRef(OsObjectRef&& other) noexcept : object_(other.object_) { other.object_ = nullptr; }
    OsObjectRef& operator=(OsObjectRef&& other) noexcept;
    OsObjectRef(const OsObjectRef&) = delete;
    OsObjectRef& operator=(const OsObjectRef&) = delete;
    ~OsObjectRef();
    OsObject* get() const { return object_; }
    template <class T>
    T* as() const
    {
        return dynamic_cast<T*>(object_);
    }
private:
    OsObject* object_ = nullptr;
};

OsObjectRef OsObjectFromHandle(Handle h);
Handle OsHandleFor(OsObject* object);

// Termination requests: Ctrl-C, Ctrl-Break or the console closed (and
// SIGINT/SIGTERM raised in the process). The event (manual reset) is set
// once termination was requested, so that blocking waits can wait on it
// too and fail. Returned as void* (a HANDLE) to keep <windows.h> out.
void OsWin32RequestTermination();
bool OsWin32TerminationRequested();
void* OsWin32TerminationEvent();
// Installs the console control handler that requests termination.
void OsWin32InstallTerminationHandlers();

// The common wait loop (as the POSIX backend's): asks ready() until it
// answers true (OS_WAIT_OBJECT_0), timeoutMs of the installed clock have
// passed (OS_WAIT_TIMEOUT) or termination was requested (OS_WAIT_FAILED).
// A finite wait advances in OsSleep(1) steps, so on a virtual clock it
// costs no real time; an OS_INFINITE wait sleeps on the termination event
// (and on `object`, a HANDLE, when given) between tries.
uint32_t OsWin32WaitUntil(uint32_t timeoutMs, const std::function<bool()>& ready, void* object = nullptr);
