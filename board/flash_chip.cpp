// The flash devices' command state machines, one per device: what a read
// or a write cycle reaching a device does in its mode (read array, status,
// identifier, CFI query, block erase, word and buffered program, lock bits,
// suspend and resume), with the faults set on its blocks.
#include "board/flash_state.h"

#include <cstring>

namespace board {
namespace flash {

namespace {

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
    NoteArrayChange(WordOffset(c, d, w), 2, 2, false);
}

// An erase sets every bit of the device's words in the block.
void EraseArrayBlock(Context& c, int d, uint32_t b)
{
    const uint32_t first = b * kFlashDeviceBlockWords;
    NoteArrayChange(WordOffset(c, c.bus32 ? 0 : d, first), c.bus32 ? kFlashDeviceBlockWords * 4 : kFlashDeviceBlockBytes,
                    kFlashDeviceBlockBytes, true);
    const uint16_t erased = 0xFFFF;
    for (uint32_t w = first; w < first + kFlashDeviceBlockWords; ++w)
        std::memcpy(c.image + WordOffset(c, d, w), &erased, 2);
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

// What programming a slot leaves of the array word: the buffered value
// for a slot that was written, all ones (no change) for one that was not.
inline uint16_t SlotValue(const DeviceState& s, uint32_t slot)
{
    // Without a branch: (bit - 1) is all ones for a slot not written.
    return uint16_t(s.bufData[slot] | uint16_t(((s.bufMask >> slot) & 1u) - 1u));
}

// The buffer confirmed: it must describe one line of the block of the 0xE8
// command, and the block must take a program. The line's words lie one
// device word apart, 4 bytes on the 32-bit bus, 2 on the 16-bit bus; the
// change recorded spans the first to the last written slot, two bytes for
// each written slot.
void BufferProgramOp(Context& c, int d, DeviceState& s)
{
    const uint32_t b = s.bufBlock;
    if (b >= kFlashDeviceBlocks || s.bufLine % kFlashBufferWords != 0 ||
        s.bufLine / kFlashDeviceBlockWords != b || s.bufCount == 0 || s.bufCount > kFlashBufferWords) {
        BadSequence(s);
        return;
    }
    s.mode = uint32_t(FlashMode::ReadStatus);
    s.pendingWord = s.bufLine;
    if (!MayModify(c, d, s, b, kStatusProgramError, kPendingBuffer))
        return;
    uint8_t* p = c.image + WordOffset(c, d, s.bufLine);
    const size_t stride = c.bus32 ? 4 : 2;
    const bool worn = (Faults(c, d, b) & kFaultStuck) != 0;
    for (uint32_t slot = 0; slot < kFlashBufferWords; ++slot, p += stride) {
        uint16_t v;
        std::memcpy(&v, p, 2);
        uint16_t keep = SlotValue(s, slot);
        if (worn)
            keep = uint16_t(keep | FlashStuckBits(s.bufLine + slot));
        v = uint16_t(v & keep);
        std::memcpy(p, &v, 2);
    }
    if (const uint32_t mask = s.bufMask & 0xFFFFu) {
        const uint32_t first = uint32_t(__builtin_ctz(mask)), last = 31u - uint32_t(__builtin_clz(mask));
        const size_t from = WordOffset(c, d, s.bufLine + first), to = WordOffset(c, d, s.bufLine + last) + 2;
        NoteArrayChange(from, to - from, size_t(__builtin_popcount(mask)) * 2, false);
    }
    StartBusy(c, s, kPendingBuffer, b, s.bufLine, s.bufCount);
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
// Its times are powers of two at or above the board's own (each maximum at
// least what `timing max` gives), so that a driver taking its time-outs
// from here never gives up on a sound device. The extended table (from
// 0x31) names only what the state machine does; without a protection
// register it ends before that register's fields.
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

}  // namespace

uint16_t DeviceRead(Context& c, int d, uint32_t w)
{
    DeviceState& s = c.state->dev[d];
    ++c.counters.reads[d];
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

namespace {

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

}  // namespace

void DeviceWrite(Context& c, int d, uint32_t w, uint16_t value)
{
    DeviceState& s = c.state->dev[d];
    ++c.counters.writes[d];
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
        // 0xD0 at the block of the 0xE8 command programs the buffer.
        if (cmd == kCmdConfirm && block == s.bufBlock)
            BufferProgramOp(c, d, s);
        else
            BadSequence(s);
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

bool DeviceReadsArray(Context& c, int d)
{
    DeviceState& s = c.state->dev[d];
    return !Busy(c, d, s) && ModeOf(s) == FlashMode::ReadArray && s.suspended == 0;
}

}  // namespace flash
}  // namespace board
