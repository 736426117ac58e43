// The guest's half of the bus-cycle comparison: runs every sequence on
// QEMU's flash (its second bank, through guest_platform.cpp's volatile
// loads and stores), and writes each value read to the serial line as
//   R <sequence> <cycle> <value>   (cycle and value in hex)
// then "END".
#include "tools/flashcheck/guest_runtime.h"
#include "tools/flashcheck/sequences.h"

namespace {

flashcheck::Table g_table;

void Report(void*, const flashcheck::Sequence& seq, uint32_t index, const flashcheck::Cycle&, uint32_t value)
{
    guest::Put("R ");
    guest::Put(seq.name);
    guest::Put(" ");
    guest::PutHex(index);
    guest::Put(" ");
    guest::PutHex(value);
    guest::Put("\n");
}

}  // namespace

extern "C" void GuestMain()
{
    if (!flashcheck::MakeSequences(&g_table)) {
        guest::Put("ERROR the sequence table does not fit\n");
        guest::Exit(0);
    }
    if (!flashcheck::RunSequences(g_table, Report, nullptr)) {
        guest::Put("ERROR the flash cannot be mapped\n");
        guest::Exit(0);
    }
    guest::Put("END\n");
    guest::Exit(1);
}
