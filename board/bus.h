// The board's memory bus: physical addresses as the CPU sees them. The NOR
// flash occupies [0, kFlashSize). Each access is one bus cycle (a 32-bit
// access on the 16-bit bus two), passed to the flash devices, which count
// them; a bulk call is its run of such cycles. Reads outside the flash
// float high, writes there are lost.
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
// n bytes as 32-bit read cycles from phys upward (a tail of less than 4
// bytes costs one more cycle). Bytes past the flash read as 0xFF.
void BusReadBulk(void* dst, uint32_t phys, size_t n);
// `words` 32-bit write cycles to consecutive addresses from phys, in
// order, the values read from src in memory order (any alignment): the
// same as BusWrite32 for each value (on the 16-bit bus two cycles each, as
// ever). Values that would fall past the flash are lost.
void BusWriteBulk32(uint32_t phys, const void* src, size_t words);

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
