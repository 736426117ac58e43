// The Windows CE ROM image layout, as far as flashupdate reads it: the
// running-image search of the flash table and the version report both walk
// the same headers (little-endian words, offsets from the image's first
// byte).
#pragma once
#include <cstdint>

constexpr uint32_t ROM_COMP_MARKER = 0x504D4F43;       // "COMP" at +0x00
constexpr uint32_t ROM_COMP_LENGTH_OFFSET = 0x08;
constexpr uint32_t ROM_SIGNATURE = 0x43454345;         // "ECEC" at +0x40
constexpr uint32_t ROM_SIGNATURE_OFFSET = 0x40;
constexpr uint32_t ROM_HEADER_ADDRESS_OFFSET = 0x44;   // header address, image space
constexpr uint32_t ROM_HEADER_POINTER_OFFSET = 0x48;   // header offset from the image start

// Fields of the ROM header, from its first byte.
constexpr uint32_t ROMHDR_FIRST_ADDRESS = 0x08;
constexpr uint32_t ROMHDR_LAST_ADDRESS = 0x0C;
constexpr uint32_t ROMHDR_MODULE_COUNT = 0x10;
constexpr uint32_t ROMHDR_SIZE = 0x54;                 // table of contents follows

// One module entry of the table of contents.
constexpr uint32_t ROM_TOC_ENTRY_SIZE = 32;
constexpr uint32_t ROM_TOC_FILETIME_OFFSET = 0x04;
constexpr uint32_t ROM_TOC_NAME_OFFSET = 0x10;
