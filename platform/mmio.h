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

// Bus cycles. addr must lie in a mapping and be aligned to the width.
uint32_t OsRead32(const void* addr);
uint16_t OsRead16(const void* addr);
void OsWrite32(void* addr, uint32_t value);
void OsWrite16(void* addr, uint16_t value);
// Reads n bytes as a run of 32-bit bus reads (addr aligned to 4; a tail of
// less than 4 bytes costs one more read). Used for scans of read-array data.
void OsReadBulk(void* dst, const void* addr, size_t n);
// A run of `words` 32-bit bus writes to consecutive addresses from addr
// (aligned to 4), in order, each exactly one bus cycle, with the same effect
// as calling OsWrite32 for each word. src holds the values in memory order
// and need not be aligned. The whole run must lie in one mapping. Used for
// the data words of a write buffer.
void OsWriteBulk32(void* addr, const void* src, size_t words);
// The same with 16-bit bus writes (addr aligned to 2): `halves` OsWrite16
// cycles in order.
void OsWriteBulk16(void* addr, const void* src, size_t halves);

// One run of a transfer: `cycles` write cycles to consecutive addresses
// from addr (aligned to the transfer's width), the values read from src in
// memory order (any alignment). The run must lie in one mapping.
struct OsWriteRun {
    void* addr;
    const void* src;
    size_t cycles;
};
// The most runs, and the most write cycles of all its runs, in one transfer.
constexpr size_t OS_TRANSFER_MAX_RUNS = 4;
constexpr size_t OS_TRANSFER_MAX_CYCLES = 256;
// A transfer: the runs' write cycles in the order given, then one read
// cycle at readAddr, with nothing of another bus user between them; returns
// what the read returns. The same as OsWriteBulk32 for each run and then
// OsRead32 (OsWriteBulk16 and OsRead16): on the device a loop of volatile
// stores and one volatile load. The bus is held for the whole transfer: more
// than OS_TRANSFER_MAX_RUNS runs or OS_TRANSFER_MAX_CYCLES cycles is a data
// abort. Used for a write buffer's count, data and confirm with the first
// status read after them.
uint32_t OsWriteRunsRead32(const OsWriteRun* runs, size_t n, const void* readAddr);
uint16_t OsWriteRunsRead16(const OsWriteRun* runs, size_t n, const void* readAddr);
// A command, its status read and then, only when that status has
// (status & readyMask) == readyValue, a transfer as OsWriteRunsRead32
// (OsWriteRunsRead16), all with nothing of another bus user between them.
// Returns 1 when the transfer ran, with *status its read; 0 when it did
// not (only the command and its read were made), with *status the
// command's status. The same limits as a transfer. On the device a volatile
// store, a volatile load, the test and the transfer's accesses. Used for a
// write buffer: the 0xE8 command and its status, and when a buffer is free
// at once (the usual case) the count, data and confirm with the first
// status read after them.
int OsCommandTransfer32(void* addr, uint32_t command, uint32_t readyMask, uint32_t readyValue,
                        const OsWriteRun* runs, size_t n, const void* readAddr, uint32_t* status);
int OsCommandTransfer16(void* addr, uint16_t command, uint16_t readyMask, uint16_t readyValue,
                        const OsWriteRun* runs, size_t n, const void* readAddr, uint16_t* status);
// Write buffers over consecutive lines, each as one OsCommandTransfer32:
// line i starts at addr + i * words * 4 and takes its data words from
// src + i * words * 4 (any alignment). Its command and status read at its
// first word; when (status & readyMask) == readyValue, the word `count` at
// its first word, its data words and `confirm` at its last word, with the
// status read there. The next line follows only when that status has
// (status & doneMask) == doneValue; nothing of another bus user comes
// between any of them. Returns how many lines passed that test; *ran and
// *status tell of the last line tried (the one that stopped the run when
// fewer passed): 1 when its transfer ran, and its last status read. All
// the lines must lie in one writable mapping; more than
// OS_TRANSFER_MAX_LINES lines, or lines of more than
// OS_TRANSFER_MAX_CYCLES - 2 words, is a data abort. On the device the
// same loop of volatile stores, loads and tests. Used for the full
// buffers of a program, which a free buffer and a quick program make the
// usual case; the line that stops the run is finished by the caller.
constexpr size_t OS_TRANSFER_MAX_LINES = 256;
uint32_t OsBufferLines32(void* addr, uint32_t words, uint32_t lines, uint32_t command, uint32_t count,
                         const void* src, uint32_t confirm, uint32_t readyMask, uint32_t readyValue,
                         uint32_t doneMask, uint32_t doneValue, uint32_t* status, int* ran);
