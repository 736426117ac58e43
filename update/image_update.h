// The image update worker: writes one binary image file into the flash.
#pragma once
#include <cstdint>

#include "platform/types.h"

// Thread procedure; param is the progress dialog's window. Returns 1 when
// the update completed (end record, or stopped by Abort after a good
// record), else 0. Ends the progress dialog and empties ImagePath on every
// outcome.
uint32_t ImageUpdateWorker(void* param);

// Sum of the bytes, each unsigned 8-bit, in a wrapping 32-bit accumulator.
uint32_t ByteSum(const uint8_t* data, uint32_t count);
