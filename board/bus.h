// The board's memory bus: physical addresses as the CPU sees them. The NOR
// flash occupies [0, kFlashSize). Each access is one bus cycle, passed to
// the flash devices (which count it).
#pragma once
#include <cstddef>
#include <cstdint>

namespace board {

constexpr uint32_t kFlashSize = 32u << 20;

// Whether [phys, phys+size) is backed by device memory.
bool BusHasMemory(uint32_t phys, uint32_t size);

uint32_t BusRead32(uint32_t phys);
uint16_t BusRead16(uint32_t phys);
void BusWrite32(uint32_t phys, uint32_t value);
void BusWrite16(uint32_t phys, uint16_t value);
void BusReadBulk(void* dst, uint32_t phys, size_t n);
// Runs of write cycles to consecutive addresses from phys, in order: the
// same as BusWrite32 (BusWrite16) for each value, with the values read
// from src in memory order (any alignment). Each value is one bus write in
// the counters (a 32-bit value on the 16-bit bus two, as ever). Values
// that would fall past the flash are lost.
void BusWriteBulk32(uint32_t phys, const void* src, size_t words);
void BusWriteBulk16(uint32_t phys, const void* src, size_t halves);

// One run of a transfer: `cycles` write cycles to consecutive addresses
// from phys, the values read from src in memory order (any alignment).
struct BusWriteRun {
    uint32_t phys;
    const void* src;
    size_t cycles;
};
// The runs' write cycles in the order given and then one read cycle at
// readPhys, with nothing of another bus user between them (the bus is held
// for the whole transfer, so callers keep it short): the same as
// BusWriteBulk32 (BusWriteBulk16) for each run and then BusRead32
// (BusRead16). Returns what the read returns.
uint32_t BusWriteRunsRead32(const BusWriteRun* runs, size_t n, uint32_t readPhys);
uint16_t BusWriteRunsRead16(const BusWriteRun* runs, size_t n, uint32_t readPhys);
// A command at phys and its status read there, and then, only when that
// status has (status & readyMask) == readyValue, the transfer of
// BusWriteRunsRead32 (16), all with nothing of another bus user between
// them. true when the transfer ran: *status is its read; false when it did
// not: *status is the command's status read (all ones when phys is outside
// the flash: nothing happened).
bool BusCommandTransfer32(uint32_t phys, uint32_t command, uint32_t readyMask, uint32_t readyValue,
                          const BusWriteRun* runs, size_t n, uint32_t readPhys, uint32_t* status);
bool BusCommandTransfer16(uint32_t phys, uint16_t command, uint16_t readyMask, uint16_t readyValue,
                          const BusWriteRun* runs, size_t n, uint32_t readPhys, uint16_t* status);
// Write buffers over consecutive lines of `words` bus words, each as one
// BusCommandTransfer32: line i starts at phys + i * words * 4 and takes
// its data words from src + i * words * 4 (any alignment); its command and
// status read at the line's first word, and when (status & readyMask) ==
// readyValue its runs: `count` at the first word, the data words, `confirm`
// at the last word, with the status read there. The next line follows
// only when that status has (status & doneMask) == doneValue, all with
// nothing of another bus user between them. Returns how many lines passed
// that test; *ran and *status tell of the last line tried (the one that
// stopped the run when fewer passed): whether its transfer ran, and its
// last status read. Callers keep `lines` small: the bus is held for all.
uint32_t BusBufferLines32(uint32_t phys, uint32_t words, uint32_t lines, uint32_t command, uint32_t count,
                          const void* src, uint32_t confirm, uint32_t readyMask, uint32_t readyValue,
                          uint32_t doneMask, uint32_t doneValue, uint32_t* status, bool* ran);

}  // namespace board

namespace board {
// Unmaps the flash and device state from this process (part of CloseAll).
void FlashClose();
// A board restart: every device back to read-array mode with clear status
// (lock bits as the devices keep them at power-up).
void FlashResetDevices();
// How many programs other than this one have the board's flash mapped now
// (each holds an owner slot of flash.state).
int FlashUsers();
}  // namespace board
