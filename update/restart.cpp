#include "update/restart.h"

#include "device/hal_requests.h"
#include "flash/flash_access.h"
#include "platform/hal.h"
#include "platform/sync.h"

void RestartDevice()
{
    Handle lock = LockFlash();
    if (lock == nullptr && !OsSleepUnlessEnding(0))
        return;
    OsHalRequest(HAL_RESTART, nullptr, 0, nullptr, 0, nullptr);
    UnlockFlash(lock);
}

void ColdRestart()
{
    OsSetCleanBootMark();
    RestartDevice();
}
