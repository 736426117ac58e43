// The guest's half of the driver comparison: the project's flash driver on
// QEMU's flash; each result to the serial line as "D <name> <result>",
// then "END".
#include "tools/flashcheck/driver_ops.h"
#include "tools/flashcheck/guest_runtime.h"

namespace {

void Report(const char* name, uint32_t result)
{
    guest::Put("D ");
    guest::Put(name);
    guest::Put(" ");
    guest::PutHex(result);
    guest::Put("\n");
}

}  // namespace

extern "C" void GuestMain()
{
    flashcheck::RunDriverOps(Report);
    guest::Put("END\n");
    guest::Exit(1);
}
