// The board's memory bus: each cycle at a physical address is decoded to
// the flash device(s) it reaches (the two arrangements: flash_device.h),
// counted, and passed to the devices' state machines (flash_chip.cpp).
#include "board/bus.h"

#include <algorithm>
#include <cstring>

#include "board/flash_state.h"

namespace board {

namespace {

using flash::Context;

// A 16-bit cycle at phys (even): the device it reaches and that device's
// word address.
inline int Device16(const Context& c, uint32_t phys, uint32_t* w)
{
    if (c.bus32) {
        *w = phys / 4;
        return int((phys >> 1) & 1);
    }
    *w = (phys % kFlashDeviceBytes) / 2;
    return int(phys / kFlashDeviceBytes);
}

// After each bus cycle: the count towards an armed power cut.
[[gnu::always_inline]] inline void CycleDone(Context& c)
{
    if (__builtin_expect(c.watchCycles, false))
        flash::CycleWatched(c);
}

uint16_t Read16(Context& c, uint32_t phys)
{
    uint32_t w;
    int d = Device16(c, phys, &w);
    ++c.counters.busReads;
    const uint16_t v = flash::DeviceRead(c, d, w);
    CycleDone(c);
    return v;
}

void Write16(Context& c, uint32_t phys, uint16_t value)
{
    uint32_t w;
    int d = Device16(c, phys, &w);
    ++c.counters.busWrites;
    flash::DeviceWrite(c, d, w, value);
    CycleDone(c);
}

uint32_t Read32(Context& c, uint32_t phys)
{
    if (!c.bus32)  // two cycles: low half first
        return Read16(c, phys) | (uint32_t(Read16(c, phys + 2)) << 16);
    ++c.counters.busReads;
    const uint32_t w = phys / 4;
    const uint32_t lo = flash::DeviceRead(c, 0, w);
    const uint32_t hi = flash::DeviceRead(c, 1, w);
    CycleDone(c);
    return lo | (hi << 16);
}

void Write32(Context& c, uint32_t phys, uint32_t value)
{
    if (!c.bus32) {
        Write16(c, phys, uint16_t(value));
        Write16(c, phys + 2, uint16_t(value >> 16));
        return;
    }
    ++c.counters.busWrites;
    const uint32_t w = phys / 4;
    flash::DeviceWrite(c, 0, w, uint16_t(value));
    flash::DeviceWrite(c, 1, w, uint16_t(value >> 16));
    CycleDone(c);
}

// Bus addresses outside the flash hit nothing: reads float high, writes
// are lost. The device-memory mapping never lets them through; this only
// keeps the board safe from a caller that bypasses it.
inline bool InFlash(uint32_t phys, uint32_t width)
{
    return phys <= kFlashSize - width;
}

// Values of a bulk write per hold of the device lock: a long run must not
// keep the other programs on the board off the bus for long.
constexpr size_t kBulkRun = 256;

}  // namespace

bool BusHasMemory(uint32_t phys, uint32_t size)
{
    if (size == 0 || phys >= kFlashSize || size > kFlashSize - phys)
        return false;
    flash::Guard g;  // device memory is there only if the flash can be opened
    return g.get() != nullptr;
}

uint32_t BusRead32(uint32_t phys)
{
    phys &= ~3u;
    flash::Guard g;
    if (!g.get() || !InFlash(phys, 4))
        return 0xFFFFFFFFu;
    return Read32(*g.get(), phys);
}

uint16_t BusRead16(uint32_t phys)
{
    phys &= ~1u;
    flash::Guard g;
    if (!g.get() || !InFlash(phys, 2))
        return 0xFFFF;
    return Read16(*g.get(), phys);
}

void BusWrite32(uint32_t phys, uint32_t value)
{
    phys &= ~3u;
    flash::Guard g;
    if (g.get() && InFlash(phys, 4))
        Write32(*g.get(), phys, value);
}

void BusWrite16(uint32_t phys, uint16_t value)
{
    phys &= ~1u;
    flash::Guard g;
    if (g.get() && InFlash(phys, 2))
        Write16(*g.get(), phys, value);
}

void BusWriteBulk32(uint32_t phys, const void* src, size_t words)
{
    phys &= ~3u;
    const uint8_t* in = static_cast<const uint8_t*>(src);
    // Only the part of the run that lies in the flash.
    const size_t n = phys < kFlashSize ? std::min<size_t>(words, (kFlashSize - phys) / 4) : 0;
    for (size_t done = 0; done < n;) {
        const size_t k = std::min(kBulkRun, n - done);
        flash::Guard g;
        if (!g.get())
            return;
        for (size_t i = 0; i < k; ++i, ++done) {
            uint32_t v;
            std::memcpy(&v, in + done * 4, 4);
            Write32(*g.get(), phys + uint32_t(done) * 4, v);
        }
    }
}

void BusReadBulk(void* dst, uint32_t phys, size_t n)
{
    if (n == 0)
        return;
    uint8_t* out = static_cast<uint8_t*>(dst);
    phys &= ~3u;
    size_t avail = phys < kFlashSize ? kFlashSize - phys : 0;
    size_t m = std::min(n, avail);
    flash::Guard g;
    if (!g.get())
        m = 0;
    if (m < n)
        std::memset(out + m, 0xFF, n - m);
    if (m == 0)
        return;
    Context& c = *g.get();
    const uint64_t words = (m + 3) / 4;
    // On the 32-bit bus with both devices answering array data the reads
    // change nothing: the bytes are copied at once (and the cycles counted).
    const bool copy = c.bus32 && !c.watchCycles && flash::DeviceReadsArray(c, 0) && flash::DeviceReadsArray(c, 1);
    if (!copy) {
        for (uint64_t i = 0; i < words; ++i) {
            uint32_t v = Read32(c, phys + uint32_t(i * 4));
            size_t k = std::min<size_t>(4, m - size_t(i) * 4);
            std::memcpy(out + i * 4, &v, k);
        }
        return;
    }
    std::memcpy(out, c.image + phys, m);
    c.counters.busReads += words;
    for (int d = 0; d < kFlashDevices; ++d) {
        c.counters.reads[d] += words;
        c.counters.arrayReads[d] += words;
    }
}

}  // namespace board
