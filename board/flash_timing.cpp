// Time in the flash devices: how long each operation runs under the
// board's timing, what a timing change does to a running operation, and
// power lost in the middle of one (the power-cut-after count of bus
// cycles included).
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>

#include "board/board.h"
#include "board/flash_state.h"

namespace board {
namespace flash {

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

}  // namespace

void StartBusy(Context& c, DeviceState& s, uint32_t kind, uint32_t block, uint32_t word, uint32_t words)
{
    if (c.timing == kTimingNone)
        return;
    double us = LongestMicros(c, kind, words);
    if (c.timing == kTimingRandom) {
        const OpTimes t = TimesOf(kind, words);
        const uint64_t r = SplitMix(c.timingSeed * 0xD1B54A32D192ED03ull + ++c.timingDraws);
        us = t.typical + (t.maximum - t.typical) * (double(r >> 11) * 0x1p-53);
    }
    const double rounded = std::round(us);
    if (!(rounded >= 1))
        return;
    // Under `scaled` even the shortest operation is busy for one status
    // read at least (LongestMicros gives it one microsecond), so that busy
    // polling is exercised.
    const uint32_t reads = c.timing == kTimingScaled ? 1 : 0;
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

namespace {

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

}  // namespace board
