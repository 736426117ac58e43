// Win32 build of the board: the compiler's <sched.h>, then the board's POSIX
// shim (board_posix.h).
#include_next <sched.h>
#include "board_posix.h"
