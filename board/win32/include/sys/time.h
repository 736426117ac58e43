// Win32 build of the board: the compiler's <sys/time.h>, then the board's POSIX
// shim (board_posix.h).
#include_next <sys/time.h>
#include "board_posix.h"
