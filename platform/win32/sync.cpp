// Threads and named mutexes of the Win32 backend.
//
// A named mutex is a real Win32 mutex (CreateMutexW), named after the
// board's identity and the device's name, so that two boards never share
// "NorFlash" while every program of one board does. Its holder also takes
// the board's lock file of that name (board::LockFilePath), the lock that
// the board's own HAL takes around its registry flush, so that the HAL and
// a program holding the mutex exclude each other as on the device. A
// thread that ends holding the mutex abandons it: Windows gives it to the
// next waiter (WAIT_ABANDONED), and the lock file is given up with it.
#include <windows.h>

#include <fcntl.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cwchar>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "board/board.h"
#include "platform/clock.h"
#include "platform/sync.h"
#include "platform/text.h"
#include "platform/win32/object.h"

namespace {

// ---- threads ----

struct ThreadObject : OsObject {
    HANDLE thread = nullptr;

    ~ThreadObject() override
    {
        if (thread)
            CloseHandle(thread);
    }

    uint32_t Wait(uint32_t timeoutMs) override
    {
        return OsWin32WaitUntil(
            timeoutMs, [this] { return WaitForSingleObject(thread, 0) == WAIT_OBJECT_0; }, thread);
    }
};

struct ThreadStart {
    OsThreadRoutine routine;
    void* param;
};

void GiveBackHeldMutexes();

DWORD WINAPI ThreadMain(void* p)
{
    std::unique_ptr<ThreadStart> start(static_cast<ThreadStart*>(p));
    DWORD result = start->routine(start->param);
    GiveBackHeldMutexes();   // a holder that ends releases what it holds
    return result;
}

// ---- named mutexes ----

// One per name and process (unnamed mutexes: one per creation).
struct MutexState {
    std::mutex lock;         // guards the fields below
    HANDLE mutex = nullptr;  // the Win32 mutex
    DWORD owner = 0;         // thread id of the holder in this process
    uint32_t count = 0;      // recursion depth of the owner
    int fd = -1;             // the board's lock file; -1 for an unnamed mutex

    ~MutexState()
    {
        if (fd >= 0)
            board::close(fd);
        if (mutex)
            CloseHandle(mutex);
    }

    bool TryAcquire(bool* first)
    {
        std::lock_guard<std::mutex> guard(lock);
        const DWORD me = GetCurrentThreadId();
        *first = false;
        if (count > 0) {
            if (owner != me)
                return false;
            ++count;
            return true;
        }
        DWORD rc = WaitForSingleObject(mutex, 0);
        if (rc != WAIT_OBJECT_0 && rc != WAIT_ABANDONED)
            return false;
        if (fd >= 0 && board::flock(fd, LOCK_EX | LOCK_NB) != 0) {
            ReleaseMutex(mutex);
            return false;
        }
        owner = me;
        count = 1;
        *first = true;
        return true;
    }

    bool Release(bool* last)
    {
        std::lock_guard<std::mutex> guard(lock);
        *last = false;
        if (count == 0 || owner != GetCurrentThreadId())
            return false;
        if (--count == 0) {
            owner = 0;
            if (fd >= 0)
                board::flock(fd, LOCK_UN);
            ReleaseMutex(mutex);
            *last = true;
        }
        return true;
    }

    // The calling thread ends holding it: Windows abandons the mutex; the
    // lock file goes with it.
    void Abandon()
    {
        std::lock_guard<std::mutex> guard(lock);
        if (count == 0 || owner != GetCurrentThreadId())
            return;
        count = 0;
        owner = 0;
        if (fd >= 0)
            board::flock(fd, LOCK_UN);
        ReleaseMutex(mutex);
    }
};

struct HeldMutexes {
    std::vector<std::weak_ptr<MutexState>> held;

    void Add(const std::shared_ptr<MutexState>& state) { held.push_back(state); }

    void Remove(const MutexState* state)
    {
        for (auto it = held.begin(); it != held.end();) {
            std::shared_ptr<MutexState> s = it->lock();
            if (!s || s.get() == state)
                it = held.erase(it);
            else
                ++it;
        }
    }

    ~HeldMutexes()
    {
        for (const std::weak_ptr<MutexState>& w : held)
            if (std::shared_ptr<MutexState> s = w.lock())
                s->Abandon();
    }
};

// A pointer, not the object: under MinGW a thread_local with a destructor of
// its own (emutls) corrupts the heap when a thread made by CreateThread ends
// (seen under Wine). The threads of OsCreateThread give theirs back when
// their routine returns; the main thread's goes with the process.
thread_local HeldMutexes* heldByThisThread = nullptr;

HeldMutexes& HeldByThisThread()
{
    if (!heldByThisThread)
        heldByThisThread = new HeldMutexes;
    return *heldByThisThread;
}

void GiveBackHeldMutexes()
{
    delete heldByThisThread;
    heldByThisThread = nullptr;
}

std::mutex namedLock;
std::vector<std::pair<std::wstring, std::weak_ptr<MutexState>>> namedStates;

struct MutexObject : OsObject {
    std::shared_ptr<MutexState> state;

    uint32_t Wait(uint32_t timeoutMs) override
    {
        return OsWin32WaitUntil(timeoutMs, [this] {
            bool first = false;
            if (!state->TryAcquire(&first))
                return false;
            if (first)
                HeldByThisThread().Add(state);
            return true;
        });
    }
};

// The board's identity: its folder as the file system names it (the same
// folder reached by two spellings is one board), hashed.
std::wstring BoardIdentity()
{
    std::string dir = board::Dir();
    if (char* real = board::realpath(dir.c_str(), nullptr)) {
        dir = real;
        std::free(real);
    }
    uint64_t h = 0xcbf29ce484222325ull;
    for (unsigned char c : dir) {
        if (c >= 'A' && c <= 'Z')
            c = static_cast<unsigned char>(c + 32);
        if (c == '\\')
            c = '/';
        h = (h ^ c) * 0x100000001b3ull;
    }
    wchar_t buf[32];
    std::swprintf(buf, 32, L"%016llx", static_cast<unsigned long long>(h));
    return buf;
}

void MakeParents(const std::string& path)
{
    for (size_t slash = path.find('/', 1); slash != std::string::npos; slash = path.find('/', slash + 1))
        board::mkdir(path.substr(0, slash).c_str(), 0755);
}

std::shared_ptr<MutexState> OpenNamedState(const wchar_t* name)
{
    // A name of the device may hold any character but '\'; in the Win32
    // name space it follows the board's identity.
    std::wstring objectName = L"Local\\boardsim-" + BoardIdentity() + L"-";
    for (const wchar_t* p = name; *p; ++p)
        objectName += *p == L'\\' ? L'/' : *p;
    std::lock_guard<std::mutex> guard(namedLock);
    for (auto it = namedStates.begin(); it != namedStates.end();) {
        std::shared_ptr<MutexState> s = it->second.lock();
        if (!s) {
            it = namedStates.erase(it);
            continue;
        }
        if (it->first == objectName)
            return s;
        ++it;
    }
    char utf8[1024];
    size_t length = OsNarrowUtf8(name, utf8, sizeof utf8);
    if (length + 1 >= sizeof utf8)
        return nullptr;
    auto state = std::make_shared<MutexState>();
    state->mutex = CreateMutexW(nullptr, FALSE, objectName.c_str());
    if (!state->mutex)
        return nullptr;
    const std::string path = board::LockFilePath(utf8);
    int fd = board::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
    if (fd < 0 && errno == ENOENT) {
        MakeParents(path);
        fd = board::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
    }
    if (fd < 0)
        return nullptr;
    state->fd = fd;
    namedStates.emplace_back(objectName, state);
    return state;
}

}  // namespace

Handle OsCreateThread(OsThreadRoutine routine, void* param)
{
    if (routine == nullptr)
        return nullptr;
    auto start = std::make_unique<ThreadStart>(ThreadStart{routine, param});
    HANDLE thread = CreateThread(nullptr, 0, ThreadMain, start.get(), 0, nullptr);
    if (!thread)
        return nullptr;
    start.release();
    auto object = std::make_unique<ThreadObject>();
    object->thread = thread;
    return OsHandleFor(object.release());
}

Handle OsCreateMutex(const wchar_t* name)
{
    auto object = std::make_unique<MutexObject>();
    if (name == nullptr || name[0] == 0) {
        object->state = std::make_shared<MutexState>();
        object->state->mutex = CreateMutexW(nullptr, FALSE, nullptr);
        if (!object->state->mutex)
            return nullptr;
    } else {
        object->state = OpenNamedState(name);
        if (!object->state)
            return nullptr;
    }
    return OsHandleFor(object.release());
}

int OsReleaseMutex(Handle mutex)
{
    OsObjectRef ref = OsObjectFromHandle(mutex);
    auto* object = ref.as<MutexObject>();
    if (object == nullptr)
        return 0;
    bool last = false;
    if (!object->state->Release(&last))
        return 0;
    if (last)
        HeldByThisThread().Remove(object->state.get());
    return 1;
}

uint32_t OsWaitForSingleObject(Handle h, uint32_t timeoutMs)
{
    OsObjectRef ref = OsObjectFromHandle(h);
    if (ref.get() == nullptr)
        return OS_WAIT_FAILED;
    return ref.get()->Wait(timeoutMs);
}

int OsSleepUnlessEnding(uint32_t ms)
{
    if (OsWin32TerminationRequested())
        return 0;
    if (OsVirtualClockActive()) {
        OsSleep(ms);
        return OsWin32TerminationRequested() ? 0 : 1;
    }
    constexpr uint32_t kSliceMs = 50;
    while (ms != 0) {
        uint32_t slice = ms < kSliceMs ? ms : kSliceMs;
        OsSleep(slice);
        ms -= slice;
        if (OsWin32TerminationRequested())
            return 0;
    }
    return 1;
}
