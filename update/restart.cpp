#include "update/restart.h"

#include "device/hal_requests.h"
#include "flash/flash_access.h"
#include "platform/hal.h"
#include "platform/sync.h"

int RestartDevice()
{
    Handle lock = LockFlash();
    if (lock == nullptr && !OsSleepUnlessEnding(0))
        return 0;
    OsHalRequest(HAL_RESTART, nullptr, 0, nullptr, 0, nullptr);
    UnlockFlash(lock);
    return 1;
}

void ColdRestart()
{
    OsSetCleanBootMark();
    if (!RestartDevice())
        OsClearCleanBootMark();
}
