// Inside the flash devices: the shared device state and this process's
// view of the flash. Used by flash_device.cpp (the devices) and bus.cpp
// (the bus that routes cycles to them); besides them only the devices'
// tests, which compare the bus's shortcuts with the full state machines.
#pragma once
#include <sys/types.h>

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "board/board.h"
#include "board/flash_device.h"
#include "platform/clock.h"

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
    uint8_t faults[kFlashDeviceBlocks];  // faults set through FlashSetFault
};

struct SharedState {
    uint32_t magic;
    uint32_t version;
    uint32_t size;
    uint32_t lock;          // owner's pid while held, 0 when free (see DeviceLock)
    uint64_t imageDev;      // identity of the flash.img these devices belong to
    uint64_t imageIno;
    DeviceState dev[kFlashDevices];
};

constexpr uint32_t kStateMagic = 0x53484C46;  // "FLHS"
constexpr uint32_t kStateVersion = 1;
constexpr uint64_t kStuck = ~uint64_t(0);

enum PendingKind : uint32_t { kPendingNone = 0, kPendingErase, kPendingProgram, kPendingBuffer };

// This process's view of the flash. The fields below `lock-protected` are
// only touched while the device lock is held.
struct Context {
    uint8_t* image = nullptr;   // kFlashSize bytes, mapped shared
    SharedState* state = nullptr;
    int imageFd = -1;
    int stateFd = -1;
    // lock-protected
    bool bus32 = true;
    double timeFactor = 0;      // 0 (no timing), 1 (datasheet) or the scale
    uint64_t settingsGeneration = 0;
    uint8_t settingFaults[kFlashDevices][kFlashDeviceBlocks] = {};
    FlashCounters counters = {};
};

// Whether the bus takes its shortcuts for the command cycles of a buffer
// program (on by default). The shortcuts have exactly the devices' effect;
// tests turn them off to compare them with the full state machines.
extern std::atomic<bool> g_commandFastPath;

// This process's flash, valid while g_open is set.
extern std::atomic<bool> g_open;
extern Context g_ctx;
extern std::atomic<uint32_t> g_pid;  // this process's pid, set by Open()

// Maps the flash (creating the board when there is none). false when it
// cannot be opened.
bool Open();
// Reads the board settings into c. Caller holds the device lock or is the
// only one who can see c.
void LoadSettings(Context& c);
void LockDevicesSlow(SharedState* st);

// The device lock: a word in the shared state holding the owner's pid. It
// serialises bus cycles of all threads and processes on the board at the
// cost of one atomic exchange when uncontended.
inline void LockDevices(SharedState* st)
{
    uint32_t expected = 0;
    uint32_t me = g_pid.load(std::memory_order_relaxed);
    if (me == 0 || !std::atomic_ref<uint32_t>(st->lock).compare_exchange_strong(
                       expected, me, std::memory_order_acquire, std::memory_order_relaxed))
        LockDevicesSlow(st);
}

inline void UnlockDevices(SharedState* st)
{
    std::atomic_ref<uint32_t>(st->lock).store(0, std::memory_order_release);
}

// Opens the flash on first use and takes the device lock (shared by every
// process on the board). nullptr when the flash cannot be opened.
inline Context* Acquire()
{
    if (!g_open.load(std::memory_order_acquire) && !Open())
        return nullptr;
    LockDevices(g_ctx.state);
    if (SettingsGeneration() != g_ctx.settingsGeneration)
        LoadSettings(g_ctx);
    return &g_ctx;
}

inline void Release(Context* c)
{
    UnlockDevices(c->state);
}

class Guard {
public:
    Guard() : c_(Acquire()) {}
    ~Guard()
    {
        if (c_)
            Release(c_);
    }
    Guard(const Guard&) = delete;
    Guard& operator=(const Guard&) = delete;
    Context* get() const { return c_; }
private:
    Context* c_;
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

// Whether the device is running an operation now; ends it when its time is
// up (or when the fault that held it was lifted: it then ends failed).
inline bool Busy(Context& c, int d, DeviceState& s)
{
    if (s.busyUntil == 0)
        return false;
    if (s.busyUntil == kStuck) {
        if (s.pendingBlock < kFlashDeviceBlocks && (Faults(c, d, s.pendingBlock) & kFaultBusy))
            return true;
        s.busyUntil = 0;
        s.status |= s.pendingKind == kPendingErase ? kStatusEraseError : kStatusProgramError;
        return false;
    }
    uint64_t now = OsClockMicros();
    // A clock before the start is another time base (another clock was
    // installed since): the operation counts as finished.
    if (now >= s.busyStart && now < s.busyUntil)
        return true;
    s.busyUntil = 0;
    return false;
}

// Byte offset in flash.img of device d's word w.
inline size_t WordOffset(const Context& c, int d, uint32_t w)
{
    return c.bus32 ? size_t(w) * 4 + size_t(d) * 2 : size_t(d) * kFlashDeviceBytes + size_t(w) * 2;
}

}  // namespace board::flash
