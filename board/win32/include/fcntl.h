// Win32 build of the board: the compiler's <fcntl.h>, then the board's POSIX
// shim (board_posix.h).
#include_next <fcntl.h>
#include "board_posix.h"
