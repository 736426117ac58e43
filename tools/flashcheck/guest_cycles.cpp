// The guest's half of the bus-cycle comparison: runs every sequence on
// QEMU's flash (its second bank) with volatile loads and stores, and
// writes each value read to the serial line as
//   R <sequence> <cycle> <value>
// then "END".
#include "tools/flashcheck/guest_runtime.h"
#include "tools/flashcheck/sequences.h"

namespace {

// QEMU's second flash bank of the virt machine (the first one would be
// taken for firmware and boot instead of the guest).
constexpr uintptr_t kFlashBase = 0x04000000;

flashcheck::Table g_table;

char g_number[12];

const char* Decimal(uint32_t v)
{
    char* p = g_number + sizeof g_number - 1;
    *p = 0;
    do {
        *--p = char('0' + v % 10);
        v /= 10;
    } while (v != 0);
    return p;
}

}  // namespace

extern "C" void GuestMain()
{
    if (!flashcheck::MakeSequences(&g_table)) {
        guest::Put("ERROR the sequence table does not fit\n");
        guest::Exit(0);
    }
    for (uint32_t s = 0; s < g_table.sequenceCount; ++s) {
        const flashcheck::Sequence& seq = g_table.sequences[s];
        for (uint32_t i = 0; i < seq.count; ++i) {
            const flashcheck::Cycle& c = g_table.cycles[seq.first + i];
            uintptr_t a = kFlashBase + c.offset;
            uint32_t v;
            switch (c.op) {
            case flashcheck::kW32: *reinterpret_cast<volatile uint32_t*>(a) = c.value; continue;
            case flashcheck::kW16: *reinterpret_cast<volatile uint16_t*>(a) = uint16_t(c.value); continue;
            case flashcheck::kR32: v = *reinterpret_cast<volatile uint32_t*>(a); break;
            default: v = *reinterpret_cast<volatile uint16_t*>(a); break;
            }
            guest::Put("R ");
            guest::Put(seq.name);
            guest::Put(" ");
            guest::Put(Decimal(i));
            guest::Put(" ");
            guest::PutHex(v);
            guest::Put("\n");
        }
    }
    guest::Put("END\n");
    guest::Exit(1);
}
