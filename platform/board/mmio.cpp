// Device memory on the simulated board: reserved address space, windows
// onto the board's physical memory, and the bus-cycle accessors.
//
// A reservation is real address space without access, so its addresses
// are unique in the process and a stray dereference faults. A window
// records which physical range a part of a reservation shows; every
// accessor finds its window in a small fixed table (read without a lock)
// and passes the cycle to the board's bus.
#include "platform/mmio.h"

#ifdef _WIN32
#include <windows.h>

#include "platform/win32/run_channel.h"
#else
#include <sys/mman.h>
#include <unistd.h>
#endif

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "board/bus.h"
#include "board/flash_device.h"
#include "platform/common/run_report.h"

namespace {

constexpr int kMaxWindows = 32;

struct MemWindow {
    std::atomic<uintptr_t> start{0};  // 0 = free slot
    std::atomic<uintptr_t> end{0};
    std::atomic<uint32_t> phys{0};
    std::atomic<bool> writable{false};
};

struct Reservation {
    uintptr_t start;
    size_t size;
};

std::mutex g_tableMutex;  // changes of the tables below
MemWindow g_windows[kMaxWindows];
std::atomic<int> g_windowSlots{0};  // slots in use are below this
std::vector<Reservation> g_reservations;

size_t PageSize()
{
#ifdef _WIN32
    static const size_t page = [] {
        SYSTEM_INFO info;
        GetSystemInfo(&info);
        return size_t(info.dwAllocationGranularity);
    }();
#else
    static const size_t page = size_t(sysconf(_SC_PAGESIZE));
#endif
    return page;
}

[[noreturn]] void DataAbort(const char* access, const void* addr, const char* why)
{
    std::fprintf(stderr, "data abort: %s at %p: %s\n", access, addr, why);
    std::fflush(stderr);
    std::abort();
}

// The physical address of a width-byte access at addr; a data abort when
// no window holds all of it, it is not aligned to align, or it writes a
// read-only window.
uint32_t Translate(const void* addr, uintptr_t width, uintptr_t align, bool write, const char* access)
{
    uintptr_t a = reinterpret_cast<uintptr_t>(addr);
    if ((a & (align - 1)) != 0)  // align is a power of two
        DataAbort(access, addr, "not aligned");
    int slots = g_windowSlots.load(std::memory_order_acquire);
    for (int i = 0; i < slots; ++i) {
        const MemWindow& w = g_windows[i];
        uintptr_t start = w.start.load(std::memory_order_acquire);
        if (start == 0 || a < start)
            continue;
        uintptr_t end = w.end.load(std::memory_order_relaxed);
        if (a >= end || width > end - a)
            continue;
        if (write && !w.writable.load(std::memory_order_relaxed))
            DataAbort(access, addr, "write to a read-only mapping");
        return w.phys.load(std::memory_order_relaxed) + uint32_t(a - start);
    }
    DataAbort(access, addr, "no device memory mapped there");
}

// Caller holds g_tableMutex.
const Reservation* FindReservation(uintptr_t a, size_t size)
{
    for (const Reservation& r : g_reservations) {
        if (a >= r.start && a - r.start < r.size && size <= r.size - (a - r.start))
            return &r;
    }
    return nullptr;
}

// A refused reservation or mapping: its reason is said beside the box
// that reports the flash out of reach.
template <typename T>
T Refuse(T result, const std::string& reason)
{
    RunNoteReason(reason);
    return result;
}

}  // namespace

void* OsVirtualAlloc(uint32_t size, uint32_t allocationType, uint32_t protect)
{
    (void)protect;  // a reservation has no access whatever is asked
    if (size == 0 || !(allocationType & OS_MEM_RESERVE))
        return Refuse<void*>(nullptr, std::strerror(EINVAL));
    size_t page = PageSize();
    size_t length = (size_t(size) + page - 1) / page * page;
#ifdef _WIN32
    void* p = VirtualAlloc(nullptr, length, MEM_RESERVE, PAGE_NOACCESS);
    if (p == nullptr) {
        RunWin32NoteSystemReason(GetLastError());
        return nullptr;
    }
#else
    void* p = mmap(nullptr, length, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (p == MAP_FAILED)
        return Refuse<void*>(nullptr, std::strerror(errno));
#endif
    std::lock_guard<std::mutex> guard(g_tableMutex);
    g_reservations.push_back({reinterpret_cast<uintptr_t>(p), length});
    return p;
}

int OsVirtualCopy(void* addr, uint32_t phys, uint32_t size, uint32_t protect)
{
    uintptr_t a = reinterpret_cast<uintptr_t>(addr);
    // Only physical mappings exist here, and only of device memory: that
    // is the flash, there when the board lets this program open it.
    if (size == 0 || !(protect & OS_PAGE_PHYSICAL) || phys >= board::kFlashSize ||
        size > board::kFlashSize - phys)
        return Refuse(0, std::strerror(EINVAL));
    if (!board::BusHasMemory(phys, size)) {
        const std::string problem = board::FlashOpenProblem();
        return Refuse(0, problem.empty() ? std::strerror(EIO) : problem);
    }
    {
        std::lock_guard<std::mutex> guard(g_tableMutex);
        if (!FindReservation(a, size))
            return Refuse(0, std::strerror(EINVAL));
        int slots = g_windowSlots.load(std::memory_order_relaxed);
        int free = -1;
        for (int i = 0; i < slots; ++i) {
            uintptr_t start = g_windows[i].start.load(std::memory_order_relaxed);
            if (start == 0) {
                if (free < 0)
                    free = i;
                continue;
            }
            uintptr_t end = g_windows[i].end.load(std::memory_order_relaxed);
            if (a < end && start < a + size)
                return Refuse(0, std::strerror(EINVAL));  // overlaps a mapping made before
        }
        if (free < 0) {
            if (slots == kMaxWindows)
                return Refuse(0, std::strerror(ENOMEM));
            free = slots;
        }
        MemWindow& w = g_windows[free];
        w.end.store(a + size, std::memory_order_relaxed);
        w.phys.store(phys, std::memory_order_relaxed);
        w.writable.store((protect & OS_PAGE_READWRITE) != 0, std::memory_order_relaxed);
        w.start.store(a, std::memory_order_release);
        if (free == slots)
            g_windowSlots.store(slots + 1, std::memory_order_release);
    }
    // Each new mapping sees the board's settings as they are now.
    board::FlashRefreshSettings();
    RunNoteFlashMapped();
    return 1;
}

int OsVirtualFree(void* addr, uint32_t size, uint32_t freeType)
{
    if (size != 0 || freeType != OS_MEM_RELEASE)
        return 0;
    uintptr_t a = reinterpret_cast<uintptr_t>(addr);
    std::lock_guard<std::mutex> guard(g_tableMutex);
    for (size_t i = 0; i < g_reservations.size(); ++i) {
        Reservation r = g_reservations[i];
        if (r.start != a)
            continue;
        int slots = g_windowSlots.load(std::memory_order_relaxed);
        for (int k = 0; k < slots; ++k) {
            uintptr_t start = g_windows[k].start.load(std::memory_order_relaxed);
            if (start != 0 && start >= r.start && start - r.start < r.size)
                g_windows[k].start.store(0, std::memory_order_release);
        }
        g_reservations.erase(g_reservations.begin() + long(i));
#ifdef _WIN32
        VirtualFree(reinterpret_cast<void*>(r.start), 0, MEM_RELEASE);
#else
        munmap(reinterpret_cast<void*>(r.start), r.size);
#endif
        return 1;
    }
    return 0;
}

uint32_t OsRead32(const void* addr)
{
    return board::BusRead32(Translate(addr, 4, 4, false, "read32"));
}

uint16_t OsRead16(const void* addr)
{
    return board::BusRead16(Translate(addr, 2, 2, false, "read16"));
}

void OsWrite32(void* addr, uint32_t value)
{
    board::BusWrite32(Translate(addr, 4, 4, true, "write32"), value);
}

void OsWrite16(void* addr, uint16_t value)
{
    board::BusWrite16(Translate(addr, 2, 2, true, "write16"), value);
}

void OsReadBulk(void* dst, const void* addr, size_t n)
{
    if (n == 0)
        return;
    // The whole run of 32-bit reads, the tail's word included, must be mapped.
    size_t span = (n + 3) & ~size_t(3);
    if (span < n)
        DataAbort("bulk read", addr, "length beyond any mapping");
    board::BusReadBulk(dst, Translate(addr, span, 4, false, "bulk read"), n);
}

void OsWriteBulk32(void* addr, const void* src, size_t words)
{
    if (words == 0)
        return;
    // The whole run must be mapped (and its length representable).
    if (words > SIZE_MAX / 4)
        DataAbort("bulk write32", addr, "length beyond any mapping");
    board::BusWriteBulk32(Translate(addr, words * 4, 4, true, "bulk write32"), src, words);
}
