// What the guest of the flash model check has instead of a C library: the
// serial line (the virt machine's PL011), the end of the run (semihosting),
// and the memory routines the compiler may call.
#pragma once
#include <stdint.h>

namespace guest {

void Put(const char* text);
void PutHex(uint32_t v);
// Ends QEMU with exit status 0 (ok) or 1.
[[noreturn]] void Exit(int ok);

}  // namespace guest
