// Inside the flash devices: the shared device state and this process's
// view of the flash, for flash_device.cpp, flash_chip.cpp, flash_timing.cpp,
// bus.cpp and host_side.cpp (and the devices' tests).
#pragma once
#include <fcntl.h>
#include <sys/types.h>

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "board/board.h"
#include "board/flash_device.h"
#include "platform/host/clock.h"

namespace board::flash {

// One device's state machine, in the shared state file. Every field comes
// from a file another process may have written: readers check each value
// before it indexes anything.
struct DeviceState {
    uint32_t mode;          // FlashMode
    uint32_t status;        // error bits of the status register (bit 7 is derived)
    uint64_t busyStart;     // clock micros when the running operation began
    uint64_t busyUntil;     // 0 = idle, kStuck = never ends (kFaultBusy)
    uint32_t pendingKind;   // PendingKind of the running operation
    uint32_t pendingBlock;  // its device block
    uint32_t bufBlock;      // write to buffer: block of the 0xE8 command
    uint32_t bufCount;      // words announced (1..16)
    uint32_t bufFilled;     // words received
    uint32_t bufLine;       // device word address of the buffer's line
    uint32_t bufMask;       // which of the line's 16 words were received
    uint16_t bufData[kFlashBufferWords];
    uint8_t locked[kFlashDeviceBlocks];  // lock bits
    uint8_t faults[kFlashDeviceBlocks];  // per-device faults, beside the settings' ones
    uint32_t bufStart;      // device word of the buffer's first data word
    uint32_t pendingWord;   // word (word program) or line (buffer) of the running operation
    uint32_t busyReads;     // status reads that still see busy when the time is up (`scaled` floor)
    uint32_t suspended;     // kSuspendErase | kSuspendProgram
    uint32_t eraseBlock;    // the suspended erase's block
    uint32_t programKind;   // the suspended program: its kind, block and word
    uint32_t programBlock;
    uint32_t programWord;
    uint64_t eraseLeft;     // micros the suspended erase still needs
    uint64_t programLeft;   // micros the suspended program still needs
};

// Every process that maps the flash holds one owner slot: an
// open-file-description lock on one byte of flash.state (at kSlotLockBase +
// slot), which the kernel drops when the process ends however it ends, and
// whatever its pid or pid namespace. The slot's serial grows with every
// claim, so that a token of a dead owner never matches a later one.
constexpr uint32_t kOwnerSlots = 1024;
constexpr uint32_t kOwnerSlotBits = 10;
constexpr uint32_t kOwnerSerialMask = (1u << (32 - kOwnerSlotBits)) - 1;  // a token's serial
constexpr off_t kSlotLockBase = off_t(1) << 30;  // beyond the file's end

struct SharedState {
    uint32_t magic;
    uint32_t version;
    uint32_t size;
    uint32_t lock;          // owner's token while held, 0 when free (see LockDevices)
    uint64_t imageDev;      // identity of the flash.img these devices belong to
    uint64_t imageIno;
    DeviceState dev[kFlashDevices];
    uint32_t powerCuts;     // grows with every power loss of the board
    uint32_t spare;
    uint64_t cutToken;      // the power-cut-after setting a program has taken up
    uint32_t slotSerial[kOwnerSlots];  // serial of each slot's current claim
    uint32_t lostEvents;               // events that could not be written to the log
    char lostEvent[92];                // the last of them (not terminated when full)
};

constexpr uint32_t kStateMagic = 0x53484C46;  // "FLHS"
constexpr uint32_t kStateVersion = 4;
constexpr uint64_t kStuck = ~uint64_t(0);
// busyUntil of a device with a suspended operation and nothing running
// (never 0, which is an idle device with nothing suspended).
constexpr uint64_t kSuspendedIdle = kStuck - 1;

enum PendingKind : uint32_t {
    kPendingNone = 0,
    kPendingErase,
    kPendingProgram,
    kPendingBuffer,
    kPendingLock,
    kPendingUnlock,
};
enum SuspendBits : uint32_t { kSuspendErase = 1, kSuspendProgram = 2 };
enum TimingKind : uint32_t { kTimingNone = 0, kTimingTypical, kTimingMax, kTimingRandom, kTimingScaled };

// This process's view of the flash. The fields below `lock-protected` are
// only touched while the device lock is held.
struct Context {
    uint8_t* image = nullptr;   // kFlashSize bytes, mapped shared
    SharedState* state = nullptr;
    int stateFd = -1;
    // lock-protected
    bool bus32 = true;
    uint32_t timing = kTimingNone;  // TimingKind
    double timeScale = 1;       // `scaled`: the factor on the typical times
    uint64_t timingSeed = 0;    // `random`: the seed, and the times drawn so far
    uint64_t timingDraws = 0;
    uint64_t cutAfter = 0;      // power-cut-after (0: none) and its identity
    uint64_t cutToken = 0;
    bool watchCycles = false;   // counting bus cycles towards a power cut
    bool cutClaimed = false;    // the count is this program's (taken up in the state)
    uint64_t armedToken = 0;
    uint64_t cyclesLeft = 0;
    uint32_t powerCuts = 0;     // the state's powerCuts this program has seen
    uint64_t settingsGeneration = 0;
    uint8_t settingFaults[kFlashDevices][kFlashDeviceBlocks] = {};
    FlashCounters counters = {};
};

// This process's flash, valid while g_open is set.
extern std::atomic<bool> g_open;
extern Context g_ctx;
// This process's owner token (slot and serial), 0 until it has claimed a
// slot (see ClaimOwner).
extern std::atomic<uint32_t> g_owner;

// Maps the flash (creating the board when there is none). false when it
// cannot be opened.
bool Open();
// Reads the board settings into c. Caller holds the device lock or is the
// only one who can see c.
void LoadSettings(Context& c);
// Brings the devices' running operations and the power-cut count in line
// with the settings just loaded (a timing change shortens busy deadlines).
// Caller holds the device lock.
void ApplySettings(Context& c);
// This program finds the board's power lost (by another program's cut):
// it ends as a device restart ends it. Caller holds the device lock.
void PowerLost(Context& c);
// The power cut after the armed count of bus cycles (caller holds the lock).
void CycleWatched(Context& c);
// The status reads busy from now for the operation's time under the
// board's timing (nothing without timing). word is the word programmed or
// the buffer's line, words the buffer's count. Caller holds the lock.
void StartBusy(Context& c, DeviceState& s, uint32_t kind, uint32_t block, uint32_t word, uint32_t words);
// Every running or suspended operation cut short (its area left with
// unpredictable bits), then each device idle in read-array mode. Caller
// holds the device lock.
void InterruptDevices(Context& c);
void LockDevicesSlow(SharedState* st);
// One read cycle reaching device d at its word address w (below
// kFlashDeviceWords), counted: array data, status, identifier or query
// data as the device's mode says (flash_chip.cpp). Caller holds the lock.
uint16_t DeviceRead(Context& c, int d, uint32_t w);
// One write cycle reaching device d at its word address w, counted: the
// next step of the sequence under way, or a command. Caller holds the lock.
void DeviceWrite(Context& c, int d, uint32_t w, uint16_t value);
// Whether device d answers reads with array data without changing state
// (read-array mode, idle, nothing suspended), so a bulk read may copy the
// array directly.
bool DeviceReadsArray(Context& c, int d);
// A device as a restart leaves it: read-array mode, clear status, nothing
// running (lock bits and faults kept).
void ResetDeviceState(DeviceState& s);
// One byte-range lock call (F_OFD_SETLK or F_OFD_GETLK) on byte `at` of
// fd, retried when a signal interrupts it; *out (may be nullptr) gets the
// lock as the call left it. false when the call failed.
bool LockByte(int fd, off_t at, short type, int cmd, struct flock* out = nullptr);
// Whether the process that took the device lock with token still runs
// (its slot is still claimed by it).
bool OwnerAlive(const Context& c, uint32_t token);

// The device lock: a word in the shared state holding the owner's token.
// It serialises bus cycles of all threads and processes on the board at
// the cost of one atomic exchange when uncontended.
inline void LockDevices(SharedState* st)
{
    uint32_t expected = 0;
    uint32_t me = g_owner.load(std::memory_order_relaxed);
    if (me == 0 || !std::atomic_ref<uint32_t>(st->lock).compare_exchange_strong(
                       expected, me, std::memory_order_acquire, std::memory_order_relaxed))
        LockDevicesSlow(st);
}

inline void UnlockDevices(SharedState* st)
{
    std::atomic_ref<uint32_t>(st->lock).store(0, std::memory_order_release);
}

// Opens the flash on first use and holds the device lock (shared by every
// process on the board) while it stands. get() is nullptr when the flash
// cannot be opened.
class Guard {
public:
    Guard()
    {
        if (!g_open.load(std::memory_order_acquire) && !Open())
            return;
        LockDevices(g_ctx.state);
        if (SettingsGeneration() != g_ctx.settingsGeneration) {
            LoadSettings(g_ctx);
            ApplySettings(g_ctx);
        }
        if (g_ctx.state->powerCuts != g_ctx.powerCuts)
            PowerLost(g_ctx);
        c_ = &g_ctx;
    }
    ~Guard()
    {
        if (c_)
            UnlockDevices(c_->state);
    }
    Guard(const Guard&) = delete;
    Guard& operator=(const Guard&) = delete;
    Context* get() const { return c_; }
private:
    Context* c_ = nullptr;
};

inline FlashMode ModeOf(const DeviceState& s)
{
    return s.mode <= uint32_t(FlashMode::LockSetup) ? FlashMode(s.mode) : FlashMode::ReadArray;
}

inline uint8_t Faults(const Context& c, int d, uint32_t b)
{
    return uint8_t(c.state->dev[d].faults[b] | c.settingFaults[d][b]);
}

inline bool Locked(const Context& c, int d, uint32_t b)
{
    return c.state->dev[d].locked[b] != 0 || (Faults(c, d, b) & kFaultLocked) != 0;
}

// The status register of a device that is not busy: its error bits, the
// suspend bits and SR7.
inline uint16_t StatusWord(const DeviceState& s)
{
    return uint16_t((s.status & 0x3A) | ((s.suspended & kSuspendErase) ? kStatusEraseSuspended : 0) |
                    ((s.suspended & kSuspendProgram) ? kStatusProgramSuspended : 0) | kStatusReady);
}

// busyUntil of a device whose operation has ended.
inline uint64_t IdleUntil(const DeviceState& s)
{
    return s.suspended != 0 ? kSuspendedIdle : 0;
}

// Whether the device is running an operation now; ends it when its time is
// up (or when the fault that held it was lifted: it then ends failed).
inline bool Busy(Context& c, int d, DeviceState& s)
{
    if (s.busyUntil == 0 || s.busyUntil == kSuspendedIdle)
        return false;
    if (s.busyUntil == kStuck) {
        if (s.pendingBlock < kFlashDeviceBlocks && (Faults(c, d, s.pendingBlock) & kFaultBusy))
            return true;
        s.busyUntil = IdleUntil(s);
        s.status |= s.pendingKind == kPendingErase ? kStatusEraseError : kStatusProgramError;
        return false;
    }
    uint64_t now = OsClockMicros();
    // A clock before the start is another time base (another clock was
    // installed since): the operation counts as finished.
    if ((now >= s.busyStart && now < s.busyUntil) || s.busyReads != 0)
        return true;
    s.busyUntil = IdleUntil(s);
    return false;
}

// Records a change of the array by this thread's bus cycles: the span
// [offset, offset + span) of flash an erase or a program reached, and how
// many of the device's bytes it erased or programmed. See
// FlashProgramChanges.
void NoteArrayChange(size_t offset, size_t span, size_t bytes, bool erase);

// Byte offset in flash.img of device d's word w.
inline size_t WordOffset(const Context& c, int d, uint32_t w)
{
    return c.bus32 ? size_t(w) * 4 + size_t(d) * 2 : size_t(d) * kFlashDeviceBytes + size_t(w) * 2;
}

}  // namespace board::flash

namespace board {

// A board is used by one side at a time, the Linux build or the Windows
// build (under Wine): a Linux flock and a Wine LockFileEx never exclude
// each other, nor is Wine's getpid() the Unix pid. The byte-range locks of
// flash.state do see each other, so every program holds a shared lock on
// its side's byte there while it has the flash open (host_side.cpp).
//
// The side of this build: "Linux" or "Windows".
const char* ThisSide();
// Marks the flash as used by this side on stateFd (flash.state, kept open
// while the flash is open), unless the other side uses it: then false,
// with *why saying so.
bool ClaimSide(int stateFd, std::string* why);

}  // namespace board
