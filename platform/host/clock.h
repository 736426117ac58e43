// Host-side control of the clock role: which clock the programs and the
// board run on (the launchers, the board's timing and the tests set it).
#pragma once
#include <cstdint>

#include "platform/clock.h"

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
