// Win32 build of the board: the compiler's <unistd.h>, then the board's POSIX
// shim (board_posix.h).
#include_next <unistd.h>
#include "board_posix.h"
