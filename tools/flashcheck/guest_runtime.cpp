#include "tools/flashcheck/guest_runtime.h"

#include <stddef.h>

#include "tools/flashcheck/sequences.h"

extern "C" {
extern char __bss_start[], __bss_end[];
extern char __stack_top[];
void GuestMain();

// The entry: a stack, an empty .bss, then GuestMain.
__attribute__((naked, section(".text.start"))) void _start()
{
    asm volatile(
        "ldr sp, =__stack_top\n"
        "ldr r0, =__bss_start\n"
        "ldr r1, =__bss_end\n"
        "mov r2, #0\n"
        "1: cmp r0, r1\n"
        "strlo r2, [r0], #4\n"
        "blo 1b\n"
        "bl GuestMain\n"
        "2: b 2b\n");
}

void* memcpy(void* dst, const void* src, size_t n)
{
    auto* d = static_cast<unsigned char*>(dst);
    auto* s = static_cast<const unsigned char*>(src);
    while (n-- != 0)
        *d++ = *s++;
    return dst;
}

void* memset(void* dst, int c, size_t n)
{
    auto* d = static_cast<unsigned char*>(dst);
    while (n-- != 0)
        *d++ = static_cast<unsigned char>(c);
    return dst;
}
}

namespace guest {

void Put(const char* text)
{
    volatile uint32_t* const data = reinterpret_cast<volatile uint32_t*>(0x09000000);
    while (*text != 0)
        *data = static_cast<uint8_t>(*text++);
}

void PutHex(uint32_t v)
{
    char digits[9];
    flashcheck::Hex8(v, digits);
    Put(digits);
}

void Exit(int ok)
{
    // SYS_EXIT with ADP_Stopped_ApplicationExit or ADP_Stopped_RunTimeErrorUnknown.
    register uint32_t op asm("r0") = 0x18;
    register uint32_t reason asm("r1") = ok ? 0x20026 : 0x20023;
    asm volatile("svc 0x123456" : : "r"(op), "r"(reason) : "memory");
    for (;;) {
    }
}

}  // namespace guest
