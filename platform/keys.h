// Key state role.
#pragma once
#include <cstdint>

constexpr int OS_VK_SHIFT = 0x10;

// State of a virtual key: non-zero while it is held (on the board: the
// Shift setting, "boardsim set shift down|up"). Never blocks.
int16_t OsGetKeyState(int virtualKey);
