// Win32 build of the board: the compiler's <dirent.h>, then the board's POSIX
// shim (board_posix.h).
#include_next <dirent.h>
#include "board_posix.h"
