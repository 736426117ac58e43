// Win32 build of the board: the compiler's <pthread.h>, then the board's POSIX
// shim (board_posix.h).
#include_next <pthread.h>
#include "board_posix.h"
