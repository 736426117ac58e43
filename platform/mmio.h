// Device memory role: mapping physical memory and bus accesses to it.
//
// Device memory is touched only through the accessors below, never by
// dereferencing a mapped address: on the device they are volatile loads and
// stores; on the simulated board every access is a bus cycle that reaches
// the flash devices (which count them). An access outside every mapping, or
// not aligned to its width, is a data abort: the program is stopped.
#pragma once
#include "platform/types.h"

constexpr uint32_t OS_MEM_RESERVE = 0x2000;
constexpr uint32_t OS_MEM_RELEASE = 0x8000;
constexpr uint32_t OS_PAGE_NOACCESS = 0x01;
constexpr uint32_t OS_PAGE_READWRITE = 0x04;
constexpr uint32_t OS_PAGE_NOCACHE = 0x200;
constexpr uint32_t OS_PAGE_PHYSICAL = 0x400;

// Reserves size bytes of address space without access (allocationType
// OS_MEM_RESERVE, protect OS_PAGE_NOACCESS). Returns the start or nullptr.
void* OsVirtualAlloc(uint32_t size, uint32_t allocationType, uint32_t protect);

// Maps physical memory into reserved space: addr..addr+size from physical
// address phys (protect 0x604: read-write, uncached, physical address
// given). 1 = mapped, 0 = failed (no reservation there, or no such
// physical memory). Does not block.
int OsVirtualCopy(void* addr, uint32_t phys, uint32_t size, uint32_t protect);

// Releases reserved space and its mapping (size 0, freeType OS_MEM_RELEASE).
// 1 = released, 0 = not a reservation.
int OsVirtualFree(void* addr, uint32_t size, uint32_t freeType);

// Bus cycles: each call is exactly one bus access of its width (on the
// device a volatile load or store). addr must lie in a mapping, be aligned
// to the width, and, for a write, lie in a writable mapping.
uint32_t OsRead32(const void* addr);
uint16_t OsRead16(const void* addr);
void OsWrite32(void* addr, uint32_t value);
void OsWrite16(void* addr, uint16_t value);

// Reads n bytes as a run of 32-bit bus reads from addr upward (aligned to
// 4; a tail of less than 4 bytes costs one more read), like memcpy_fromio.
// The whole run must lie in one mapping. For scans of read-array data.
void OsReadBulk(void* dst, const void* addr, size_t n);

// Writes `words` 32-bit values from src (memory order, any alignment) as a
// run of 32-bit bus writes to consecutive addresses from addr (aligned to
// 4), in order, like memcpy_toio: exactly OsWrite32 for each word, one bus
// cycle each. The whole run must lie in one writable mapping. For the data
// words of a write buffer.
void OsWriteBulk32(void* addr, const void* src, size_t words);
