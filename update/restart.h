// The device restarts: the one offered after an update and the two of the
// main dialog and the command line.
#pragma once

// The restart request; returns only when the restart failed (1), or when
// the program was asked to end while it waited and so made no request (0).
// A restart never comes in the middle of another program's erase or
// programming, which it would leave half done: it waits for the flash lock
// first (an update that restarts holds it already).
int RestartDevice();

// Cold restart: clean-boot mark, then the restart request. A restart
// called off before its request takes the mark back, so that the next
// ordinary restart keeps the registry.
void ColdRestart();
