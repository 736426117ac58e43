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

}  // namespace board

namespace board {
// Unmaps the flash and device state from this process (part of CloseAll).
void FlashClose();
// A board restart: every device back to read-array mode with clear status
// (lock bits as the devices keep them at power-up).
void FlashResetDevices();
}  // namespace board
