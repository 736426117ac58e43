// Which side uses a board: the Linux build's programs or the Windows
// build's (under Wine). Both may open the same board folder, but their file
// locks do not all see each other: the named mutexes and the board's own
// lock files are flock (Linux) or Win32 mutexes and LockFileEx (Windows),
// and a Linux flock and a Wine LockFileEx never exclude each other; nor is
// Wine's getpid() the Unix pid. So a board is used by one side at a time.
// The byte-range locks of flash.state do see each other (Wine keeps its
// LockFileEx ranges as POSIX record locks), and every program that opens
// the flash holds a shared lock on its side's byte there while it has it
// open: a program of the other side is then refused.
#pragma once
#include <string>

namespace board {

// The side of this build: "Linux" or "Windows".
const char* ThisSide();

// Marks the flash as used by this side on fd (flash.state, kept open while
// the flash is open), unless the other side uses it: then false, with *why
// saying so.
bool ClaimSide(int stateFd, std::string* why);

// The other side's programs that have the flash open right now: whether
// any does (fd: flash.state).
bool OtherSideUses(int stateFd);

}  // namespace board
