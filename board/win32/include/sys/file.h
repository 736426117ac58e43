// Win32 build of the board: Windows has no <sys/file.h>; the board's POSIX shim
// declares what the board uses of it.
#pragma once
#include "board_posix.h"
