// HAL role on the board: requests go to the board's HAL.
#include "platform/hal.h"

#include "board/board.h"
#include "board/hal.h"
#include "platform/common/run_report.h"

int OsHalRequest(uint32_t code, void* in, uint32_t inSize, void* out, uint32_t outSize,
                 uint32_t* returned)
{
    if (!board::Ensure()) {
        if (returned)
            *returned = 0;
        return 0;
    }
    if (code != board::kHalRestart && code != board::kHalRegistryClear)
        return board::HalRequest(code, in, inSize, out, outSize, returned);
    // Noted before the request: a restart that succeeds may end the program.
    const bool cold = board::HalCleanBootMarked();
    if (code == board::kHalRestart)
        RunNoteRestart(cold ? 2 : 1);
    int result = board::HalRequest(code, in, inSize, out, outSize, returned);
    if (code == board::kHalRestart && result == 0)
        RunNoteRestart(-1);
    if (code == board::kHalRegistryClear)
        RunNoteRegistryClear(result != 0);
    return result;
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
