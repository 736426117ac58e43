// The board firmware's own flash routine (FlashRewrite).
#include <algorithm>
#include <cstring>
#include <vector>

#include "board/bus.h"
#include "board/flash_device.h"
#include "platform/clock.h"
#include "platform/host/clock.h"

namespace board {
namespace {

// Bus words of the arrangement in effect: on the 32-bit bus a command or a
// status bit is the same in both devices' halves.
struct BusWords {
    uint32_t width;  // 4 or 2 bytes

    uint32_t Both(uint16_t v) const { return width == 4 ? uint32_t(v) * 0x00010001u : v; }
    void Write(uint32_t at, uint32_t v) const
    {
        if (width == 4)
            BusWrite32(at, v);
        else
            BusWrite16(at, uint16_t(v));
    }
    uint32_t Read(uint32_t at) const { return width == 4 ? BusRead32(at) : BusRead16(at); }
};

constexpr uint16_t kStatusErrors = kStatusEraseError | kStatusProgramError | kStatusVppLow | kStatusBlockLocked;

// Polls the status at `at` until every device is ready, busy-polling for a
// program's microseconds and sleeping between the polls of a longer wait.
// false on a time-out (the device keeps running: nothing can stop it) or,
// with errors, when an error bit of the ready status is set. (After 0xE8
// the devices answer their extended status, in which only bit 7, a buffer
// is free, means anything.)
bool Completed(const BusWords& bus, uint32_t at, uint32_t timeoutMs, bool errors = true)
{
    const uint32_t ready = bus.Both(kStatusReady);
    const uint64_t start = OsClockMicros();
    for (;;) {
        const uint32_t status = bus.Read(at);
        if ((status & ready) == ready)
            return !errors || (status & bus.Both(kStatusErrors)) == 0;
        const uint64_t waited = OsClockMicros() - start;
        if (waited >= uint64_t(timeoutMs) * 1000u)
            return false;
        if (waited >= 2000)
            OsSleep(1);
    }
}

bool AllErased(const uint8_t* p, size_t n)
{
    return std::all_of(p, p + n, [](uint8_t b) { return b == 0xFF; });
}

// Erases the bus block at `at` (unless `have` shows it blank) and programs
// `want` into it, one full write buffer of every device at a time.
bool RewriteBlock(const BusWords& bus, uint32_t at, const std::vector<uint8_t>& have,
                  const std::vector<uint8_t>& want, uint32_t timeoutMs)
{
    // Error bits of an earlier failure would refuse the buffer writes.
    bus.Write(at, bus.Both(kCmdClearStatus));
    if (!AllErased(have.data(), have.size())) {
        bus.Write(at, bus.Both(kCmdBlockErase));
        bus.Write(at, bus.Both(kCmdConfirm));
        if (!Completed(bus, at, timeoutMs))
            return false;
    }
    const uint32_t line = bus.width * kFlashBufferWords;
    for (uint32_t off = 0; off < want.size(); off += line) {
        const uint8_t* src = want.data() + off;
        if (AllErased(src, line))
            continue;
        const uint32_t a = at + off;
        bus.Write(a, bus.Both(kCmdWriteToBuffer));
        if (!Completed(bus, a, timeoutMs, false))
            return false;
        bus.Write(a, bus.Both(kFlashBufferWords - 1));
        // On the 16-bit bus each 32-bit value is two cycles, low half first:
        // the buffer's 16 words in order either way.
        BusWriteBulk32(a, src, line / 4);
        bus.Write(a + line - bus.width, bus.Both(kCmdConfirm));
        if (!Completed(bus, a, timeoutMs))
            return false;
    }
    // A worn cell can keep a bit set while the status reports success:
    // only reading the block back shows what it holds.
    bus.Write(at, bus.Both(kCmdReadArray));
    std::vector<uint8_t> got(want.size());
    return FlashPeek(got.data(), at, uint32_t(got.size())) && got == want;
}

}  // namespace

bool FlashRewrite(uint32_t offset, const uint8_t* bytes, size_t n, uint32_t timeoutMs)
{
    if (offset >= kFlashSize || n > kFlashSize - offset)
        return false;
    if (n == 0)
        return true;
    FlashFirmwareWrites firmware;   // not the program's changes
    const BusWords bus{FlashBusWidth()};
    const uint32_t block = FlashBusBlockBytes();
    const uint64_t end = uint64_t(offset) + n;
    const uint32_t first = offset / block * block;
    const uint64_t last = (end + block - 1) / block * block;
    std::vector<uint8_t> have(block), want(block);
    bool ok = true;
    uint64_t at = first;
    for (; at < last && ok; at += block) {
        if (!FlashPeek(have.data(), uint32_t(at), block))
            return false;
        want = have;
        const uint64_t from = std::max<uint64_t>(at, offset);
        const uint64_t to = std::min<uint64_t>(at + block, end);
        std::memcpy(want.data() + (from - at), bytes + (from - offset), size_t(to - from));
        if (want != have)
            ok = RewriteBlock(bus, uint32_t(at), have, want, timeoutMs);
    }
    // Every block touched back to read-array mode (a device still busy
    // ignores it, as it ignores any command).
    for (uint64_t b = first; b < at; b += block)
        bus.Write(uint32_t(b), bus.Both(kCmdReadArray));
    return ok;
}

}  // namespace board
