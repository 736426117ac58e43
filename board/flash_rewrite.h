// The board firmware's own flash routine, used by the HAL to save and clear
// the registry area. It goes through the devices' command sequences on the
// bus like any program, so lock bits, faults and operation times apply to
// it as well.
#pragma once
#include <cstddef>
#include <cstdint>

namespace board {

// Makes flash bytes [offset, offset + n) equal to bytes. The bus blocks
// the range touches are erased (unless already blank) and programmed
// back, the bytes outside the range as they were. Every wait has a
// time-out of timeoutMs on the installed clock. Leaves the devices in
// read-array mode unless one is still busy. false when the range leaves
// the flash or an erase or program fails or times out. Caller holds the
// flash lock. Blocks.
bool FlashRewrite(uint32_t offset, const uint8_t* bytes, size_t n, uint32_t timeoutMs);

}  // namespace board
