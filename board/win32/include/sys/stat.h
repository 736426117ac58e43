// Win32 build of the board: the compiler's <sys/stat.h>, then the board's POSIX
// shim (board_posix.h).
#include_next <sys/stat.h>
#include "board_posix.h"
