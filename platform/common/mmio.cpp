// Device memory on the simulated board: reserved address space, windows
// onto the board's physical memory, and the bus-cycle accessors.
//
// A reservation is real address space without access, so its addresses
// are unique in the process and a stray dereference faults. A window
// records which physical range a part of a reservation shows; every
// accessor finds its window in a small fixed table (read without a lock)
// and passes the cycle to the board's bus. Each thread remembers the last
// window it hit, so a run of accesses to one window (a flash program makes
// millions) skips the table.
#include "platform/mmio.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <sys/mman.h>
#include <unistd.h>
#endif

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <vector>

#include "board/bus.h"
#include "board/flash_device.h"

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
// Counts changes of the window table, so a thread's remembered window is
// valid only while the count it was found under still holds. It starts at
// 1 and moves by 2, so it is never 0, which marks nothing remembered.
std::atomic<uint32_t> g_tableGeneration{1};

struct LastWindow {
    uintptr_t start;
    uintptr_t end;
    uint32_t phys;
    uint32_t generation;  // g_tableGeneration when found, 0 = none
    bool writable;
};
thread_local LastWindow t_last{};
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

// Every change of the window table ends with this (g_tableMutex held), so
// no thread goes on using a window it remembered from before the change.
void TableChanged()
{
    g_tableGeneration.fetch_add(2, std::memory_order_release);
}

// Translate when the thread's last window does not hold the access: finds
// the window in the table and remembers it.
[[gnu::noinline]] uint32_t TranslateSlow(const void* addr, uintptr_t width, bool write, const char* access)
{
    uintptr_t a = reinterpret_cast<uintptr_t>(addr);
    // Read before the table: a change that lands during the search moves the
    // generation on, so the window found is not used after it.
    uint32_t generation = g_tableGeneration.load(std::memory_order_acquire);
    int slots = g_windowSlots.load(std::memory_order_acquire);
    for (int i = 0; i < slots; ++i) {
        const MemWindow& w = g_windows[i];
        uintptr_t start = w.start.load(std::memory_order_acquire);
        if (start == 0 || a < start)
            continue;
        uintptr_t end = w.end.load(std::memory_order_relaxed);
        if (a >= end || width > end - a)
            continue;
        bool writable = w.writable.load(std::memory_order_relaxed);
        if (write && !writable)
            DataAbort(access, addr, "write to a read-only mapping");
        uint32_t phys = w.phys.load(std::memory_order_relaxed);
        t_last = LastWindow{start, end, phys, generation, writable};
        return phys + uint32_t(a - start);
    }
    DataAbort(access, addr, "no device memory mapped there");
}

// The physical address of a width-byte access at addr; a data abort when
// no window holds all of it, it is not aligned to align, or it writes a
// read-only window.
inline uint32_t Translate(const void* addr, uintptr_t width, uintptr_t align, bool write, const char* access)
{
    uintptr_t a = reinterpret_cast<uintptr_t>(addr);
    if ((a & (align - 1)) != 0)  // align is a power of two
        DataAbort(access, addr, "not aligned");
    const LastWindow& last = t_last;
    if (last.generation == g_tableGeneration.load(std::memory_order_acquire) && a >= last.start &&
        a < last.end && width <= last.end - a && (last.writable || !write))
        return last.phys + uint32_t(a - last.start);
    return TranslateSlow(addr, width, write, access);
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

}  // namespace

void* OsVirtualAlloc(uint32_t size, uint32_t allocationType, uint32_t protect)
{
    (void)protect;  // a reservation has no access whatever is asked
    if (size == 0 || !(allocationType & OS_MEM_RESERVE))
        return nullptr;
    size_t page = PageSize();
    size_t length = (size_t(size) + page - 1) / page * page;
#ifdef _WIN32
    void* p = VirtualAlloc(nullptr, length, MEM_RESERVE, PAGE_NOACCESS);
    if (p == nullptr)
        return nullptr;
#else
    void* p = mmap(nullptr, length, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (p == MAP_FAILED)
        return nullptr;
#endif
    std::lock_guard<std::mutex> guard(g_tableMutex);
    g_reservations.push_back({reinterpret_cast<uintptr_t>(p), length});
    return p;
}

int OsVirtualCopy(void* addr, uint32_t phys, uint32_t size, uint32_t protect)
{
    uintptr_t a = reinterpret_cast<uintptr_t>(addr);
    // Only physical mappings exist here, and only of device memory.
    if (size == 0 || !(protect & OS_PAGE_PHYSICAL) || !board::BusHasMemory(phys, size))
        return 0;
    {
        std::lock_guard<std::mutex> guard(g_tableMutex);
        if (!FindReservation(a, size))
            return 0;
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
                return 0;  // overlaps a mapping made before
        }
        if (free < 0) {
            if (slots == kMaxWindows)
                return 0;
            free = slots;
        }
        MemWindow& w = g_windows[free];
        w.end.store(a + size, std::memory_order_relaxed);
        w.phys.store(phys, std::memory_order_relaxed);
        w.writable.store((protect & OS_PAGE_READWRITE) != 0, std::memory_order_relaxed);
        w.start.store(a, std::memory_order_release);
        if (free == slots)
            g_windowSlots.store(slots + 1, std::memory_order_release);
        TableChanged();
    }
    // Each new mapping sees the board's settings as they are now.
    board::FlashRefreshSettings();
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
        TableChanged();
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

void OsWriteBulk16(void* addr, const void* src, size_t halves)
{
    if (halves == 0)
        return;
    if (halves > SIZE_MAX / 2)
        DataAbort("bulk write16", addr, "length beyond any mapping");
    board::BusWriteBulk16(Translate(addr, halves * 2, 2, true, "bulk write16"), src, halves);
}

namespace {

// The runs of a transfer as bus addresses (empty runs left out; returns
// how many are left); a data abort for anything the transfer's contract
// does not allow.
template <uintptr_t Width>
size_t TranslateRuns(const OsWriteRun* runs, size_t n, board::BusWriteRun* out, const char* access)
{
    if (n > OS_TRANSFER_MAX_RUNS)
        DataAbort(access, runs[0].addr, "too many runs in one transfer");
    size_t cycles = 0;
    size_t used = 0;
    for (size_t r = 0; r < n; ++r) {
        const size_t k = runs[r].cycles;
        if (k > OS_TRANSFER_MAX_CYCLES - cycles)
            DataAbort(access, runs[r].addr, "too many cycles in one transfer");
        cycles += k;
        if (k != 0)
            out[used++] = {Translate(runs[r].addr, k * Width, Width, true, access), runs[r].src, k};
    }
    return used;
}

}  // namespace

uint32_t OsWriteRunsRead32(const OsWriteRun* runs, size_t n, const void* readAddr)
{
    board::BusWriteRun bus[OS_TRANSFER_MAX_RUNS];
    size_t used = TranslateRuns<4>(runs, n, bus, "transfer32");
    return board::BusWriteRunsRead32(bus, used, Translate(readAddr, 4, 4, false, "transfer32"));
}

uint16_t OsWriteRunsRead16(const OsWriteRun* runs, size_t n, const void* readAddr)
{
    board::BusWriteRun bus[OS_TRANSFER_MAX_RUNS];
    size_t used = TranslateRuns<2>(runs, n, bus, "transfer16");
    return board::BusWriteRunsRead16(bus, used, Translate(readAddr, 2, 2, false, "transfer16"));
}

namespace {

// A command transfer whose addresses all lie in the thread's last window
// (a buffer program's always do), translated in one pass without a call:
// false when any does not, or the transfer breaks a limit (the caller then
// takes the checked way).
template <uintptr_t Width>
inline bool TransferInLastWindow(const void* addr, const OsWriteRun* runs, size_t n, const void* readAddr,
                                 uint32_t* phys, board::BusWriteRun* out, uint32_t* readPhys)
{
    const LastWindow& last = t_last;
    if (n > OS_TRANSFER_MAX_RUNS || last.generation != g_tableGeneration.load(std::memory_order_acquire) ||
        !last.writable)
        return false;
    const uintptr_t start = last.start, end = last.end;
    auto inside = [start, end](uintptr_t a, size_t bytes) {
        return a % Width == 0 && a >= start && a < end && bytes <= end - a;
    };
    const uintptr_t a = reinterpret_cast<uintptr_t>(addr), r = reinterpret_cast<uintptr_t>(readAddr);
    if (!inside(a, Width) || !inside(r, Width))
        return false;
    size_t cycles = 0;
    for (size_t i = 0; i < n; ++i) {
        const size_t k = runs[i].cycles;
        const uintptr_t at = reinterpret_cast<uintptr_t>(runs[i].addr);
        if (k == 0 || k > OS_TRANSFER_MAX_CYCLES - cycles || !inside(at, k * Width))
            return false;
        cycles += k;
        out[i] = {last.phys + uint32_t(at - start), runs[i].src, k};
    }
    *phys = last.phys + uint32_t(a - start);
    *readPhys = last.phys + uint32_t(r - start);
    return true;
}

// A command transfer of Width-byte cycles (T the cycle's value), passed to
// the board's bus call of that width.
template <uintptr_t Width, class T, auto BusCall>
int CommandTransfer(void* addr, T command, T readyMask, T readyValue, const OsWriteRun* runs, size_t n,
                    const void* readAddr, T* status, const char* access)
{
    uint32_t phys, readPhys;
    board::BusWriteRun bus[OS_TRANSFER_MAX_RUNS];
    size_t used = n;
    if (!TransferInLastWindow<Width>(addr, runs, n, readAddr, &phys, bus, &readPhys)) {
        phys = Translate(addr, Width, Width, true, access);
        used = TranslateRuns<Width>(runs, n, bus, access);
        readPhys = Translate(readAddr, Width, Width, false, access);
    }
    return BusCall(phys, command, readyMask, readyValue, bus, used, readPhys, status) ? 1 : 0;
}

}  // namespace

int OsCommandTransfer32(void* addr, uint32_t command, uint32_t readyMask, uint32_t readyValue,
                        const OsWriteRun* runs, size_t n, const void* readAddr, uint32_t* status)
{
    return CommandTransfer<4, uint32_t, board::BusCommandTransfer32>(addr, command, readyMask, readyValue, runs, n,
                                                                     readAddr, status, "command transfer32");
}

int OsCommandTransfer16(void* addr, uint16_t command, uint16_t readyMask, uint16_t readyValue,
                        const OsWriteRun* runs, size_t n, const void* readAddr, uint16_t* status)
{
    return CommandTransfer<2, uint16_t, board::BusCommandTransfer16>(addr, command, readyMask, readyValue, runs, n,
                                                                     readAddr, status, "command transfer16");
}

uint32_t OsBufferLines32(void* addr, uint32_t words, uint32_t lines, uint32_t command, uint32_t count,
                         const void* src, uint32_t confirm, uint32_t readyMask, uint32_t readyValue,
                         uint32_t doneMask, uint32_t doneValue, uint32_t* status, int* ran)
{
    static const char kAccess[] = "buffer lines32";
    *status = 0xFFFFFFFFu;
    *ran = 0;
    if (lines == 0)
        return 0;
    if (words == 0 || words > OS_TRANSFER_MAX_CYCLES - 2)
        DataAbort(kAccess, addr, "too many cycles in one transfer");
    if (lines > OS_TRANSFER_MAX_LINES)
        DataAbort(kAccess, addr, "too many lines in one transfer");
    const uint32_t phys = Translate(addr, uintptr_t(words) * 4 * lines, 4, true, kAccess);
    bool transferred = false;
    uint32_t passed = board::BusBufferLines32(phys, words, lines, command, count, src, confirm, readyMask, readyValue,
                                              doneMask, doneValue, status, &transferred);
    *ran = transferred ? 1 : 0;
    return passed;
}
