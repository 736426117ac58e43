// The board's memory bus and the flash devices' command state machines:
// each cycle is routed to the device(s) it reaches, counted, and run
// through the device's state machine. (Kept in one unit so the per-cycle
// path inlines: an image update makes millions of cycles.)
#include "board/bus.h"

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "board/board.h"
#include "board/flash_state.h"

namespace board {
namespace flash {

std::atomic<bool> g_commandFastPath{true};

namespace {

std::atomic<void (*)()> g_powerLossHook{nullptr};

uint64_t SplitMix(uint64_t x)
{
    x += 0x9E3779B97F4A7C15ull;
    x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
    x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
    return x ^ (x >> 31);
}

struct OpTimes {
    double typical, maximum;
};

// An operation's typical and maximum time (words: of a buffer).
OpTimes TimesOf(uint32_t kind, uint32_t words)
{
    switch (kind) {
    case kPendingErase:
        return {double(kEraseMicros), double(kEraseMaxMicros)};
    case kPendingProgram:
        return {double(kWordProgramMicros), double(kWordProgramMaxMicros)};
    case kPendingBuffer: {
        const double share = double(std::min(words, kFlashBufferWords)) / kFlashBufferWords;
        return {double(kBufferProgramMicros) * share, double(kBufferProgramMaxMicros) * share};
    }
    case kPendingLock:
        return {double(kLockMicros), double(kLockMaxMicros)};
    case kPendingUnlock:
        return {double(kUnlockMicros), double(kUnlockMaxMicros)};
    default:
        return {0, 0};
    }
}

// The longest an operation takes under the board's timing now (0: none).
double LongestMicros(const Context& c, uint32_t kind, uint32_t words)
{
    const OpTimes t = TimesOf(kind, words);
    switch (c.timing) {
    case kTimingTypical:
        return t.typical;
    case kTimingMax:
    case kTimingRandom:
        return t.maximum;
    case kTimingScaled:
        return std::max(1.0, t.typical * c.timeScale);
    default:
        return 0;
    }
}

// The status reads busy from now for the operation's time (none without
// timing). word is the word programmed or the buffer's line, words the
// buffer's count. Under `scaled` even the shortest operation is busy for
// one status read at least, so that busy polling is exercised.
void StartBusy(Context& c, DeviceState& s, uint32_t kind, uint32_t block, uint32_t word, uint32_t words)
{
    if (c.timing == kTimingNone)
        return;
    const OpTimes t = TimesOf(kind, words);
    double us = t.typical;
    if (c.timing == kTimingMax) {
        us = t.maximum;
    } else if (c.timing == kTimingRandom) {
        const uint64_t r = SplitMix(c.timingSeed * 0xD1B54A32D192ED03ull + ++c.timingDraws);
        us = t.typical + (t.maximum - t.typical) * (double(r >> 11) * 0x1p-53);
    } else if (c.timing == kTimingScaled) {
        us = t.typical * c.timeScale;
    }
    double rounded = std::round(us);
    uint32_t reads = 0;
    if (c.timing == kTimingScaled) {
        reads = 1;
        if (!(rounded >= 1))
            rounded = 1;
    }
    if (!(rounded >= 1))
        return;
    uint64_t dur = rounded > 1e15 ? uint64_t(1e15) : uint64_t(rounded);
    uint64_t now = OsClockMicros();
    s.busyStart = now;
    s.busyUntil = now + dur;
    if (s.busyUntil < now || s.busyUntil >= kSuspendedIdle)
        s.busyUntil = kSuspendedIdle - 1;
    s.busyReads = reads;
    s.pendingKind = kind;
    s.pendingBlock = block;
    s.pendingWord = word;
}

// A command sequence the device does not know: both error bits, status mode.
void BadSequence(DeviceState& s)
{
    s.status |= kStatusEraseError | kStatusProgramError;
    s.mode = uint32_t(FlashMode::ReadStatus);
}

uint16_t ArrayWord(const Context& c, int d, uint32_t w)
{
    uint16_t v;
    std::memcpy(&v, c.image + WordOffset(c, d, w), 2);
    return v;
}

// Programming only clears bits (and not the stuck bits of a worn block).
void ProgramArrayWord(Context& c, int d, uint32_t w, uint16_t v)
{
    if (Faults(c, d, w / kFlashDeviceBlockWords) & kFaultStuck)
        v = uint16_t(v | FlashStuckBits(w));
    uint16_t now = uint16_t(ArrayWord(c, d, w) & v);
    std::memcpy(c.image + WordOffset(c, d, w), &now, 2);
}

// An erase writes every page of its block: map them writable in one call
// rather than one page fault each (several milliseconds per image on
// tmpfs). Only a hint: the contents are not touched, and a kernel without
// it takes the faults as before.
void PrepareBlockWrite(Context& c, size_t offset, size_t bytes)
{
#ifndef MADV_POPULATE_WRITE
    constexpr int MADV_POPULATE_WRITE = 23;
#endif
    (void)madvise(c.image + offset, bytes, MADV_POPULATE_WRITE);
}

void EraseArrayBlock(Context& c, int d, uint32_t b)
{
    uint32_t first = b * kFlashDeviceBlockWords;
    if (!c.bus32) {
        PrepareBlockWrite(c, WordOffset(c, d, first), kFlashDeviceBlockBytes);
        std::memset(c.image + WordOffset(c, d, first), 0xFF, kFlashDeviceBlockBytes);
        return;
    }
    // Device d holds bytes 2d and 2d+1 of every bus word: erasing sets just
    // those bits, eight bytes (two bus words) at a time.
    uint8_t pattern[8] = {};
    for (int k = 0; k < 8; k += 4)
        pattern[k + 2 * d] = pattern[k + 2 * d + 1] = 0xFF;
    uint64_t bits;
    std::memcpy(&bits, pattern, 8);
    uint8_t* p = c.image + WordOffset(c, 0, first);
    PrepareBlockWrite(c, WordOffset(c, 0, first), kFlashDeviceBlockWords * 4);
    for (uint32_t at = 0; at < kFlashDeviceBlockWords * 4; at += 8) {
        uint64_t v;
        std::memcpy(&v, p + at, 8);
        v |= bits;
        std::memcpy(p + at, &v, 8);
    }
}

// The checks an erase or program goes through before it touches the
// array. false when it fails (status set) or hangs (kFaultBusy). A
// program into the block of a suspended erase fails.
inline bool MayModify(Context& c, int d, DeviceState& s, uint32_t b, uint16_t errorBit, uint32_t kind)
{
    if ((s.suspended & kSuspendErase) && b == s.eraseBlock) {
        s.status |= errorBit;
        return false;
    }
    uint8_t f = Faults(c, d, b);
    if (Locked(c, d, b)) {
        s.status |= kStatusBlockLocked | errorBit;
        return false;
    }
    if (f & kFaultVpp) {
        s.status |= kStatusVppLow | errorBit;
        return false;
    }
    if (f & kFaultBusy) {
        s.busyStart = 0;
        s.busyUntil = kStuck;
        s.pendingKind = kind;
        s.pendingBlock = b;
        return false;
    }
    if (f & (errorBit == kStatusEraseError ? kFaultErase : kFaultProgram)) {
        s.status |= errorBit;
        return false;
    }
    return true;
}

void EraseBlockOp(Context& c, int d, DeviceState& s, uint32_t b)
{
    s.mode = uint32_t(FlashMode::ReadStatus);
    if (!MayModify(c, d, s, b, kStatusEraseError, kPendingErase))
        return;
    EraseArrayBlock(c, d, b);
    StartBusy(c, s, kPendingErase, b, 0, 0);
}

// A confirm reaching both devices of the 32-bit bus in erase setup (idle):
// the same as the two cycles one after the other, with one pass over the
// bus block when both erase it (between them they hold all of its bytes;
// their checks and times run in device order).
void EraseBoth(Context& c, uint32_t w, uint32_t value)
{
    const uint32_t b = w / kFlashDeviceBlockWords;
    bool erase[kFlashDevices];
    for (int d = 0; d < kFlashDevices; ++d) {
        DeviceState& s = c.state->dev[d];
        ++c.counters.writes[d];
        erase[d] = false;
        if (uint8_t(value >> (16 * d)) != kCmdConfirm) {
            BadSequence(s);
            continue;
        }
        s.mode = uint32_t(FlashMode::ReadStatus);
        erase[d] = MayModify(c, d, s, b, kStatusEraseError, kPendingErase);
    }
    if (erase[0] && erase[1]) {
        const size_t at = WordOffset(c, 0, b * kFlashDeviceBlockWords);
        PrepareBlockWrite(c, at, 2 * kFlashDeviceBlockBytes);
        std::memset(c.image + at, 0xFF, 2 * kFlashDeviceBlockBytes);
    } else {
        for (int d = 0; d < kFlashDevices; ++d) {
            if (erase[d])
                EraseArrayBlock(c, d, b);
        }
    }
    for (int d = 0; d < kFlashDevices; ++d) {
        if (erase[d])
            StartBusy(c, c.state->dev[d], kPendingErase, b, 0, 0);
    }
}

void WordProgramOp(Context& c, int d, DeviceState& s, uint32_t w, uint16_t v)
{
    uint32_t b = w / kFlashDeviceBlockWords;
    s.mode = uint32_t(FlashMode::ReadStatus);
    s.pendingWord = w;
    if (!MayModify(c, d, s, b, kStatusProgramError, kPendingProgram))
        return;
    ProgramArrayWord(c, d, w, v);
    StartBusy(c, s, kPendingProgram, b, w, 1);
}

// The checks of a buffer confirm before the array is touched: the buffer
// must describe one line of the block of the 0xE8 command, and the block
// must take a program. Leaves the device in status mode. true when the
// line is to be programmed.
bool BeginBufferProgram(Context& c, int d, DeviceState& s)
{
    uint32_t b = s.bufBlock;
    if (b >= kFlashDeviceBlocks || s.bufLine % kFlashBufferWords != 0 ||
        s.bufLine / kFlashDeviceBlockWords != b || s.bufCount == 0 || s.bufCount > kFlashBufferWords) {
        BadSequence(s);
        return false;
    }
    s.mode = uint32_t(FlashMode::ReadStatus);
    s.pendingWord = s.bufLine;
    return MayModify(c, d, s, b, kStatusProgramError, kPendingBuffer);
}

// What programming a slot leaves of the array word: the buffered value
// for a slot that was written, all ones (no change) for one that was not.
inline uint16_t SlotValue(const DeviceState& s, uint32_t slot)
{
    // Without a branch: (bit - 1) is all ones for a slot not written.
    return uint16_t(s.bufData[slot] | uint16_t(((s.bufMask >> slot) & 1u) - 1u));
}

// Programs the buffered words into the line (programming only clears
// bits). The line's words lie one device word apart: 4 bytes on the 32-bit
// bus, 2 on the 16-bit bus (BeginBufferProgram checked that bufLine lies
// in the buffer's block).
void ProgramBufferLine(Context& c, int d, const DeviceState& s)
{
    uint8_t* p = c.image + WordOffset(c, d, s.bufLine);
    const size_t stride = c.bus32 ? 4 : 2;
    const bool worn = (Faults(c, d, s.bufBlock) & kFaultStuck) != 0;
    for (uint32_t slot = 0; slot < kFlashBufferWords; ++slot, p += stride) {
        uint16_t v;
        std::memcpy(&v, p, 2);
        uint16_t keep = SlotValue(s, slot);
        if (worn)
            keep = uint16_t(keep | FlashStuckBits(s.bufLine + slot));
        v = uint16_t(v & keep);
        std::memcpy(p, &v, 2);
    }
}

// The program time of a confirmed buffer.
inline void EndBufferProgram(Context& c, DeviceState& s)
{
    if (c.timing != kTimingNone)
        StartBusy(c, s, kPendingBuffer, s.bufBlock, s.bufLine, s.bufCount);
}

void BufferProgramOp(Context& c, int d, DeviceState& s)
{
    if (!BeginBufferProgram(c, d, s))
        return;
    ProgramBufferLine(c, d, s);
    EndBufferProgram(c, s);
}

// Lock sets the addressed block's lock bit; unlock clears every lock bit
// of the device at once, as the chips of this family do. Both take time.
void LockOp(Context& c, int d, DeviceState& s, uint32_t b, bool lock)
{
    s.mode = uint32_t(FlashMode::ReadStatus);
    if (Faults(c, d, b) & kFaultVpp) {
        s.status |= kStatusVppLow | (lock ? kStatusProgramError : kStatusEraseError);
        return;
    }
    if (lock)
        s.locked[b] = 1;
    else
        std::memset(s.locked, 0, sizeof s.locked);
    StartBusy(c, s, lock ? kPendingLock : kPendingUnlock, b, 0, 0);
}

// One data word into the write buffer (the cycle an update makes most).
// The chips take data only at the addresses from the first data word's on,
// as many as the count announced, each once, within one line.
inline void BufferDataWrite(DeviceState& s, uint32_t w, uint16_t value)
{
    const uint32_t filled = s.bufFilled;
    const uint32_t count = s.bufCount;
    const uint32_t slot = w % kFlashBufferWords;
    const uint32_t bit = 1u << slot;
    const uint32_t start = filled == 0 ? w : s.bufStart;
    // filled < count also rules out a count of 0.
    if (w / kFlashDeviceBlockWords != s.bufBlock || count > kFlashBufferWords || filled >= count ||
        (filled == 0 ? slot + count > kFlashBufferWords : (w - start >= count || (s.bufMask & bit) != 0))) {
        BadSequence(s);
        return;
    }
    s.bufStart = start;
    s.bufLine = w & ~(kFlashBufferWords - 1);
    s.bufData[slot] = value;
    s.bufMask |= bit;
    s.bufFilled = filled + 1;
    if (filled + 1 == count)
        s.mode = uint32_t(FlashMode::BufferConfirm);
}

uint16_t IdentifierWord(const Context& c, int d, uint32_t w)
{
    switch (w % kFlashDeviceBlockWords) {
    case 0:
        return kFlashManufacturerId;
    case 1:
        return kFlashDeviceId;
    case 2:
        return Locked(c, d, w / kFlashDeviceBlockWords) ? 1 : 0;
    default:
        return 0;
    }
}

// The query table one device answers (one byte per word, from word 0x10).
// Its times are powers of two that cover the board's own: each typical
// figure rounded up, and each maximum at least the longest time `timing
// max` gives, so that a driver which takes its time-outs from here never
// gives up on a sound device. The extended table (from 0x31) names what
// the state machine really does: erase and program suspend, programs in
// other blocks while an erase is suspended, and the lock commands 0x60 with
// 0x01 / 0xD0; it has no protection register, so that feature bit is off
// and the table ends before the register's fields.
uint16_t CfiWord(uint32_t w)
{
    static const uint8_t kTable[] = {
        'Q', 'R', 'Y',           // 0x10 signature
        0x01, 0x00,              // 0x13 command set: Intel extended
        0x31, 0x00,              // 0x15 its extended table
        0x00, 0x00, 0x00, 0x00,  // 0x17 no alternate command set
        0x27, 0x36, 0x00, 0x00,  // 0x1B supply voltages: 2.7 V .. 3.6 V, no Vpp pin
        0x08,                    // 0x1F word program typical 2^8 us
        0x08,                    // 0x20 buffer program typical 2^8 us
        0x0A,                    // 0x21 block erase typical 2^10 ms
        0x00,                    // 0x22 no chip erase
        0x02, 0x02, 0x02, 0x00,  // 0x23 maxima: 2^N times typical
        0x18,                    // 0x27 device size 2^24 bytes
        0x02, 0x00,              // 0x28 interface: x8/x16
        0x05, 0x00,              // 0x2A write buffer 2^5 bytes
        0x01,                    // 0x2C one erase block region
        0x7F, 0x00, 0x00, 0x02,  // 0x2D 128 blocks of 512 * 256 bytes
        'P', 'R', 'I', '1', '1', // 0x31 extended table signature and version
        0x0E, 0x00, 0x00, 0x00,  // 0x36 features: erase suspend, program suspend, lock / unlock
        0x01,                    // 0x3A a program may run while an erase is suspended
        0x01, 0x00,              // 0x3B a block's lock bit reads in identifier mode
        0x33,                    // 0x3D best supply for program and erase: 3.3 V
        0x00,                    // 0x3E no Vpp pin
    };
    uint32_t at = w % kFlashDeviceBlockWords;
    if (at < 0x10 || at - 0x10 >= sizeof kTable)
        return 0;
    return kTable[at - 0x10];
}

// What the array reads where an operation was suspended (the chips give
// no valid data there): a pattern that is neither the data nor erased.
inline uint16_t UndefinedWord(uint32_t w)
{
    return uint16_t(0x5AC3u ^ (w * 0x9E37u));
}

// Whether word w lies where device s has suspended an operation.
bool InSuspendedArea(const DeviceState& s, uint32_t w)
{
    if ((s.suspended & kSuspendErase) && w / kFlashDeviceBlockWords == s.eraseBlock)
        return true;
    if (s.suspended & kSuspendProgram) {
        if (s.programKind == kPendingBuffer)
            return (w & ~(kFlashBufferWords - 1)) == s.programWord;
        return s.programKind == kPendingProgram && w == s.programWord;
    }
    return false;
}

// A read cycle the fast path in DeviceRead does not answer. While busy
// only SR7 is valid; after 0xE8, while the buffer is loaded, the device
// answers its extended status, in which only XSR7 (a buffer is free) is.
[[gnu::noinline]] uint16_t DeviceReadSlow(Context& c, int d, DeviceState& s, uint32_t w)
{
    if (Busy(c, d, s)) {
        ++c.counters.statusReads[d];
        if (s.busyReads != 0)
            --s.busyReads;
        return kStatusUndefined;
    }
    switch (ModeOf(s)) {
    case FlashMode::ReadArray:
        ++c.counters.arrayReads[d];
        if (s.suspended != 0 && InSuspendedArea(s, w))
            return UndefinedWord(w);
        return ArrayWord(c, d, w);
    case FlashMode::ReadIdentifier:
        return IdentifierWord(c, d, w);
    case FlashMode::CfiQuery:
        return CfiWord(w);
    case FlashMode::BufferCount:
    case FlashMode::BufferData:
    case FlashMode::BufferConfirm:
        ++c.counters.statusReads[d];
        return kStatusReady | kStatusUndefined;
    default:
        ++c.counters.statusReads[d];
        return StatusWord(s);
    }
}

// One bus cycle reaching device d at its word address w (w < kFlashDeviceWords).
// An idle device that answers with array data or its status (the reads a
// program makes most) is answered here; everything else by DeviceReadSlow.
inline uint16_t DeviceRead(Context& c, int d, uint32_t w)
{
    DeviceState& s = c.state->dev[d];
    ++c.counters.reads[d];
    if (s.busyUntil == 0) {
        if (s.mode == uint32_t(FlashMode::ReadArray)) {
            ++c.counters.arrayReads[d];
            return ArrayWord(c, d, w);
        }
        // Read status (nothing suspended: busyUntil would not be 0).
        if (s.mode == uint32_t(FlashMode::ReadStatus)) {
            ++c.counters.statusReads[d];
            return uint16_t((s.status & 0x3A) | kStatusReady);
        }
    }
    return DeviceReadSlow(c, d, s, w);
}

// The word count after 0xE8: 0..15 for 1..16 words, at the block of the
// command.
inline void BufferCountWrite(DeviceState& s, uint32_t block, uint16_t value)
{
    if (block != s.bufBlock || value >= kFlashBufferWords) {
        BadSequence(s);
        return;
    }
    s.bufCount = value + 1u;
    s.bufFilled = 0;
    s.bufMask = 0;
    s.mode = uint32_t(FlashMode::BufferData);
}

// The write after the buffer's last word: 0xD0 at the block of the 0xE8
// command programs it; anything else is a bad sequence.
inline void BufferConfirmWrite(Context& c, int d, DeviceState& s, uint32_t block, uint8_t cmd)
{
    if (cmd == kCmdConfirm && block == s.bufBlock)
        BufferProgramOp(c, d, s);
    else
        BadSequence(s);
}

// 0xE8 on a device that takes commands. The device answers with its
// status, ready once a buffer is free; a hanging device never frees one.
// While an erase or program error bit is set the device takes no write to
// buffer at all (the error must be cleared first): it stays in status mode
// and the cycles that follow are taken as commands.
inline void WriteToBufferCommand(Context& c, int d, DeviceState& s, uint32_t block)
{
    if (s.status & (kStatusEraseError | kStatusProgramError)) {
        s.mode = uint32_t(FlashMode::ReadStatus);
        return;
    }
    if (Faults(c, d, block) & kFaultBusy) {
        s.mode = uint32_t(FlashMode::ReadStatus);
        s.busyStart = 0;
        s.busyUntil = kStuck;
        s.pendingKind = kPendingBuffer;
        s.pendingBlock = block;
        s.pendingWord = ~0u;  // nothing of the array is touched yet
        return;
    }
    s.mode = uint32_t(FlashMode::BufferCount);
    s.bufBlock = block;
    s.bufCount = s.bufFilled = s.bufMask = 0;
}

// 0xB0 while an erase or a program runs: it stops where it is (SR6 or SR2
// set, SR7 ready) until a resume. An erase may be suspended, then a program
// elsewhere started and suspended in turn. Lock commands run to the end.
void SuspendOp(DeviceState& s)
{
    if (s.busyUntil == kStuck)
        return;
    const uint64_t now = OsClockMicros();
    const uint64_t left = s.busyUntil > now && now >= s.busyStart ? s.busyUntil - now : 0;
    if (s.pendingKind == kPendingErase && !(s.suspended & kSuspendErase)) {
        s.suspended |= kSuspendErase;
        s.eraseLeft = left;
        s.eraseBlock = s.pendingBlock;
    } else if ((s.pendingKind == kPendingProgram || s.pendingKind == kPendingBuffer) &&
               !(s.suspended & kSuspendProgram)) {
        s.suspended |= kSuspendProgram;
        s.programLeft = left;
        s.programKind = s.pendingKind;
        s.programBlock = s.pendingBlock;
        s.programWord = s.pendingWord;
    } else {
        return;
    }
    s.pendingKind = kPendingNone;
    s.busyReads = 0;
    s.busyUntil = kSuspendedIdle;
}

// 0xD0 to a suspended device: the program suspended last goes on (else the
// erase), and reads return the status.
void ResumeOp(DeviceState& s)
{
    uint64_t left;
    if (s.suspended & kSuspendProgram) {
        s.suspended &= ~uint32_t(kSuspendProgram);
        s.pendingKind = s.programKind;
        s.pendingBlock = s.programBlock;
        s.pendingWord = s.programWord;
        left = s.programLeft;
    } else {
        s.suspended &= ~uint32_t(kSuspendErase);
        s.pendingKind = kPendingErase;
        s.pendingBlock = s.eraseBlock;
        left = s.eraseLeft;
    }
    s.mode = uint32_t(FlashMode::ReadStatus);
    const uint64_t now = OsClockMicros();
    s.busyStart = now;
    s.busyUntil = left != 0 && now + left < kSuspendedIdle ? now + left : IdleUntil(s);
}

// Everything but a buffer data word: commands and the steps of sequences.
[[gnu::noinline]] void DeviceWriteSlow(Context& c, int d, DeviceState& s, uint32_t w, uint16_t value)
{
    // A running operation takes no commands but a suspend.
    if (Busy(c, d, s)) {
        if (uint8_t(value) == kCmdSuspend)
            SuspendOp(s);
        return;
    }
    const uint8_t cmd = uint8_t(value & 0xFF);
    // While suspended the device takes reads, clear status, resume and,
    // during an erase suspend, programs; anything else is a bad sequence.
    if (s.suspended != 0 && ModeOf(s) <= FlashMode::CfiQuery) {
        const bool programs = !(s.suspended & kSuspendProgram);
        switch (cmd) {
        case kCmdConfirm:
            ResumeOp(s);
            return;
        case kCmdBlockErase:
        case kCmdLockSetup:
            BadSequence(s);
            return;
        case kCmdWordProgram:
        case kCmdWordProgramAlt:
        case kCmdWriteToBuffer:
            if (!programs) {
                BadSequence(s);
                return;
            }
            break;
        default:
            break;
        }
    }
    const uint32_t block = w / kFlashDeviceBlockWords;
    switch (ModeOf(s)) {
    case FlashMode::EraseSetup:
        if (cmd == kCmdConfirm)
            EraseBlockOp(c, d, s, block);
        else
            BadSequence(s);
        return;
    case FlashMode::ProgramSetup:
        WordProgramOp(c, d, s, w, value);
        return;
    case FlashMode::BufferCount:
        BufferCountWrite(s, block, value);
        return;
    case FlashMode::BufferData:
        BufferDataWrite(s, w, value);
        return;
    case FlashMode::BufferConfirm:
        BufferConfirmWrite(c, d, s, block, cmd);
        return;
    case FlashMode::LockSetup:
        if (cmd == kCmdLockBlock)
            LockOp(c, d, s, block, true);
        else if (cmd == kCmdConfirm)
            LockOp(c, d, s, block, false);
        else
            BadSequence(s);
        return;
    default:
        break;
    }
    switch (cmd) {
    case kCmdReadArray:
        s.mode = uint32_t(FlashMode::ReadArray);
        break;
    case kCmdReadStatus:
        s.mode = uint32_t(FlashMode::ReadStatus);
        break;
    case kCmdClearStatus:
        s.status = 0;
        break;
    case kCmdReadIdentifier:
        s.mode = uint32_t(FlashMode::ReadIdentifier);
        break;
    case kCmdCfiQuery:
        s.mode = uint32_t(FlashMode::CfiQuery);
        break;
    case kCmdBlockErase:
        s.mode = uint32_t(FlashMode::EraseSetup);
        break;
    case kCmdWordProgram:
    case kCmdWordProgramAlt:
        s.mode = uint32_t(FlashMode::ProgramSetup);
        break;
    case kCmdWriteToBuffer:
        WriteToBufferCommand(c, d, s, block);
        break;
    case kCmdLockSetup:
        s.mode = uint32_t(FlashMode::LockSetup);
        break;
    default:
        break;  // not a command: ignored
    }
}

// One write cycle reaching device d at its word address w. The cycles of
// a buffer program on an idle device (0xE8 in read-array or status mode,
// the count, the data words, the confirm) are handled here; everything
// else by DeviceWriteSlow. Each takes the same step as there.
inline void DeviceWrite(Context& c, int d, uint32_t w, uint16_t value)
{
    DeviceState& s = c.state->dev[d];
    ++c.counters.writes[d];
    if (s.busyUntil == 0) {
        const uint32_t mode = s.mode;
        if (mode == uint32_t(FlashMode::BufferData)) {
            BufferDataWrite(s, w, value);
            return;
        }
        if (g_commandFastPath.load(std::memory_order_relaxed)) {
            const uint32_t block = w / kFlashDeviceBlockWords;
            if (mode == uint32_t(FlashMode::BufferCount)) {
                BufferCountWrite(s, block, value);
                return;
            }
            if (mode == uint32_t(FlashMode::BufferConfirm)) {
                BufferConfirmWrite(c, d, s, block, uint8_t(value));
                return;
            }
            if ((mode == uint32_t(FlashMode::ReadArray) || mode == uint32_t(FlashMode::ReadStatus)) &&
                uint8_t(value) == kCmdWriteToBuffer) {
                WriteToBufferCommand(c, d, s, block);
                return;
            }
        }
    }
    DeviceWriteSlow(c, d, s, w, value);
}

// Eight 16-bit lanes: the bus line's halves are split and merged in these
// (vector extensions; the compiler picks the shuffles the target has).
typedef uint16_t Halves __attribute__((vector_size(16)));
typedef uint32_t Lanes __attribute__((vector_size(16)));

// The 16 bus words at p ANDed with the 16 at keep (both any alignment),
// 16 bytes at a time (a copy of the line to the stack and back may be
// compiled to string moves, which cost more than the whole program step).
inline void AndLine(uint8_t* p, const void* keep)
{
    for (size_t at = 0; at < 64; at += 16) {
        Lanes v, k;
        std::memcpy(&v, p + at, 16);
        std::memcpy(&k, static_cast<const uint8_t*>(keep) + at, 16);
        v &= k;
        std::memcpy(p + at, &v, 16);
    }
}

// The line at p ANDed with the bus words that two full buffers make: lo
// holds the low halves of the 16 words, hi the high halves.
inline void AndFullLines(uint8_t* p, const uint16_t* lo, const uint16_t* hi)
{
    for (size_t part = 0; part < 2; ++part) {
        Halves l, h;
        std::memcpy(&l, lo + 8 * part, 16);
        std::memcpy(&h, hi + 8 * part, 16);
        const Halves first = __builtin_shufflevector(l, h, 0, 8, 1, 9, 2, 10, 3, 11);
        const Halves second = __builtin_shufflevector(l, h, 4, 12, 5, 13, 6, 14, 7, 15);
        uint8_t* q = p + 32 * part;
        Halves v;
        std::memcpy(&v, q, 16);
        v &= first;
        std::memcpy(q, &v, 16);
        std::memcpy(&v, q + 16, 16);
        v &= second;
        std::memcpy(q + 16, &v, 16);
    }
}

// How far ahead of the line being programmed its successors are fetched
// for writing: the hardware's own prefetch stops at page boundaries, and
// a program's store that misses the cache holds up the device lock of the
// next cycle.
constexpr size_t kProgramPrefetchBytes = 2048;

// Fetches the line kProgramPrefetchBytes past the one at p (in the image)
// for writing.
inline void PrefetchAhead(const Context& c, const uint8_t* p)
{
    if (size_t(p - c.image) + kProgramPrefetchBytes < kFlashSize)
        __builtin_prefetch(p + kProgramPrefetchBytes, 1, 3);
}

// A confirm reaching both devices of the 32-bit bus while both wait for it
// (idle, BufferConfirm): the same as the two cycles one after the other,
// with the lines of both programmed in one pass when they are the same
// line (the devices hold different bytes of it, so the order of their
// programs does not matter; their checks and times run in device order).
void ConfirmBoth(Context& c, uint32_t w, uint32_t value)
{
    DeviceState* s[kFlashDevices] = {&c.state->dev[0], &c.state->dev[1]};
    const uint32_t block = w / kFlashDeviceBlockWords;
    bool program[kFlashDevices];
    for (int d = 0; d < kFlashDevices; ++d) {
        ++c.counters.writes[d];
        const uint8_t cmd = uint8_t(value >> (16 * d));
        program[d] = false;
        if (cmd == kCmdConfirm && block == s[d]->bufBlock)
            program[d] = BeginBufferProgram(c, d, *s[d]);
        else
            BadSequence(*s[d]);
    }
    const DeviceState& s0 = *s[0];
    const DeviceState& s1 = *s[1];
    // (A worn block's stuck bits are the devices' own business.)
    if (program[0] && program[1] && s0.bufLine == s1.bufLine &&
        ((Faults(c, 0, block) | Faults(c, 1, block)) & kFaultStuck) == 0) {
        uint8_t* p = c.image + WordOffset(c, 0, s0.bufLine);
        // What each bus word keeps: the bits both devices' values leave set
        // (a local array, which nothing else can change, so the loops run
        // on whole registers).
        if ((s0.bufMask & s1.bufMask) == (1u << kFlashBufferWords) - 1) {
            // Every slot of both buffers written (the usual full buffer).
            AndFullLines(p, s0.bufData, s1.bufData);
            PrefetchAhead(c, p);
        } else {
            alignas(16) uint32_t keep[kFlashBufferWords];
            for (uint32_t slot = 0; slot < kFlashBufferWords; ++slot)
                keep[slot] = uint32_t(SlotValue(s0, slot)) | (uint32_t(SlotValue(s1, slot)) << 16);
            AndLine(p, keep);
        }
    } else {
        for (int d = 0; d < kFlashDevices; ++d) {
            if (program[d])
                ProgramBufferLine(c, d, *s[d]);
        }
    }
    for (int d = 0; d < kFlashDevices; ++d) {
        if (program[d])
            EndBufferProgram(c, *s[d]);
    }
}

// How many of n data words from device word w on device d takes into its
// write buffer with nothing else happening: it is idle and loading a
// buffer, and the words stay in the block of the 0xE8 command, in one line
// and within the announced count. 0 when the next word needs the full
// state machine (which then decides what it does).
inline uint32_t BufferRoom(const DeviceState& s, uint32_t w, size_t n)
{
    if (s.mode != uint32_t(FlashMode::BufferData) || s.busyUntil != 0)
        return 0;
    const uint32_t count = s.bufCount;
    const uint32_t filled = s.bufFilled;
    if (count > kFlashBufferWords || filled >= count || w / kFlashDeviceBlockWords != s.bufBlock)
        return 0;
    const uint32_t slot = w % kFlashBufferWords;
    uint32_t room;
    if (filled == 0) {
        if (slot + count > kFlashBufferWords)
            return 0;
        room = count;
    } else {
        // Up to the end of the range from the first word, and not past a
        // slot already written (BufferDataWrite refuses both).
        if (w - s.bufStart >= count)
            return 0;
        room = s.bufStart + count - w;
        const uint32_t ahead = s.bufMask >> slot;
        if (ahead & 1)
            return 0;
        if (ahead != 0)
            room = std::min(room, uint32_t(__builtin_ctz(ahead)));
    }
    return n < room ? uint32_t(n) : room;
}

// k data words (k no more than BufferRoom allowed) into device d's buffer
// from word w on; value[i] is the i-th. The same as k BufferDataWrite calls.
inline void BufferFill(Context& c, int d, uint32_t w, uint32_t k, const uint16_t* value)
{
    DeviceState& s = c.state->dev[d];
    const uint32_t first = w % kFlashBufferWords;
    const uint32_t run = ((1u << k) - 1) << first;  // k <= 16
    uint16_t* data = s.bufData + first;
    // Slots not written before in this buffer (BufferRoom saw to it; a
    // fixed size for a whole line: a few register moves).
    if (k == kFlashBufferWords)
        std::memcpy(data, value, kFlashBufferWords * 2);
    else
        std::memcpy(data, value, size_t(k) * 2);
    if (s.bufFilled == 0)
        s.bufStart = w;
    s.bufMask |= run;
    s.bufLine = w & ~(kFlashBufferWords - 1);
    s.bufFilled += k;
    if (s.bufFilled == s.bufCount)
        s.mode = uint32_t(FlashMode::BufferConfirm);
    c.counters.writes[d] += k;
}

// Whether device s waits for the 16 data words of a full buffer whose line
// starts at word w: idle, the count 16 taken and no word yet, w the first
// word of a line in the block of the 0xE8 command. BufferRoom then allows
// the whole line and BufferFill takes it into empty slots.
inline bool FreshLine(const DeviceState& s, uint32_t w)
{
    return s.mode == uint32_t(FlashMode::BufferData) && s.busyUntil == 0 && s.bufCount == kFlashBufferWords &&
           s.bufFilled == 0 && w % kFlashBufferWords == 0 && w / kFlashDeviceBlockWords == s.bufBlock;
}

// A whole line of 16 bus words (src, any alignment) into the fresh buffers
// of both devices of the 32-bit bus (FreshLine of both): the low halves to
// device 0, the high halves to device 1, with BufferFill's effect.
inline void FillFreshLines(Context& c, uint32_t w, const uint8_t* src)
{
    DeviceState& s0 = c.state->dev[0];
    DeviceState& s1 = c.state->dev[1];
    for (size_t part = 0; part < 2; ++part) {
        // Eight bus words: their low halves to device 0, high to device 1.
        Halves a, b;
        std::memcpy(&a, src + 32 * part, 16);
        std::memcpy(&b, src + 32 * part + 16, 16);
        const Halves lo = __builtin_shufflevector(a, b, 0, 2, 4, 6, 8, 10, 12, 14);
        const Halves hi = __builtin_shufflevector(a, b, 1, 3, 5, 7, 9, 11, 13, 15);
        std::memcpy(s0.bufData + 8 * part, &lo, 16);
        std::memcpy(s1.bufData + 8 * part, &hi, 16);
    }
    for (DeviceState* s : {&s0, &s1}) {
        s->bufMask = (1u << kFlashBufferWords) - 1;
        s->bufStart = w;
        s->bufLine = w;
        s->bufFilled = kFlashBufferWords;
        s->mode = uint32_t(FlashMode::BufferConfirm);
    }
    c.counters.writes[0] += kFlashBufferWords;
    c.counters.writes[1] += kFlashBufferWords;
    c.counters.busWrites += kFlashBufferWords;
}

// Whether device d answers reads with array data without changing state
// (read-array mode and idle), so a bulk read may copy the array directly.
bool DeviceReadsArray(Context& c, int d)
{
    DeviceState& s = c.state->dev[d];
    return !Busy(c, d, s) && ModeOf(s) == FlashMode::ReadArray && s.suspended == 0;
}

// What an operation cut short leaves: the erase block, the buffer's line
// or the word with unpredictable bits, neither the old data nor all ones.
void Scramble(Context& c, int d, uint32_t kind, uint32_t block, uint32_t word, uint64_t salt)
{
    uint32_t first = 0, n = 0;
    if (kind == kPendingErase && block < kFlashDeviceBlocks) {
        first = block * kFlashDeviceBlockWords;
        n = kFlashDeviceBlockWords;
    } else if (kind == kPendingBuffer && word < kFlashDeviceWords) {
        first = word & ~(kFlashBufferWords - 1);
        n = kFlashBufferWords;
    } else if (kind == kPendingProgram && word < kFlashDeviceWords) {
        first = word;
        n = 1;
    }
    for (uint32_t w = first; w < first + n; ++w) {
        const uint16_t v = uint16_t(SplitMix(salt ^ (uint64_t(d) << 32) ^ w) >> 24);
        std::memcpy(c.image + WordOffset(c, d, w), &v, 2);
    }
}

// Ends the program as the device's restart would (or calls the test hook
// and goes on). Caller holds the device lock, and holds it again after.
[[gnu::noinline]] void EndByPowerLoss(Context& c)
{
    UnlockDevices(c.state);
    if (auto hook = g_powerLossHook.load()) {
        hook();
        LockDevices(c.state);
        return;
    }
    std::fflush(nullptr);
    _exit(1);
}

// A timing change shortens the deadlines of running (and suspended)
// operations to what the new timing allows at most; without timing they
// end now. The same timing changes nothing.
void Retime(Context& c)
{
    for (int d = 0; d < kFlashDevices; ++d) {
        DeviceState& s = c.state->dev[d];
        const uint32_t words = std::min(s.bufCount, kFlashBufferWords);
        if (s.busyUntil != 0 && s.busyUntil != kStuck && s.busyUntil != kSuspendedIdle) {
            const double longest = LongestMicros(c, s.pendingKind, words);
            if (c.timing == kTimingNone || longest <= 0) {
                s.busyUntil = IdleUntil(s);
                s.busyReads = 0;
            } else {
                const uint64_t cap = s.busyStart + uint64_t(std::min(std::ceil(longest), 1e15));
                if (cap < s.busyUntil)
                    s.busyUntil = cap;
                if (c.timing != kTimingScaled)
                    s.busyReads = 0;
            }
        }
        if (s.suspended & kSuspendErase)
            s.eraseLeft = std::min<uint64_t>(s.eraseLeft, uint64_t(std::ceil(LongestMicros(c, kPendingErase, 0))));
        if (s.suspended & kSuspendProgram)
            s.programLeft = std::min<uint64_t>(s.programLeft,
                                               uint64_t(std::ceil(LongestMicros(c, s.programKind, words))));
    }
}

}  // namespace

void ApplySettings(Context& c)
{
    Retime(c);
    // power-cut-after: armed for this program unless another one (or this
    // one) has taken up the same setting already.
    if (c.cutAfter == 0) {
        c.watchCycles = false;
        return;
    }
    if (c.watchCycles && c.armedToken == c.cutToken)
        return;
    if (c.state->cutToken == c.cutToken) {
        c.watchCycles = false;
        return;
    }
    c.watchCycles = true;
    c.cutClaimed = false;
    c.armedToken = c.cutToken;
    c.cyclesLeft = c.cutAfter;
}

void InterruptDevices(Context& c)
{
    const uint64_t salt = SplitMix(uint64_t(c.state->powerCuts) << 20 ^ c.timingDraws);
    for (int d = 0; d < kFlashDevices; ++d) {
        DeviceState& s = c.state->dev[d];
        if (Busy(c, d, s))
            Scramble(c, d, s.pendingKind, s.pendingBlock, s.pendingWord, salt);
        if (s.suspended & kSuspendErase)
            Scramble(c, d, kPendingErase, s.eraseBlock, 0, salt);
        if (s.suspended & kSuspendProgram)
            Scramble(c, d, s.programKind, s.programBlock, s.programWord, salt);
        ResetDeviceState(s);
    }
}

void PowerLost(Context& c)
{
    c.powerCuts = c.state->powerCuts;
    c.watchCycles = false;
    EndByPowerLoss(c);
}

void CycleWatched(Context& c)
{
    if (!c.cutClaimed) {
        // The first cycle takes the setting up, so that no other program
        // counts towards it.
        if (c.state->cutToken == c.armedToken) {
            c.watchCycles = false;
            return;
        }
        c.state->cutToken = c.armedToken;
        c.cutClaimed = true;
    }
    if (--c.cyclesLeft > 0)
        return;
    c.watchCycles = false;
    InterruptDevices(c);
    c.powerCuts = ++c.state->powerCuts;
    const std::string event = "power-cut after " + std::to_string(c.cutAfter) + " bus cycles";
    UnlockDevices(c.state);
    RecordEvent(event);
    SetSetting("power-cut-after", "none");
    LockDevices(c.state);
    EndByPowerLoss(c);
}

}  // namespace flash

void FlashSetPowerLossHook(void (*hook)())
{
    flash::g_powerLossHook.store(hook);
}

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

[[gnu::always_inline]] inline uint32_t Read32(Context& c, uint32_t phys)
{
    if (!c.bus32)  // two cycles: low half first
        return Read16(c, phys) | (uint32_t(Read16(c, phys + 2)) << 16);
    ++c.counters.busReads;
    uint32_t w = phys / 4;
    uint32_t lo = flash::DeviceRead(c, 0, w);
    uint32_t hi = flash::DeviceRead(c, 1, w);
    CycleDone(c);
    return lo | (hi << 16);
}

// One 32-bit write cycle on the 32-bit bus.
[[gnu::always_inline]] inline void Write32Cycle(Context& c, uint32_t phys, uint32_t value)
{
    ++c.counters.busWrites;
    uint32_t w = phys / 4;
    // Both devices idle at the same step of a buffer program (the bus
    // carries the same command to both): both steps here.
    flash::DeviceState& s0 = c.state->dev[0];
    flash::DeviceState& s1 = c.state->dev[1];
    if (s0.mode == s1.mode && s0.busyUntil == 0 && s1.busyUntil == 0 &&
        flash::g_commandFastPath.load(std::memory_order_relaxed)) {
        const uint32_t block = w / kFlashDeviceBlockWords;
        switch (FlashMode(s0.mode)) {
        case FlashMode::EraseSetup:
            flash::EraseBoth(c, w, value);
            return;
        case FlashMode::BufferConfirm:
            flash::ConfirmBoth(c, w, value);
            return;
        case FlashMode::BufferCount:
            ++c.counters.writes[0];
            flash::BufferCountWrite(s0, block, uint16_t(value));
            ++c.counters.writes[1];
            flash::BufferCountWrite(s1, block, uint16_t(value >> 16));
            return;
        case FlashMode::ReadArray:
        case FlashMode::ReadStatus:
            if (uint8_t(value) == kCmdWriteToBuffer && uint8_t(value >> 16) == kCmdWriteToBuffer) {
                ++c.counters.writes[0];
                flash::WriteToBufferCommand(c, 0, s0, block);
                ++c.counters.writes[1];
                flash::WriteToBufferCommand(c, 1, s1, block);
                return;
            }
            break;
        default:
            break;
        }
    }
    flash::DeviceWrite(c, 0, w, uint16_t(value));
    flash::DeviceWrite(c, 1, w, uint16_t(value >> 16));
}

[[gnu::always_inline]] inline void Write32(Context& c, uint32_t phys, uint32_t value)
{
    if (!c.bus32) {
        Write16(c, phys, uint16_t(value));
        Write16(c, phys + 2, uint16_t(value >> 16));
        return;
    }
    Write32Cycle(c, phys, value);
    CycleDone(c);
}


inline uint32_t Load32(const uint8_t* src, size_t i)
{
    uint32_t v;
    std::memcpy(&v, src + i * 4, 4);
    return v;
}

inline uint16_t Load16(const uint8_t* src, size_t i)
{
    uint16_t v;
    std::memcpy(&v, src + i * 2, 2);
    return v;
}

// n 32-bit write cycles from phys (in the flash) on the 32-bit bus. Runs of
// data words that both devices take into their write buffers are copied
// there at once; every other word goes through the state machines.
void WriteRun32(Context& c, uint32_t phys, const uint8_t* src, size_t n)
{
    size_t i = 0;
    if (c.watchCycles) {  // every cycle counted, one by one
        for (; i < n; ++i)
            Write32(c, phys + uint32_t(i) * 4, Load32(src, i));
        return;
    }
    while (i < n) {
        const uint32_t at = phys + uint32_t(i) * 4;
        const uint32_t w = at / 4;
        if (n - i >= kFlashBufferWords && flash::FreshLine(c.state->dev[0], w) &&
            flash::FreshLine(c.state->dev[1], w)) {
            flash::FillFreshLines(c, w, src + i * 4);
            i += kFlashBufferWords;
            continue;
        }
        const uint32_t k = std::min(flash::BufferRoom(c.state->dev[0], w, n - i),
                                    flash::BufferRoom(c.state->dev[1], w, n - i));
        if (k == 0) {
            Write32(c, at, Load32(src, i));
            ++i;
            continue;
        }
        // Split the words into the devices' halves first, in local memory
        // (the copy can then run on whole registers), then fill both buffers.
        const uint8_t* run = src + i * 4;
        uint16_t lo[kFlashBufferWords], hi[kFlashBufferWords];
        if (k == kFlashBufferWords) {
            // A whole line (the usual case): a fixed count the compiler can
            // run on whole registers.
            uint32_t words[kFlashBufferWords];
            std::memcpy(words, run, sizeof words);
            for (uint32_t j = 0; j < kFlashBufferWords; ++j) {
                lo[j] = uint16_t(words[j]);
                hi[j] = uint16_t(words[j] >> 16);
            }
        } else {
            for (uint32_t j = 0; j < k; ++j) {
                const uint32_t v = Load32(run, j);
                lo[j] = uint16_t(v);
                hi[j] = uint16_t(v >> 16);
            }
        }
        flash::BufferFill(c, 0, w, k, lo);
        flash::BufferFill(c, 1, w, k, hi);
        c.counters.busWrites += k;
        i += k;
    }
}

// n 16-bit write cycles from phys (in the flash); half(j) is the j-th
// value. On the 16-bit bus, runs of data words that the device takes into
// its write buffer are copied there at once. On the 32-bit bus consecutive
// halves reach the two devices by turns: every cycle goes through the
// state machine.
template <class Half>
void WriteRun16(Context& c, uint32_t phys, size_t n, Half half)
{
    size_t j = 0;
    while (j < n) {
        const uint32_t at = phys + uint32_t(j) * 2;
        uint32_t w;
        const int d = Device16(c, at, &w);
        const uint32_t k = c.bus32 || c.watchCycles ? 0 : flash::BufferRoom(c.state->dev[d], w, n - j);
        if (k == 0) {
            Write16(c, at, half(j));
            ++j;
            continue;
        }
        const size_t from = j;
        uint16_t values[kFlashBufferWords];
        for (uint32_t m = 0; m < k; ++m)
            values[m] = half(from + m);
        flash::BufferFill(c, d, w, k, values);
        c.counters.busWrites += k;
        j += k;
    }
}

// Bus addresses outside the flash hit nothing: reads float high, writes
// are lost. The device-memory mapping never lets them through; this only
// keeps the board safe from a caller that bypasses it.
inline bool InFlash(uint32_t phys, uint32_t width)
{
    return phys <= kFlashSize - width;
}

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

namespace {

// Values of a bulk write per hold of the device lock: a long run must not
// keep the other programs on the board off the bus for long.
constexpr size_t kBulkRun = 256;

// The part of a run of n width-byte cycles from phys that lies in the flash.
size_t InFlashCount(uint32_t phys, size_t n, uint32_t width)
{
    if (phys >= kFlashSize)
        return 0;
    return std::min<size_t>(n, (kFlashSize - phys) / width);
}

// words 32-bit write cycles from phys, all in the flash, with the lock held.
void WriteWords32(Context& c, uint32_t phys, const uint8_t* src, size_t words)
{
    if (c.bus32) {
        WriteRun32(c, phys, src, words);
        return;
    }
    // Two cycles a word, low half first: the halves in order.
    WriteRun16(c, phys, 2 * words, [src](size_t j) { return uint16_t(Load32(src, j / 2) >> (16 * (j % 2))); });
}

void WriteHalves(Context& c, uint32_t phys, const uint8_t* src, size_t halves)
{
    WriteRun16(c, phys, halves, [src](size_t j) { return Load16(src, j); });
}

}  // namespace

void BusWriteBulk32(uint32_t phys, const void* src, size_t words)
{
    phys &= ~3u;
    const uint8_t* in = static_cast<const uint8_t*>(src);
    size_t n = InFlashCount(phys, words, 4);
    for (size_t done = 0; done < n;) {
        const size_t k = std::min(kBulkRun, n - done);
        flash::Guard g;
        if (!g.get())
            return;
        WriteWords32(*g.get(), phys + uint32_t(done) * 4, in + done * 4, k);
        done += k;
    }
}

void BusWriteBulk16(uint32_t phys, const void* src, size_t halves)
{
    phys &= ~1u;
    const uint8_t* in = static_cast<const uint8_t*>(src);
    size_t n = InFlashCount(phys, halves, 2);
    for (size_t done = 0; done < n;) {
        const size_t k = std::min(kBulkRun, n - done);
        flash::Guard g;
        if (!g.get())
            return;
        WriteHalves(*g.get(), phys + uint32_t(done) * 2, in + done * 2, k);
        done += k;
    }
}

namespace {

constexpr uint32_t kFullCount = (kFlashBufferWords - 1) * 0x00010001u;
constexpr uint32_t kConfirmBoth = kCmdConfirm * 0x00010001u;
constexpr uint32_t kWriteToBufferBoth = kCmdWriteToBuffer * 0x00010001u;

// Whether a transfer is a full write buffer for both devices of the
// 32-bit bus in block, as a buffer program sends it: the count 16 in both
// halves, the 16 data words of one line, the confirm in both halves, all
// in the flash and in block. *w is then the line's first word.
inline bool FullBufferShape(const BusWriteRun* runs, size_t n, uint32_t block, uint32_t* w)
{
    if (n != 3 || runs[0].cycles != 1 || runs[1].cycles != kFlashBufferWords || runs[2].cycles != 1)
        return false;
    const uint32_t countAt = runs[0].phys & ~3u, lineAt = runs[1].phys & ~3u, confirmAt = runs[2].phys & ~3u;
    if (!InFlash(countAt, 4) || !InFlash(confirmAt, 4) || lineAt > kFlashSize - kFlashBufferWords * 4)
        return false;
    *w = lineAt / 4;
    return *w % kFlashBufferWords == 0 && *w / kFlashDeviceBlockWords == block &&
           countAt / 4 / kFlashDeviceBlockWords == block && confirmAt / 4 / kFlashDeviceBlockWords == block &&
           Load32(static_cast<const uint8_t*>(runs[0].src), 0) == kFullCount &&
           Load32(static_cast<const uint8_t*>(runs[2].src), 0) == kConfirmBoth;
}

// Whether device d takes an 0xE8 for block and then programs a full
// buffer there with nothing in its way: idle, in read-array or status
// mode, no error bit set, the block neither locked nor faulty.
inline bool TakesFullBuffer(const Context& c, int d, uint32_t block)
{
    const flash::DeviceState& s = c.state->dev[d];
    return s.busyUntil == 0 &&
           (s.mode == uint32_t(FlashMode::ReadArray) || s.mode == uint32_t(FlashMode::ReadStatus)) &&
           (s.status & (kStatusEraseError | kStatusProgramError)) == 0 && flash::Faults(c, d, block) == 0 &&
           s.locked[block] == 0;
}

// A whole full buffer for both devices of the 32-bit bus as one command
// transfer, the way a buffer program sends it: 0xE8 in both halves to
// devices that take it (TakesFullBuffer), its status read, ready for the
// caller's test, and a FullBufferShape transfer in the command's block.
// The same as the 19 write and 2 read cycles one after the other (the
// devices' tests compare the two), in one step: each device ends in status
// mode with the buffer's words, the line is programmed (programming only
// clears bits: the line ANDed with the bus words), and the status is read
// at readPhys. false, with nothing done, for anything else.
inline bool FullBufferCommand(Context& c, uint32_t phys, uint32_t command, uint32_t readyMask,
                              uint32_t readyValue, const BusWriteRun* runs, size_t n, uint32_t readPhys,
                              uint32_t* status)
{
    const uint32_t block = phys / 4 / kFlashDeviceBlockWords;
    uint32_t w;
    if (!c.bus32 || command != kWriteToBufferBoth || !flash::g_commandFastPath.load(std::memory_order_relaxed) ||
        c.watchCycles ||
        !TakesFullBuffer(c, 0, block) || !TakesFullBuffer(c, 1, block) || !FullBufferShape(runs, n, block, &w) ||
        !InFlash(readPhys & ~3u, 4))
        return false;
    flash::DeviceState& s0 = c.state->dev[0];
    flash::DeviceState& s1 = c.state->dev[1];
    // The extended status after the 0xE8: a buffer is free (only XSR7 is defined).
    const uint32_t first = (kStatusReady | kStatusUndefined) * 0x00010001u;
    if ((first & readyMask) != readyValue)
        return false;
    s0.bufBlock = s1.bufBlock = block;
    s0.bufCount = s1.bufCount = kFlashBufferWords;
    flash::FillFreshLines(c, w, static_cast<const uint8_t*>(runs[1].src));  // the data words counted here
    s0.mode = s1.mode = uint32_t(FlashMode::ReadStatus);                    // confirmed
    s0.pendingWord = s1.pendingWord = w;                                    // the line being programmed
    uint8_t* p = c.image + flash::WordOffset(c, 0, w);
    flash::AndLine(p, runs[1].src);   // the bus words hold both devices' halves in place
    flash::PrefetchAhead(c, p);
    // The 0xE8, the count and the confirm (the data words were counted
    // with the fill), and the status read after the 0xE8.
    c.counters.busWrites += 3;
    c.counters.busReads += 1;
    for (int d = 0; d < kFlashDevices; ++d) {
        c.counters.writes[d] += 3;
        c.counters.reads[d] += 1;
        c.counters.statusReads[d] += 1;
    }
    flash::EndBufferProgram(c, s0);
    flash::EndBufferProgram(c, s1);
    *status = Read32(c, readPhys & ~3u);
    return true;
}

// A transfer's runs and its read, with the lock held.
uint32_t RunsRead32(Context& c, const BusWriteRun* runs, size_t n, uint32_t readPhys)
{
    for (size_t r = 0; r < n; ++r) {
        const uint32_t phys = runs[r].phys & ~3u;
        WriteWords32(c, phys, static_cast<const uint8_t*>(runs[r].src), InFlashCount(phys, runs[r].cycles, 4));
    }
    readPhys &= ~3u;
    return InFlash(readPhys, 4) ? Read32(c, readPhys) : 0xFFFFFFFFu;
}

uint16_t RunsRead16(Context& c, const BusWriteRun* runs, size_t n, uint32_t readPhys)
{
    for (size_t r = 0; r < n; ++r) {
        const uint32_t phys = runs[r].phys & ~1u;
        WriteHalves(c, phys, static_cast<const uint8_t*>(runs[r].src), InFlashCount(phys, runs[r].cycles, 2));
    }
    readPhys &= ~1u;
    return InFlash(readPhys, 2) ? Read16(c, readPhys) : 0xFFFF;
}

}  // namespace

uint32_t BusWriteRunsRead32(const BusWriteRun* runs, size_t n, uint32_t readPhys)
{
    flash::Guard g;
    return g.get() ? RunsRead32(*g.get(), runs, n, readPhys) : 0xFFFFFFFFu;
}

uint16_t BusWriteRunsRead16(const BusWriteRun* runs, size_t n, uint32_t readPhys)
{
    flash::Guard g;
    return g.get() ? RunsRead16(*g.get(), runs, n, readPhys) : 0xFFFF;
}

namespace {

// A command, its status read and the transfer when the status passes, with
// T-wide cycles (the 32-bit one takes a whole full buffer in one step).
template <class T>
bool CommandTransferLocked(Context& c, uint32_t phys, T command, T readyMask, T readyValue, const BusWriteRun* runs,
                           size_t n, uint32_t readPhys, T* status)
{
    constexpr uint32_t kWidth = sizeof(T);
    phys &= ~(kWidth - 1);
    if (!InFlash(phys, kWidth)) {
        *status = T(~T(0));
        return false;
    }
    if constexpr (kWidth == 4) {
        if (FullBufferCommand(c, phys, command, readyMask, readyValue, runs, n, readPhys, status))
            return true;
        Write32(c, phys, command);
        *status = Read32(c, phys);
    } else {
        Write16(c, phys, command);
        *status = Read16(c, phys);
    }
    if ((*status & readyMask) != readyValue)
        return false;
    if constexpr (kWidth == 4)
        *status = RunsRead32(c, runs, n, readPhys);
    else
        *status = RunsRead16(c, runs, n, readPhys);
    return true;
}

template <class T>
bool CommandTransfer(uint32_t phys, T command, T readyMask, T readyValue, const BusWriteRun* runs, size_t n,
                     uint32_t readPhys, T* status)
{
    flash::Guard g;
    if (!g.get()) {
        *status = T(~T(0));
        return false;
    }
    return CommandTransferLocked<T>(*g.get(), phys, command, readyMask, readyValue, runs, n, readPhys, status);
}

}  // namespace

bool BusCommandTransfer32(uint32_t phys, uint32_t command, uint32_t readyMask, uint32_t readyValue,
                          const BusWriteRun* runs, size_t n, uint32_t readPhys, uint32_t* status)
{
    return CommandTransfer<uint32_t>(phys, command, readyMask, readyValue, runs, n, readPhys, status);
}

bool BusCommandTransfer16(uint32_t phys, uint16_t command, uint16_t readyMask, uint16_t readyValue,
                          const BusWriteRun* runs, size_t n, uint32_t readPhys, uint16_t* status)
{
    return CommandTransfer<uint16_t>(phys, command, readyMask, readyValue, runs, n, readPhys, status);
}

uint32_t BusBufferLines32(uint32_t phys, uint32_t words, uint32_t lines, uint32_t command, uint32_t count,
                          const void* src, uint32_t confirm, uint32_t readyMask, uint32_t readyValue,
                          uint32_t doneMask, uint32_t doneValue, uint32_t* status, bool* ran)
{
    *status = 0xFFFFFFFFu;
    *ran = false;
    flash::Guard g;
    if (!g.get() || words == 0)
        return 0;
    Context& c = *g.get();
    const uint64_t lineBytes = uint64_t(words) * 4;
    const uint8_t* data = static_cast<const uint8_t*>(src);
    for (uint32_t i = 0; i < lines; ++i) {
        const uint64_t at = uint64_t(phys & ~3u) + i * lineBytes;
        if (at + lineBytes > kFlashSize) {   // nothing happens past the flash
            *status = 0xFFFFFFFFu;
            *ran = false;
            return i;
        }
        const uint32_t first = uint32_t(at), last = uint32_t(at + lineBytes - 4);
        const BusWriteRun runs[] = {{first, &count, 1}, {first, data + i * lineBytes, words}, {last, &confirm, 1}};
        *ran = CommandTransferLocked<uint32_t>(c, first, command, readyMask, readyValue, runs, 3, last, status);
        if (!*ran || (*status & doneMask) != doneValue)
            return i;
    }
    return lines;
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
    // Fast path: every device in the range answers with array data, so the
    // reads change nothing and can be copied at once (and counted).
    bool fast;
    int firstDev = 0, lastDev = 1;
    if (c.bus32) {
        fast = flash::DeviceReadsArray(c, 0) && flash::DeviceReadsArray(c, 1);
    } else {
        firstDev = int(phys / kFlashDeviceBytes);
        lastDev = int((phys + words * 4 - 1) / kFlashDeviceBytes);
        fast = true;
        for (int d = firstDev; d <= lastDev && fast; ++d)
            fast = flash::DeviceReadsArray(c, d);
    }
    if (!fast || c.watchCycles) {
        for (uint64_t i = 0; i < words; ++i) {
            uint32_t v = Read32(c, phys + uint32_t(i * 4));
            size_t k = std::min<size_t>(4, m - size_t(i) * 4);
            std::memcpy(out + i * 4, &v, k);
        }
        return;
    }
    std::memcpy(out, c.image + phys, m);
    if (c.bus32) {
        c.counters.busReads += words;
        for (int d = 0; d < kFlashDevices; ++d) {
            c.counters.reads[d] += words;
            c.counters.arrayReads[d] += words;
        }
        return;
    }
    // 16-bit bus: two cycles per word, each to the device it falls in.
    c.counters.busReads += 2 * words;
    uint64_t end = uint64_t(phys) + words * 4;
    for (int d = firstDev; d <= lastDev; ++d) {
        uint64_t from = std::max<uint64_t>(phys, uint64_t(d) * kFlashDeviceBytes);
        uint64_t to = std::min<uint64_t>(end, uint64_t(d + 1) * kFlashDeviceBytes);
        uint64_t cycles = (to - from) / 2;
        c.counters.reads[d] += cycles;
        c.counters.arrayReads[d] += cycles;
    }
}

}  // namespace board
