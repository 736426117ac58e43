// The driver's half of the flash model check: the same calls of the
// project's flash driver (flash/flash_access.h) made on QEMU's flash from
// the ARM guest and on the board from the host. Each call's result is
// reported as "D <name> <result>"; the final flash images are compared.
#pragma once
#include <stdint.h>

namespace flashcheck {

// Receives one result line's name and value.
typedef void (*DriverReport)(const char* name, uint32_t result);

// Maps the flash as the update does and runs every call.
void RunDriverOps(DriverReport report);

}  // namespace flashcheck
