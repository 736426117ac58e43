#include "flash/flash_access.h"

#include "platform/clock.h"
#include "platform/mmio.h"
#include "platform/sync.h"

uint32_t BusWidth = 4;
uint32_t ReadyPattern = 0xFFFFFFFFu;
uint32_t ReadyPattern16 = 0x0000FFFFu;

namespace {

constexpr uint32_t kMapProtect = OS_PAGE_PHYSICAL | OS_PAGE_NOCACHE | OS_PAGE_READWRITE;  // 0x604

inline bool IsReady(uint32_t status)
{
    uint32_t pattern = BusWidth == 4 ? ReadyPattern : ReadyPattern16;
    return ((status ^ pattern) & FLASH_SR_READY) == 0;
}

// The start of a wait that may span several polls, taken when a poll
// first finds the device busy: a device that is ready at once (the common
// case, thousands of times per image) costs no read of the clock.
struct WaitStart {
    bool taken = false;
    uint32_t tick = 0;
};

// Polls the status at address until ready or until limitMs have passed
// since the wait started (unsigned difference, so a wrap of the tick count
// does no harm). first is the first status read, made with the command
// before it. Busy-polls: the write buffer finishes in microseconds.
// 1 = ready with *status the ready status word; 0 = time-out.
inline int PollReady(const uint8_t* address, uint32_t first, WaitStart* start, uint32_t limitMs,
                     uint32_t* status)
{
    uint32_t s = first;
    for (;;) {
        if (IsReady(s)) {
            *status = s;
            return 1;
        }
        uint32_t now = OsGetTickCount();
        if (!start->taken) {
            start->taken = true;
            start->tick = now;
        } else if (now - start->tick >= limitMs) {
            return 0;
        }
        s = FlashReadWord(address);
    }
}

}  // namespace

int IsStatusReady(uint32_t status)
{
    return IsReady(status) ? 1 : 0;
}

uint32_t FlashBlockSize()
{
    return BusWidth * 65536u;
}

Handle LockFlash()
{
    Handle lock = OsCreateMutex(L"NorFlash");
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

namespace {

// The runs of a write buffer after its free buffer was seen: the word count
// at target, the data words from target on, the confirm at last. count and
// confirm hold the values (a bus word, or a 16-bit value with BusWidth 2)
// and must outlive the transfer.
inline void BufferRuns(OsWriteRun* runs, uint8_t* target, const void* count, const uint8_t* source, uint32_t words,
                       uint8_t* last, const void* confirm)
{
    runs[0] = {target, count, 1};
    runs[1] = {target, source, words};
    runs[2] = {last, confirm, 1};
}

}  // namespace

uint32_t FlashBufferTransfer(uint8_t* target, uint32_t count, const uint8_t* source, uint32_t words,
                             uint8_t* last)
{
    OsWriteRun runs[3];
    if (BusWidth == 4) {
        const uint32_t countWord = count | (count << 16), confirm = FLASH_CMD_CONFIRM;
        BufferRuns(runs, target, &countWord, source, words, last, &confirm);
        return OsWriteRunsRead32(runs, 3, last);
    }
    const uint16_t countHalf = static_cast<uint16_t>(count), confirm = static_cast<uint16_t>(FLASH_CMD_CONFIRM);
    BufferRuns(runs, target, &countHalf, source, words, last, &confirm);
    return OsWriteRunsRead16(runs, 3, last);
}

int FlashStartBuffer(uint8_t* target, uint32_t count, const uint8_t* source, uint32_t words, uint8_t* last,
                     uint32_t* status)
{
    OsWriteRun runs[3];
    if (BusWidth == 4) {
        const uint32_t countWord = count | (count << 16), confirm = FLASH_CMD_CONFIRM;
        BufferRuns(runs, target, &countWord, source, words, last, &confirm);
        return OsCommandTransfer32(target, FLASH_CMD_WRITE_BUFFER, FLASH_SR_READY, ReadyPattern & FLASH_SR_READY, runs,
                                   3, last, status);
    }
    const uint16_t countHalf = static_cast<uint16_t>(count), confirm = static_cast<uint16_t>(FLASH_CMD_CONFIRM);
    BufferRuns(runs, target, &countHalf, source, words, last, &confirm);
    // A 16-bit status is zero-extended: ready as IsReady sees it when bit 7
    // matches the pattern's, and never when the pattern wants bit 23 set.
    const uint16_t ready = (ReadyPattern16 & 0x00800000u) != 0 ? 0xFFFF : static_cast<uint16_t>(ReadyPattern16 & 0x80);
    uint16_t s16 = 0;
    int ran = OsCommandTransfer16(target, static_cast<uint16_t>(FLASH_CMD_WRITE_BUFFER), 0x0080, ready, runs, 3, last,
                                  &s16);
    *status = s16;
    return ran;
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
        uint32_t n = remaining < kSliceWords ? remaining : kSliceWords;
        OsReadBulk(words, p, n * 4u);
        for (uint32_t i = 0; i < n; ++i) {
            if (words[i] != 0xFFFFFFFFu)
                return 0;
        }
        p += n * 4u;
        remaining -= n;
    }
    return 1;
}

int EraseBlock(uint8_t* address)
{
    if (IsBlockErased(address, FlashBlockSize()))
        return 1;
    // Error bits stay set until cleared; an earlier failure must not fail
    // this erase.
    FlashWriteWord(address, FLASH_CMD_CLEAR_STATUS);
    FlashWriteWord(address, FLASH_CMD_BLOCK_ERASE);
    FlashWriteWord(address, FLASH_CMD_CONFIRM);
    uint32_t t0 = OsGetTickCount();
    for (;;) {
        uint32_t status = FlashReadWord(address);
        if (IsReady(status)) {
            status = FlashReadWord(address);
            return (status & FLASH_ERASE_ERRORS) == 0 ? 1 : 0;
        }
        OsSleep(FLASH_ERASE_POLL_MS);
        if (OsGetTickCount() - t0 >= FLASH_ERASE_TIMEOUT_MS)
            return 0;
    }
}

int ProgramFlash(const uint8_t* source, uint8_t* target, uint32_t count)
{
    const uint32_t w = BusWidth;
    const uint32_t bufferBytes = FLASH_BUFFER_WORDS * w;
    uint32_t remaining = (count + (w - 1)) & ~(w - 1);
    if (remaining == 0)
        return 1;

    uint32_t n = (remaining < bufferBytes ? remaining : bufferBytes) / w;
    uint32_t misalign = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(target) % bufferBytes);
    if (misalign != 0 && n > (bufferBytes - misalign) / w)
        n = (bufferBytes - misalign) / w;

    // Once per call, not per buffer: clear error bits left by an earlier
    // failure so that the status tests below see only this program's.
    FlashWriteWord(target, FLASH_CMD_CLEAR_STATUS);

    while (remaining != 0) {
        uint32_t status = 0;
        uint8_t* last = target + (n - 1) * w;
        // One limit for both waits of a buffer: for a free buffer and for
        // its program.
        WaitStart start;
        // 0xE8 and its status, and when a buffer is free at once (the usual
        // case) the count, the data words (one bus write each, in order)
        // and the confirm at the last word with the first status after
        // them, as one transfer.
        uint32_t first = 0;
        if (!FlashStartBuffer(target, n - 1, source, n, last, &first)) {
            // No free buffer yet: wait for one, then the rest.
            if (!PollReady(target, first, &start, FLASH_BUFFER_TIMEOUT_MS, &status))
                return 0;
            first = FlashBufferTransfer(target, n - 1, source, n, last);
        }
        source += n * w;
        target += n * w;
        remaining -= n * w;
        if (!PollReady(last, first, &start, FLASH_BUFFER_TIMEOUT_MS, &status))
            return 0;
        if (status & FLASH_PROGRAM_ERRORS)
            return 0;
        // A division only for the last, partial buffer (w is a variable).
        n = remaining >= bufferBytes ? FLASH_BUFFER_WORDS : remaining / w;
    }
    return 1;
}
