// HAL role: the board's hardware abstraction layer.
#pragma once
#include "platform/types.h"

// Sends a control request to the HAL. returned may be nullptr. Returns
// nonzero on success and 0 on failure. Restart requests (0x0101003C) do not
// return when they succeed: the device restarts and the program ends.
int OsHalRequest(uint32_t code, void* in, uint32_t inSize, void* out, uint32_t outSize,
                 uint32_t* returned);

// Marks the next start of the device as a clean (cold) boot.
void OsSetCleanBootMark();
// Takes the mark back: for a cold restart that was asked for and then
// called off before it came.
void OsClearCleanBootMark();
