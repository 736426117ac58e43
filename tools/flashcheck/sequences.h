// The bus-cycle sequences that the flash model check runs, cycle for cycle,
// against the board's devices on the host and against QEMU's CFI flash in an
// ARM guest. Both sides build the same list with MakeSequences, so neither
// can drift from the other; the check compares every value read and the
// final flash contents.
//
// Freestanding: no library headers beyond <stdint.h> and the platform's
// own, so that the guest (no C library) builds it as it is.
#pragma once
#include <stdint.h>

namespace flashcheck {

enum Op : uint8_t { kW32, kW16, kR32, kR16 };

// What a read is expected to return, so that the check can name it and
// apply a rule to a kind of read (the extended status after 0xE8 has one
// defined bit).
enum Tag : uint8_t { kData, kStatus, kXsr, kIdentifier, kCfi };
constexpr const char* kTagNames[] = {"data", "status", "xsr", "identifier", "cfi"};

struct Cycle {
    uint8_t op;
    uint8_t tag;
    uint32_t offset;   // flash offset (physical address of bank 0)
    uint32_t value;    // written value; unused for reads
};

struct Sequence {
    const char* name;   // a string literal
    uint32_t first;    // index of its first cycle
    uint32_t count;
    uint32_t block;    // the flash offset of the 256 KB block it works in
};

constexpr uint32_t kMaxCycles = 8192;
constexpr uint32_t kMaxSequences = 96;
constexpr uint32_t kBlockBytes = 0x40000;
constexpr uint32_t kFirstBlock = 0x100000;   // above the bootloader's place

struct Table {
    Cycle cycles[kMaxCycles];
    Sequence sequences[kMaxSequences];
    uint32_t cycleCount;
    uint32_t sequenceCount;
};

// Fills t. Returns 0 when the table does not fit (a fault of this file).
int MakeSequences(Table* t);

// Receives each value read: the sequence, the cycle's index in it, the
// cycle and the value.
typedef void (*ReadReport)(void* ctx, const Sequence& seq, uint32_t index, const Cycle& cycle, uint32_t value);

// Runs every cycle of t, in order, through the platform's bus accessors on
// the flash mapped at physical address 0 (the board's devices on the host,
// QEMU's bank in the guest). Returns 0 when the flash cannot be mapped.
int RunSequences(const Table& t, ReadReport report, void* ctx);

// Formats v as 8 hex digits into out (9 bytes with the terminator).
void Hex8(uint32_t v, char* out);

}  // namespace flashcheck
