// The board's NOR flash: two 16-bit devices with the Intel command set.
//
// Arrangement (board setting `bus`):
//  - `32` (default): the two devices side by side on a 32-bit bus. Device 0
//    sees the low 16 bits of every bus word, device 1 the high 16 bits; the
//    device word address is phys / 4. A 16-bit access at phys % 4 == 0
//    reaches device 0 only, at phys % 4 == 2 device 1 only. A bus block
//    (erase unit) is 256 KB: the same 128 KB block of both devices.
//  - `16`: the devices one after the other on a 16-bit bus, device 1 from
//    16 MB; each takes commands only at its own addresses. A 32-bit access
//    is two 16-bit cycles (low half at phys, high half at phys + 2). A bus
//    block is one 128 KB device block.
//
// The array is flash.img in the board directory, mapped shared, so that
// several processes see one flash and a killed process leaves it as far as
// it got. The devices' state (mode, status, lock bits, a running operation,
// per-device faults) is flash.state beside it, kept until FlashResetDevices
// (a board restart). The devices read the board settings bus, timing*,
// power-cut-after and fault-* (see "boardsim help") again when
// SettingsGeneration() changes and whenever a mapping is made; a fault-*
// offset names the bus block that contains it.
//
// Everything here is thread-safe; functions that look at the devices open
// the board's flash on first use, like a bus access.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

#include "board/bus.h"

namespace board {

constexpr int kFlashDevices = 2;
constexpr uint32_t kFlashDeviceBytes = 16u << 20;
constexpr uint32_t kFlashDeviceWords = kFlashDeviceBytes / 2;
constexpr uint32_t kFlashDeviceBlockBytes = 128u << 10;
constexpr uint32_t kFlashDeviceBlockWords = kFlashDeviceBlockBytes / 2;
constexpr uint32_t kFlashDeviceBlocks = kFlashDeviceBytes / kFlashDeviceBlockBytes;
constexpr uint32_t kFlashBufferWords = 16;  // write buffer per device (32 bytes)

// Command words, as one device sees them (low byte of its 16-bit half).
constexpr uint8_t kCmdReadArray = 0xFF;
constexpr uint8_t kCmdReadStatus = 0x70;
constexpr uint8_t kCmdClearStatus = 0x50;
constexpr uint8_t kCmdReadIdentifier = 0x90;
constexpr uint8_t kCmdCfiQuery = 0x98;
constexpr uint8_t kCmdBlockErase = 0x20;
constexpr uint8_t kCmdWordProgram = 0x40;
constexpr uint8_t kCmdWordProgramAlt = 0x10;
constexpr uint8_t kCmdWriteToBuffer = 0xE8;
constexpr uint8_t kCmdConfirm = 0xD0;
constexpr uint8_t kCmdLockSetup = 0x60;
constexpr uint8_t kCmdLockBlock = 0x01;  // after kCmdLockSetup; kCmdConfirm unlocks

// Status register bits of one device.
constexpr uint16_t kStatusReady = 0x80;
constexpr uint16_t kStatusEraseError = 0x20;
constexpr uint16_t kStatusProgramError = 0x10;
constexpr uint16_t kStatusVppLow = 0x08;
constexpr uint16_t kStatusBlockLocked = 0x02;

// Identifier codes (read identifier mode).
constexpr uint16_t kFlashManufacturerId = 0x0089;
constexpr uint16_t kFlashDeviceId = 0x0018;

constexpr uint8_t kCmdSuspend = 0xB0;     // erase or program suspend; kCmdConfirm resumes

// Status bits a suspend sets (SR6, SR2), and what the other bits read while
// a device is busy (only SR7 is valid then) and in the extended status after
// 0xE8 (only XSR7 is defined): a pattern no ready status ever has, so that a
// driver that looks at them too early fails visibly.
constexpr uint16_t kStatusEraseSuspended = 0x40;
constexpr uint16_t kStatusProgramSuspended = 0x04;
constexpr uint16_t kStatusUndefined = 0x7E;

// Operation times in microseconds, typical and maximum, from the table
// "Block Erase, Program, and Lock-Bit Configuration Performance" of the
// StrataFlash J3 datasheet (order number 290667, revision -015; the 0.25 um
// J3A and 0.18 um J3C parts, not the faster 0.13 um J3 v. D): a full
// 32-byte buffer takes 218 us, its front page's 6.8 us per byte. `timing
// typical` (alias `datasheet`) takes the first, `max` the second, `random`
// a time drawn uniformly between them; a buffer of fewer than 16 words
// takes its share of the buffer time.
constexpr uint64_t kEraseMicros = 1000000, kEraseMaxMicros = 4000000;
constexpr uint64_t kBufferProgramMicros = 218, kBufferProgramMaxMicros = 654;  // a full 16-word buffer
constexpr uint64_t kWordProgramMicros = 210, kWordProgramMaxMicros = 630;
constexpr uint64_t kLockMicros = 64, kLockMaxMicros = 75;                       // set one block's lock bit
constexpr uint64_t kUnlockMicros = 500000, kUnlockMaxMicros = 700000;           // clear all lock bits

// What a device's state machine is waiting for.
enum class FlashMode : uint32_t {
    ReadArray = 0,
    ReadStatus,
    ReadIdentifier,
    CfiQuery,
    EraseSetup,      // 0x20 seen, expects 0xD0
    ProgramSetup,    // 0x40/0x10 seen, expects the data word
    BufferCount,     // 0xE8 seen, expects the word count
    BufferData,      // expects the buffer's data words
    BufferConfirm,   // buffer full, expects 0xD0
    LockSetup,       // 0x60 seen, expects 0x01 or 0xD0
};

// Faults of one block of one device (bit mask).
enum FlashFault : uint8_t {
    kFaultLocked = 0x01,   // block locked whatever its lock bit says
    kFaultErase = 0x02,    // erase fails (status bit 5), nothing erased
    kFaultBusy = 0x04,     // erase/program never completes: busy until the
                           // fault is lifted or the board restarts
    kFaultProgram = 0x08,  // program fails (status bit 4), nothing written
    kFaultVpp = 0x10,      // erase/program fail with programming voltage low
    kFaultStuck = 0x20,    // worn cells: a program leaves some bits set (a
                           // fixed pattern, FlashStuckBits) while the status
                           // reports success; only a read-back finds it
};

// The bits a worn (kFaultStuck) block's device word w cannot clear: two
// bits a word, moving along the line, so that almost any data shows it.
inline uint16_t FlashStuckBits(uint32_t w)
{
    return uint16_t(0x0101u << (w % 8));
}

// Bus cycles seen since the last FlashResetCounters (this process only).
struct FlashCounters {
    uint64_t busReads;    // read cycles on the bus (a 32-bit access on the
    uint64_t busWrites;   // 16-bit bus is two cycles)
    uint64_t reads[kFlashDevices];        // read cycles that reached device d
    uint64_t writes[kFlashDevices];       // write cycles that reached device d
    uint64_t statusReads[kFlashDevices];  // of reads[d]: returned the status
    uint64_t arrayReads[kFlashDevices];   // of reads[d]: returned array data
};

FlashCounters FlashGetCounters();
void FlashResetCounters();

// What this process's bus cycles changed in the array (an erase or a
// program that reached it), apart from the board firmware's own rewrites
// (the registry area): bytes erased and programmed, and the ranges of
// flash offsets touched ([low, high); low > high while empty). Kept in
// lock-free atomics, so that a program ending on a signal can still read
// it. Never reset: it describes the run.
struct FlashChanges {
    uint64_t erasedBytes;
    uint64_t programmedBytes;
    uint32_t changedLow, changedHigh;        // erases and programs
    uint32_t programmedLow, programmedHigh;  // programs only
};
FlashChanges FlashProgramChanges();
void FlashResetProgramChanges();   // for tests
// The calling thread's bus cycles are the firmware's while one of these
// stands (their changes are not the program's).
class FlashFirmwareWrites {
public:
    FlashFirmwareWrites();
    ~FlashFirmwareWrites();
    FlashFirmwareWrites(const FlashFirmwareWrites&) = delete;
    FlashFirmwareWrites& operator=(const FlashFirmwareWrites&) = delete;
};

// The board firmware's own flash routine (the HAL's registry save and
// clear): makes flash bytes [offset, offset + n) equal to bytes through
// the devices' command sequences on the bus, so lock bits, faults and
// operation times apply. The bus blocks the range touches are erased
// (unless already blank) and programmed back, the bytes outside the range
// as they were. Every wait has a time-out of timeoutMs on the installed
// clock. Leaves the devices in read-array mode unless one is still busy.
// false when the range leaves the flash or an erase or program fails or
// times out. Caller holds the flash lock. Blocks.
bool FlashRewrite(uint32_t offset, const uint8_t* bytes, size_t n, uint32_t timeoutMs);

// The arrangement now in effect: 4 (32-bit bus) or 2 (16-bit bus).
uint32_t FlashBusWidth();
// The bus block (erase unit) size: 256 KB or 128 KB.
uint32_t FlashBusBlockBytes();

// A device's state, as a test or `boardsim show` sees it (no bus cycle).
struct FlashDeviceInfo {
    FlashMode mode;
    uint16_t status;      // status register as a read would return it now
    bool busy;
    bool stuck;           // busy for good (kFaultBusy)
};
FlashDeviceInfo FlashGetDeviceInfo(int device);

// Copies n bytes of the array at flash offset off, without bus cycles
// (clamped to the flash; bytes past it read as 0xFF). false when the flash
// cannot be opened.
bool FlashPeek(void* dst, uint32_t off, size_t n);

// Why the flash could not be opened when it was last tried, in a few words
// that name the board's file ("flash.state is a folder, not a file"), for
// a program to show as its reason; "" once it is open.
std::string FlashOpenProblem();

// Makes the devices read the board settings again (also done when this
// process's SettingsGeneration() changes). The device-memory mapping calls
// it for every new mapping, so a program sees settings that another
// process (boardsim) changed.
void FlashRefreshSettings();

// A short readable summary of the devices (mode, status, faults, locks).
std::string FlashDescribe();

// The board loses power: an operation still running (or suspended) is cut
// short and leaves its erase block, buffer line or word with unpredictable
// bits; the devices come back idle in read-array mode with clear status
// and the lock bits they keep. The event log records "power-cut", and a
// program that uses the flash afterwards ends as a device restart ends it
// (not the caller). false when the flash cannot be opened.
bool FlashPowerCut();
// Test hook: when set, a program that loses power calls hook() and goes on
// instead of ending. nullptr restores the real power loss.
void FlashSetPowerLossHook(void (*hook)());

}  // namespace board
