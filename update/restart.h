// The device restarts: the one offered after an update and the two of the
// main dialog and the command line.
#pragma once

// The restart request; returns only when the restart failed (or when the
// program was asked to end while it waited). A restart never comes in the
// middle of another program's erase or programming, which it would leave
// half done: it waits for the flash lock first (an update that restarts
// holds it already).
void RestartDevice();

// Cold restart: clean-boot mark, then the restart request.
void ColdRestart();
