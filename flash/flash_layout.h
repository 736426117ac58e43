// The table of named flash regions, its refresh from the flash, the HAL and
// the registry, and the warning shown when an image would overwrite them.
#pragma once
#include <cstdint>

#include "device/rom_image.h"
#include "platform/types.h"

struct FlashRegion {
    const wchar_t* name;     // shown in the overlap warning
    uint32_t start;          // byte offset of the first byte in flash
    uint32_t length;         // bytes; 0 = empty, never matches
    uint32_t flags;          // 3 for the fixed rows, 0 for the others
    uint32_t imageLength;    // IMAGE row: the running image's length as found
};

constexpr int FLASH_REGION_COUNT = 5;

// The table, in warning order: Bootloader, ConfigBlock, IMAGE, Registry,
// FileSystem. Rows 2-4 are brought up to date by every overlap check.
extern FlashRegion FlashLayout[FLASH_REGION_COUNT];

// Rows of the table.
constexpr int REGION_BOOTLOADER = 0;
constexpr int REGION_CONFIG = 1;
constexpr int REGION_IMAGE = 2;
constexpr int REGION_REGISTRY = 3;
constexpr int REGION_FILESYSTEM = 4;

// Step of the running-image search and the rounding of its length.
constexpr uint32_t IMAGE_SEARCH_STEP = 0x40000;

// Searches a window of windowSize bytes (the whole flash) for the stored
// image: at 0x40000, 0x80000, ... up to the last 256 KB step, the first
// position with "ECEC" at +0x40 (a ROM image) or "COMP" at +0 (a compressed
// image). Fields that would lie outside the window mean "no image there".
// 1 = found (start, length filled), 0 = none.
int FindRunningImage(const uint8_t* window, uint32_t windowSize, uint32_t* start, uint32_t* length);

// Brings rows 2-4 up to date: IMAGE from the flash, Registry from the HAL's
// selector-5 block (when it answers), FileSystem from the registry values
// "MemBase"/"MemLen" (each when present). Always returns 1.
int RefreshFlashLayout();

// Refreshes the table and, when [start, start+length) overlaps named
// regions, asks the user (owner owns the box) whether to go on.
// 1 = proceed, 0 = the user cancelled.
int CheckImageOverlap(uint32_t start, uint32_t length, Window owner);
