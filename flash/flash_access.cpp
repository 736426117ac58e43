#include "flash/flash_access.h"

#include "platform/clock.h"
#include "platform/mmio.h"
#include "platform/sync.h"

#include <cstring>

uint32_t BusWidth = 4;
uint32_t ReadyPattern = 0xFFFFFFFFu;
uint32_t ReadyPattern16 = 0x0000FFFFu;

namespace {

constexpr uint32_t kMapProtect = OS_PAGE_PHYSICAL | OS_PAGE_NOCACHE | OS_PAGE_READWRITE;  // 0x604

// The ready bit of device 0, on the low half of the 32-bit bus (device 1's
// is on the high half).
constexpr uint32_t kReadyLow = FLASH_SR_READY & 0xFFFFu;

// The ready bits of a status word that do not yet say "ready": 0 when
// every device on the bus is ready. With BusWidth 2 a status read is
// zero-extended, so it is held against ReadyPattern16.
inline uint32_t NotReady(uint32_t status)
{
    const uint32_t pattern = BusWidth == 4 ? ReadyPattern : ReadyPattern16;
    return (status ^ pattern) & FLASH_SR_READY;
}

// Reads the status at address again until every device is ready, from
// *status (the read just made), or until limitMs have passed since t0
// (unsigned difference, so a wrap of the tick count does no harm). sleepMs
// between reads (0: busy-poll, for a write buffer, which finishes in
// microseconds). 1 = ready, *status the ready status word; 0 = time-out.
int PollUntilReady(const uint8_t* address, uint32_t* status, uint32_t t0, uint32_t limitMs, uint32_t sleepMs)
{
    while (NotReady(*status) != 0) {
        if (OsGetTickCount() - t0 >= limitMs)
            return 0;
        if (sleepMs != 0)
            OsSleep(sleepMs);
        *status = FlashReadWord(address);
    }
    return 1;
}

// Waits until the device(s) at address are idle: read-status command, then
// the status until ready. A running operation takes no command, and only
// the ready bit of a busy device's status means anything, so nothing else
// may be sent before this says so. *waited tells whether a device was
// busy at first. 1 = idle; 0 = still busy after limitMs.
int WaitIdle(uint8_t* address, uint32_t limitMs, uint32_t sleepMs, int* waited)
{
    FlashWriteWord(address, FLASH_CMD_READ_STATUS);
    const uint32_t t0 = OsGetTickCount();
    uint32_t status = FlashReadWord(address);
    *waited = NotReady(status) != 0 ? 1 : 0;
    return PollUntilReady(address, &status, t0, limitMs, sleepMs);
}

// 1 when all n words are 0xFFFFFFFF (erased), else 0.
int AllOnes(const uint32_t* words, uint32_t n)
{
    for (uint32_t i = 0; i < n; ++i) {
        if (words[i] != 0xFFFFFFFFu)
            return 0;
    }
    return 1;
}

}  // namespace

uint32_t FlashBlockSize()
{
    return BusWidth * 65536u;
}

Handle LockFlash()
{
    Handle lock = OsCreateMutex(FLASH_MUTEX_NAME);
    if (lock == nullptr)
        return nullptr;
    if (OsWaitForSingleObject(lock, OS_INFINITE) != OS_WAIT_OBJECT_0) {
        OsCloseHandle(lock);
        return nullptr;
    }
    return lock;
}

void UnlockFlash(Handle lock)
{
    if (lock == nullptr)
        return;
    OsReleaseMutex(lock);
    OsCloseHandle(lock);
}

uint8_t* MapFlashWindow(uint32_t size)
{
    void* window = OsVirtualAlloc(size, OS_MEM_RESERVE, OS_PAGE_NOACCESS);
    if (window == nullptr)
        return nullptr;
    if (!OsVirtualCopy(window, 0, size, kMapProtect)) {
        OsVirtualFree(window, 0, OS_MEM_RELEASE);
        return nullptr;
    }
    return static_cast<uint8_t*>(window);
}

void UnmapFlashWindow(uint8_t* window)
{
    if (window != nullptr)
        OsVirtualFree(window, 0, OS_MEM_RELEASE);
}

uint32_t FlashReadWord(const uint8_t* address)
{
    if (BusWidth == 4)
        return OsRead32(address);
    return OsRead16(address);
}

void FlashWriteWord(uint8_t* address, uint32_t value)
{
    if (BusWidth == 4)
        OsWrite32(address, value);
    else
        OsWrite16(address, static_cast<uint16_t>(value));
}

void ResetToReadArray(uint8_t* address)
{
    FlashWriteWord(address, FLASH_CMD_READ_ARRAY);
}

int IsBlockErased(uint8_t* address, uint32_t count)
{
    ResetToReadArray(address);
    // Read in slices so that a dirty block is recognised after a few
    // kilobytes rather than after a pass over the whole block.
    constexpr uint32_t kSliceWords = 1024;
    uint32_t words[kSliceWords];
    uint32_t remaining = count / 4;
    const uint8_t* p = address;
    while (remaining != 0) {
        const uint32_t n = remaining < kSliceWords ? remaining : kSliceWords;
        OsReadBulk(words, p, n * 4u);
        if (!AllOnes(words, n))
            return 0;
        p += n * 4u;
        remaining -= n;
    }
    return 1;
}

int EraseBlock(uint8_t* address)
{
    // A busy device answers the blank check with its status, never with
    // all ones, so a block found blank here is blank.
    if (IsBlockErased(address, FlashBlockSize()))
        return 1;
    int waited = 0;
    if (!WaitIdle(address, FLASH_ERASE_TIMEOUT_MS, FLASH_ERASE_POLL_MS, &waited))
        return 0;
    // The device was busy during the blank check: look again at its data.
    if (waited && IsBlockErased(address, FlashBlockSize()))
        return 1;
    // Error bits stay set until cleared; an earlier failure must not fail
    // this erase.
    FlashWriteWord(address, FLASH_CMD_CLEAR_STATUS);
    FlashWriteWord(address, FLASH_CMD_BLOCK_ERASE);
    FlashWriteWord(address, FLASH_CMD_CONFIRM);
    const uint32_t t0 = OsGetTickCount();
    for (;;) {
        uint32_t status = FlashReadWord(address);
        if (NotReady(status) == 0) {
            // Error bits only from a ready status.
            const uint32_t again = FlashReadWord(address);
            if (NotReady(again) == 0)
                status = again;
            if (status & FLASH_ERASE_ERRORS)
                return 0;
            // A reported success is believed only when the block reads
            // all ones.
            return IsBlockErased(address, FlashBlockSize());
        }
        OsSleep(FLASH_ERASE_POLL_MS);
        if (OsGetTickCount() - t0 >= FLASH_ERASE_TIMEOUT_MS)
            return 0;
    }
}

namespace {

// After a write to buffer at target: its status until a buffer is free in
// every device, the command again with each read that shows none, as the
// devices want it. On the 32-bit bus a device whose buffer is already
// free is in the middle of the sequence and would take another 0xE8 as
// its word count, so the command goes (as a 16-bit cycle) only to the
// half whose buffer is not free yet. 1 = a buffer is free in every
// device; 0 = none came within the buffer's limit from t0.
int AwaitFreeBuffer(uint8_t* target, uint32_t t0)
{
    for (;;) {
        const uint32_t notFree = NotReady(FlashReadWord(target));
        if (notFree == 0)
            return 1;
        if (OsGetTickCount() - t0 >= FLASH_BUFFER_TIMEOUT_MS)
            return 0;
        if (BusWidth != 4 || notFree == FLASH_SR_READY)
            FlashWriteWord(target, FLASH_CMD_WRITE_BUFFER);
        else if (notFree == kReadyLow)
            OsWrite16(target, static_cast<uint16_t>(FLASH_CMD_WRITE_BUFFER));
        else
            OsWrite16(target + 2, static_cast<uint16_t>(FLASH_CMD_WRITE_BUFFER >> 16));
    }
}

// The data words of a buffer: words bus words from source (any alignment)
// to consecutive addresses from target, one bus write each, in order.
void WriteBufferData(uint8_t* target, const uint8_t* source, uint32_t words)
{
    if (BusWidth == 4) {
        OsWriteBulk32(target, source, words);
        return;
    }
    for (uint32_t i = 0; i < words; ++i) {
        uint16_t half;
        std::memcpy(&half, source + 2 * i, 2);
        OsWrite16(target + 2 * i, half);
    }
}

}  // namespace

int ProgramFlash(const uint8_t* source, uint8_t* target, uint32_t count)
{
    const uint32_t w = BusWidth;
    const uint32_t bufferBytes = FLASH_BUFFER_WORDS * w;
    // The word count in every device's half of the bus word (the low half
    // alone is written with BusWidth 2).
    const uint32_t countUnit = 0x00010001u;
    uint32_t remaining = (count + (w - 1)) & ~(w - 1);
    if (remaining == 0)
        return 1;

    // The devices must be idle before anything is sent: a command to a
    // busy device is lost, and the clear below must reach them.
    int waited = 0;
    if (!WaitIdle(target, FLASH_BUFFER_TIMEOUT_MS, 0, &waited))
        return 0;
    // Once per call, not per buffer: clear error bits left by an earlier
    // failure so that the status tests below see only this program's.
    FlashWriteWord(target, FLASH_CMD_CLEAR_STATUS);

    while (remaining != 0) {
        // A buffer never crosses a buffer boundary: the first may be short,
        // the later ones start on boundaries.
        const uint32_t room = bufferBytes - static_cast<uint32_t>(reinterpret_cast<uintptr_t>(target) % bufferBytes);
        const uint32_t bytes = remaining < room ? remaining : room;
        const uint32_t words = bytes / w;
        uint8_t* last = target + bytes - w;

        FlashWriteWord(target, FLASH_CMD_WRITE_BUFFER);
        const uint32_t t0 = OsGetTickCount();   // the limit covers the whole buffer
        if (!AwaitFreeBuffer(target, t0))
            return 0;
        FlashWriteWord(target, (words - 1) * countUnit);
        WriteBufferData(target, source, words);
        FlashWriteWord(last, FLASH_CMD_CONFIRM);
        uint32_t status = FlashReadWord(last);
        if (!PollUntilReady(last, &status, t0, FLASH_BUFFER_TIMEOUT_MS, 0))
            return 0;
        // Error bits only from a ready status.
        if (status & FLASH_PROGRAM_ERRORS)
            return 0;
        source += bytes;
        target += bytes;
        remaining -= bytes;
    }
    return 1;
}
