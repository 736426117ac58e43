// Clock role: the millisecond tick count and sleep.
//
// Every time in the system goes through one installed clock: the real
// monotonic clock by default, or a virtual clock (tests, benchmarks of
// device time, the board's "scaled" timing). The board's flash devices time
// their operations on the same clock, so a 10-second time-out can be run in
// microseconds of real time.
#pragma once
#include <cstdint>

// Milliseconds since an arbitrary start, wrapping at 2^32. Never blocks.
uint32_t OsGetTickCount();

// Blocks the calling thread for ms milliseconds of the installed clock
// (on a virtual clock: advances it and returns at once).
void OsSleep(uint32_t ms);

// Microseconds on the installed clock; monotonic; never blocks.
uint64_t OsClockMicros();

// A clock backend. Both slots may be called from any thread at once.
struct OsClockOps {
    uint64_t (*nowMicros)(void* ctx);             // must not block
    void (*sleepMicros)(void* ctx, uint64_t us);  // blocks (real) or advances (virtual)
    void* ctx;
};

// Installs a clock; nullptr restores the real one. The caller keeps ops
// (and its ctx) alive while it is installed.
void OsSetClock(const OsClockOps* ops);

// The virtual clock: starts at startMicros; every read of the time advances
// it by stepMicros (so a busy-wait loop makes progress), every sleep by its
// length. OsUseVirtualClock installs it; OsUseRealClock goes back.
void OsUseVirtualClock(uint64_t startMicros = 0, uint64_t stepMicros = 1);
void OsUseRealClock();
void OsVirtualClockAdvance(uint64_t us);
bool OsVirtualClockActive();
