// The HAL control requests that flashupdate sends, their records and
// selectors. Header-only and below every part of the program: the entry,
// the update, the flash table and the version report all speak to the HAL.
#pragma once
#include <cstdint>

#include "platform/hal.h"

constexpr uint32_t HAL_RESTART = 0x0101003C;
constexpr uint32_t HAL_REGISTRY_CLEAR = 0x01012010;
constexpr uint32_t HAL_IMAGE_VERSION = 0x0101200C;
constexpr uint32_t HAL_CONFIG_GET = 0x01012028;
constexpr uint32_t HAL_CONFIG_SET = 0x0101202C;

constexpr uint32_t CONFIG_SELECTOR_SAVED = 0;   // 8 bytes, opaque, handed back after an update
constexpr uint32_t CONFIG_SELECTOR_FLASH = 5;   // 24 bytes: OS image offset, registry offset, registry length / 2

// Configuration record: three 32-bit words on the device (selector, address
// of the caller's block, size of that block).
struct ConfigRecord {
    uint32_t selector;
    void* block;
    uint32_t size;
};

// Three words that identify a build.
struct BuildVersion {
    uint32_t id;             // 1 = this board family
    int32_t major;
    uint32_t minorAndBuild;  // low 16 bits minor, high 16 bits beta build number
};

// Reads configuration block `selector` into block (size bytes). Returns the
// count of bytes the HAL returned (0: silent, the caller keeps its defaults).
inline uint32_t ConfigGet(uint32_t selector, void* block, uint32_t size)
{
    ConfigRecord record{selector, block, size};
    uint32_t returned = 0;
    OsHalRequest(HAL_CONFIG_GET, &record, sizeof(record), block, size, &returned);
    return returned;
}

// Hands block `selector` back to the HAL.
inline void ConfigSet(uint32_t selector, void* block, uint32_t size)
{
    ConfigRecord record{selector, block, size};
    uint32_t returned = 0;
    OsHalRequest(HAL_CONFIG_SET, &record, sizeof(record), block, size, &returned);
}
