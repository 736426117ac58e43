// Key state, the same for both backends. The board has one key, Shift, held or
// not as its setting "shift" says ("boardsim set shift down|up"); the
// setting is read afresh on every call, since another program changes it.
#include "board/board.h"
#include "platform/keys.h"

int16_t OsGetKeyState(int virtualKey)
{
    if (virtualKey != OS_VK_SHIFT) return 0;
    if (board::GetSetting("shift", "up") != "down") return 0;
    // Held (high bit) and toggled (low bit), as the device reports a held key.
    return static_cast<int16_t>(0x8001);
}
