// HAL role on the board: requests go to the board's HAL.
#include "platform/hal.h"

#include "board/board.h"
#include "board/hal.h"

int OsHalRequest(uint32_t code, void* in, uint32_t inSize, void* out, uint32_t outSize,
                 uint32_t* returned)
{
    if (!board::Ensure()) {
        if (returned)
            *returned = 0;
        return 0;
    }
    return board::HalRequest(code, in, inSize, out, outSize, returned);
}

void OsSetCleanBootMark()
{
    if (board::Ensure())
        board::HalSetCleanBootMark();
}

void OsClearCleanBootMark()
{
    if (board::Ensure())
        board::HalClearCleanBootMark();
}
