// The image update worker: writes one binary image file into the flash.
#pragma once
#include <cstdint>

#include "platform/types.h"

// Thread procedure; param is the progress dialog's window. The whole file
// is checked before the flash is touched; every erased block and every
// programmed chunk is read back. Returns 1 when the update completed (the
// end record reached, everything written and read back), else 0; only then
// is the restart offered. An Abort ends the run with 0: silently before the
// erase, with a warning that the image is incomplete after it. Ends the
// progress dialog and empties ImagePath on every outcome.
uint32_t ImageUpdateWorker(void* param);

// Sum of the bytes, each unsigned 8-bit, in a wrapping 32-bit accumulator.
uint32_t ByteSum(const uint8_t* data, uint32_t count);

// Binary image file: the 15-byte header, then records of a 12-byte header
// and their data; all words little-endian. A record with address 0 and
// checksum 0 ends the image.
constexpr char IMAGE_SIGNATURE[] = "B000FF\n";
constexpr uint32_t IMAGE_SIGNATURE_BYTES = 7;

struct ImageFileHeader {
    uint8_t signature[IMAGE_SIGNATURE_BYTES];
    uint32_t imageStart;     // address the image was built to lie at
    uint32_t imageLength;    // bytes: the span that is erased
};

struct ImageRecordHeader {
    uint32_t address;        // same address space as imageStart
    uint32_t length;         // data bytes that follow
    uint32_t checksum;       // ByteSum of the data
};

// Flash offset = address + AddressOffset (mod 2^32); set by every update.
extern uint32_t AddressOffset;

// Start of each flash block (i x BusWidth x 64 K); filled by every update.
constexpr int BLOCK_TABLE_ENTRIES = 256;
extern uint32_t BlockTable[BLOCK_TABLE_ENTRIES];

// The offset that moves an image built at imageStart to its place in flash:
// operating-system images go to the offset named by the HAL's selector-5
// block (0x80000 when it is silent), bootloader builds to offset 0, other
// starts are taken as flash offsets.
uint32_t RelocationOffset(uint32_t imageStart);

// Progress dialog controls the worker writes.
constexpr int UPD_SECTION_TEXT = 1004;
constexpr int UPD_SECTION_BAR = 1002;
constexpr int UPD_IMAGE_TEXT = 1005;
constexpr int UPD_IMAGE_BAR = 1003;

// Data moves from the file to the flash in chunks of at most this size.
constexpr uint32_t IMAGE_CHUNK_BYTES = 16384;
