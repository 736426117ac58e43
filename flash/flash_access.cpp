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
// before it. sleepMs between reads (0: busy-poll, for the write buffer,
// which finishes in microseconds). 1 = ready with *status the ready status
// word; 0 = time-out.
inline int PollReady(const uint8_t* address, uint32_t first, WaitStart* start, uint32_t limitMs,
                     uint32_t* status, uint32_t sleepMs = 0)
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
        if (sleepMs != 0)
            OsSleep(sleepMs);
        s = FlashReadWord(address);
    }
}

// Waits until the device(s) at address are idle: read-status command, then
// the status until ready. A running operation takes no command, and only
// the ready bit of a busy device's status means anything, so nothing else
// may be sent before this says so. *waited tells whether a device was
// busy at first. 1 = idle; 0 = still busy after limitMs.
int WaitIdle(uint8_t* address, uint32_t limitMs, uint32_t sleepMs, int* waited)
{
    FlashWriteWord(address, FLASH_CMD_READ_STATUS);
    uint32_t first = FlashReadWord(address);
    *waited = IsReady(first) ? 0 : 1;
    WaitStart start;
    uint32_t status = 0;
    return PollReady(address, first, &start, limitMs, &status, sleepMs);
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

uint32_t FlashStartBuffers(uint8_t* target, const uint8_t* source, uint32_t lines, uint32_t* status, int* ran)
{
    const uint32_t ready = ReadyPattern & FLASH_SR_READY;
    return OsBufferLines32(target, FLASH_BUFFER_WORDS, lines, FLASH_CMD_WRITE_BUFFER,
                           (FLASH_BUFFER_WORDS - 1) * 0x00010001u, source, FLASH_CMD_CONFIRM, FLASH_SR_READY, ready,
                           FLASH_SR_READY | FLASH_PROGRAM_ERRORS, ready, status, ran);
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
        // All ones when the first word is and every word equals the one
        // before it: one memcmp of the slice against itself, a word on,
        // which the C library does many words at a time (a loop of 32-bit
        // ANDs is not vectorised at the usual optimisation level, and an
        // erase's read-back reads every block whole).
        if (words[0] != 0xFFFFFFFFu || (n > 1 && std::memcmp(words, words + 1, (n - 1) * 4u) != 0))
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
    uint32_t t0 = OsGetTickCount();
    for (;;) {
        uint32_t status = FlashReadWord(address);
        if (IsReady(status)) {
            // Error bits only from a ready status.
            uint32_t again = FlashReadWord(address);
            if (IsReady(again))
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

// The wait for a free write buffer after an 0xE8 whose status (first) did
// not show one: the command again with each status read, as the devices
// want it. On the 32-bit bus a device whose buffer is already free is in
// the middle of the sequence and would take another 0xE8 as its word
// count, so the command goes (as a 16-bit cycle) only to the half whose
// buffer is not free yet. 1 = a buffer is free in every device; 0 = none
// came within the buffer's limit.
int AwaitFreeBuffer(uint8_t* target, uint32_t first, WaitStart* start)
{
    const uint32_t pattern = (BusWidth == 4 ? ReadyPattern : ReadyPattern16) & FLASH_SR_READY;
    uint32_t s = first;
    for (;;) {
        const uint32_t notFree = (s ^ pattern) & FLASH_SR_READY;
        if (notFree == 0)
            return 1;
        uint32_t now = OsGetTickCount();
        if (!start->taken) {
            start->taken = true;
            start->tick = now;
        } else if (now - start->tick >= FLASH_BUFFER_TIMEOUT_MS) {
            return 0;
        }
        if (BusWidth != 4 || notFree == FLASH_SR_READY)
            FlashWriteWord(target, FLASH_CMD_WRITE_BUFFER);
        else if (notFree & 0x80u)
            OsWrite16(target, static_cast<uint16_t>(FLASH_CMD_WRITE_BUFFER));
        else
            OsWrite16(target + 2, static_cast<uint16_t>(FLASH_CMD_WRITE_BUFFER >> 16));
        s = FlashReadWord(target);
    }
}

}  // namespace

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

    // The devices must be idle before anything is sent: a command to a
    // busy device is lost, and the clear below must reach them.
    int waited = 0;
    if (!WaitIdle(target, FLASH_BUFFER_TIMEOUT_MS, 0, &waited))
        return 0;
    // Once per call, not per buffer: clear error bits left by an earlier
    // failure so that the status tests below see only this program's.
    FlashWriteWord(target, FLASH_CMD_CLEAR_STATUS);

    while (remaining != 0) {
        uint32_t status = 0;
        // One limit for both waits of a buffer: for a free buffer and for
        // its program.
        WaitStart start;
        uint32_t first = 0;
        int started;
        if (w == 4 && n == FLASH_BUFFER_WORDS && remaining >= 2 * bufferBytes) {
            // Full lines on the 32-bit bus: as many as the run takes, each
            // the buffer below, while each finishes at once (the usual
            // case); the line that does not is finished below.
            uint32_t lines = remaining / bufferBytes;
            if (lines > OS_TRANSFER_MAX_LINES)
                lines = OS_TRANSFER_MAX_LINES;
            const uint32_t done = FlashStartBuffers(target, source, lines, &first, &started);
            source += done * bufferBytes;
            target += done * bufferBytes;
            remaining -= done * bufferBytes;
            if (done == lines) {
                n = remaining >= bufferBytes ? FLASH_BUFFER_WORDS : remaining / w;
                continue;
            }
        } else {
            // 0xE8 and its status, and when a buffer is free at once (the
            // usual case) the count, the data words (one bus write each,
            // in order) and the confirm at the last word with the first
            // status after them, as one transfer.
            started = FlashStartBuffer(target, n - 1, source, n, target + (n - 1) * w, &first);
        }
        uint8_t* last = target + (n - 1) * w;
        if (!started) {
            // No free buffer yet: 0xE8 again with each status read, until
            // one is free, then the rest.
            if (!AwaitFreeBuffer(target, first, &start))
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
