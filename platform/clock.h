// Clock role: the millisecond tick count and sleep.
//
// Every time in the system goes through one installed clock: the real
// monotonic clock by default, or one the host installs (platform/host/
// clock.h). The board's flash devices time their operations on the same
// clock, so a 10-second time-out can be run in microseconds of real time.
#pragma once
#include <cstdint>

// Milliseconds since an arbitrary start, wrapping at 2^32. Never blocks.
uint32_t OsGetTickCount();

// Blocks the calling thread for ms milliseconds of the installed clock
// (on a virtual clock: advances it and returns at once).
void OsSleep(uint32_t ms);
