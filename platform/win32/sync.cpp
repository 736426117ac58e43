// Threads and named mutexes of the Win32 backend.
//
// A named mutex is a Win32 mutex named after the board's identity and the
// device's name (two boards never share "NorFlash"). Its holder also takes
// the board's lock file of that name, which the board's HAL takes around
// its registry flush. A holder that ends abandons both.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cwchar>
#include <atomic>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "board/board.h"
#include "platform/common/sync.h"
#include "platform/host/text.h"
#include "platform/sync.h"
#include "platform/win32/object.h"
#include "platform/win32/run_channel.h"

namespace {

struct ThreadObject : OsObject {
    HANDLE thread = nullptr;

    ~ThreadObject() override
    {
        if (thread)
            CloseHandle(thread);
    }

    uint32_t Wait(uint32_t timeoutMs) override
    {
        return OsWaitUntil(
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

// The Win32 mutex and the board's lock file of its name.
struct Win32MutexHold : OsMutexHold {
    HANDLE mutex = nullptr;
    int fd = -1;

    ~Win32MutexHold() override
    {
        if (fd >= 0)
            board::close(fd);
        if (mutex)
            CloseHandle(mutex);
    }

    bool Take() override
    {
        DWORD rc = WaitForSingleObject(mutex, 0);
        if (rc != WAIT_OBJECT_0 && rc != WAIT_ABANDONED)
            return false;
        if (board::flock(fd, LOCK_EX | LOCK_NB) != 0) {
            ReleaseMutex(mutex);
            return false;
        }
        return true;
    }

    // Also when the holder ends: Windows abandons the mutex, and the lock
    // file goes with it.
    void Give() override
    {
        board::flock(fd, LOCK_UN);
        ReleaseMutex(mutex);
    }
};

// A pointer, not the object: under MinGW a thread_local with a destructor of
// its own (emutls) corrupts the heap when a thread made by CreateThread ends
// (seen under Wine). The threads of OsCreateThread give theirs back when
// their routine returns; the main thread's goes with the process.
thread_local OsHeldMutexes* heldByThisThread = nullptr;

void GiveBackHeldMutexes()
{
    delete heldByThisThread;
    heldByThisThread = nullptr;
}

std::mutex namedLock;
std::map<std::wstring, std::weak_ptr<OsMutexState>> namedStates;

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

}  // namespace

std::shared_ptr<OsMutexState> OsOpenMutexState(const wchar_t* name)
{
    // A name of the device may hold any character but '\'; in the Win32
    // name space it follows the board's identity.
    std::wstring objectName = L"Local\\boardsim-" + BoardIdentity() + L"-";
    for (const wchar_t* p = name; *p; ++p)
        objectName += *p == L'\\' ? L'/' : *p;
    std::lock_guard<std::mutex> guard(namedLock);
    std::weak_ptr<OsMutexState>& slot = namedStates[objectName];
    if (std::shared_ptr<OsMutexState> state = slot.lock())
        return state;
    char utf8[1024];
    size_t length = OsNarrowUtf8(name, utf8, sizeof utf8);
    if (length + 1 >= sizeof utf8)
        return nullptr;
    auto hold = std::make_unique<Win32MutexHold>();
    hold->mutex = CreateMutexW(nullptr, FALSE, objectName.c_str());
    if (!hold->mutex)
        return nullptr;
    hold->fd = OsOpenMutexLockFile(utf8);
    if (hold->fd < 0)
        return nullptr;
    auto state = std::make_shared<OsMutexState>();
    state->hold = std::move(hold);
    slot = state;
    return state;
}

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

uint64_t OsThreadKey()
{
    return GetCurrentThreadId();
}

OsHeldMutexes& OsHeldByThisThread()
{
    if (!heldByThisThread)
        heldByThisThread = new OsHeldMutexes;
    return *heldByThisThread;
}

// A long wait for the board's flash is said on standard error or to
// drive.exe (which writes it into the transcript). Ctrl-C at a console
// ends every wait; drive, which keeps Ctrl-C from the program, asks the
// wait to give up instead.
namespace {

std::atomic<bool> g_waitSaid{false}, g_waitCancel{false};

}  // namespace

void OsFlashWaitBegins(const char* text)
{
    g_waitCancel = false;
    g_waitSaid = true;   // in front for a console's Ctrl-C before it is said
    RunWin32SayWait(text);
}

bool OsFlashWaitCancelled()
{
    if (!g_waitCancel.exchange(false) && !RunWin32WaitCancelled())
        return false;
    OsWin32RequestTermination();
    return true;
}

void OsFlashWaitEnds()
{
    g_waitSaid = false;
    RunWin32SayWait(nullptr);
}

bool OsWin32CancelFlashWait()
{
    if (!g_waitSaid)
        return false;
    g_waitCancel = true;
    return true;
}
