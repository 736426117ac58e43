// The platform calls of the flash driver, as the device has them, for the
// guest: the bus accessors are volatile loads and stores; the flash window
// is QEMU's second flash bank; the clock is a counter that each look at it
// and each sleep move on, so that the driver's time limits still end.
#include <stddef.h>
#include <stdint.h>

#include "platform/clock.h"
#include "platform/mmio.h"
#include "platform/sync.h"

namespace {

constexpr uintptr_t kFlashBase = 0x04000000;
uint32_t g_ticks;
OsObject* const kMutex = reinterpret_cast<OsObject*>(0x1000);

}  // namespace

void* OsVirtualAlloc(uint32_t, uint32_t, uint32_t)
{
    return reinterpret_cast<void*>(kFlashBase);
}

int OsVirtualCopy(void* addr, uint32_t phys, uint32_t, uint32_t)
{
    return addr == reinterpret_cast<void*>(kFlashBase) && phys == 0 ? 1 : 0;
}

int OsVirtualFree(void*, uint32_t, uint32_t)
{
    return 1;
}

uint32_t OsRead32(const void* addr)
{
    return *static_cast<const volatile uint32_t*>(addr);
}

uint16_t OsRead16(const void* addr)
{
    return *static_cast<const volatile uint16_t*>(addr);
}

void OsWrite32(void* addr, uint32_t value)
{
    *static_cast<volatile uint32_t*>(addr) = value;
}

void OsWrite16(void* addr, uint16_t value)
{
    *static_cast<volatile uint16_t*>(addr) = value;
}

void OsReadBulk(void* dst, const void* addr, size_t n)
{
    auto* d = static_cast<uint8_t*>(dst);
    auto* s = static_cast<const volatile uint32_t*>(addr);
    for (; n >= 4; n -= 4, d += 4) {
        const uint32_t v = *s++;
        d[0] = uint8_t(v), d[1] = uint8_t(v >> 8), d[2] = uint8_t(v >> 16), d[3] = uint8_t(v >> 24);
    }
    if (n != 0) {
        const uint32_t v = *s;
        for (size_t i = 0; i < n; ++i)
            d[i] = uint8_t(v >> (8 * i));
    }
}

void OsWriteBulk32(void* addr, const void* src, size_t words)
{
    auto* d = static_cast<volatile uint32_t*>(addr);
    auto* s = static_cast<const uint8_t*>(src);
    for (; words != 0; --words, s += 4)
        *d++ = uint32_t(s[0]) | uint32_t(s[1]) << 8 | uint32_t(s[2]) << 16 | uint32_t(s[3]) << 24;
}

uint32_t OsGetTickCount()
{
    return ++g_ticks;
}

void OsSleep(uint32_t ms)
{
    g_ticks += ms;
}

Handle OsCreateMutex(const wchar_t*)
{
    return kMutex;
}

uint32_t OsWaitForSingleObject(Handle, uint32_t)
{
    return OS_WAIT_OBJECT_0;
}

int OsReleaseMutex(Handle)
{
    return 1;
}

int OsCloseHandle(Handle)
{
    return 1;
}
