// Win32 build of the board: the compiler's <signal.h>, then the board's POSIX
// shim (board_posix.h).
#include_next <signal.h>
#include "board_posix.h"
