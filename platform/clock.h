// Clock role: the millisecond tick count and sleep.
//
// Every time in the system goes through one installed clock (real by
// default; platform/host/clock.h), the flash devices' timing included.
#pragma once
#include <cstdint>

// Milliseconds since an arbitrary start, wrapping at 2^32. Never blocks.
uint32_t OsGetTickCount();

// Blocks the calling thread for ms milliseconds of the installed clock
// (on a virtual clock: advances it and returns at once).
void OsSleep(uint32_t ms);
