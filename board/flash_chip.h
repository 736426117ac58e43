// The flash devices' command state machines, as the bus reaches them: one
// read or write cycle at a device's word address. Inside the board only:
// the bus (bus.cpp) decodes each cycle's address to the device(s) it
// reaches and passes it here.
#pragma once
#include <cstddef>
#include <cstdint>

#include "board/flash_state.h"

namespace board::flash {

// One read cycle reaching device d at its word address w (below
// kFlashDeviceWords), counted: array data, status, identifier or query
// data as the device's mode says. Caller holds the device lock.
uint16_t DeviceRead(Context& c, int d, uint32_t w);

// One write cycle reaching device d at its word address w, counted: the
// next step of the sequence under way, or a command. Caller holds the
// device lock.
void DeviceWrite(Context& c, int d, uint32_t w, uint16_t value);

// Whether device d answers reads with array data without changing state
// (read-array mode, idle, nothing suspended), so a bulk read may copy the
// array directly.
bool DeviceReadsArray(Context& c, int d);

}  // namespace board::flash
