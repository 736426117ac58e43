#include "shell/commands.h"

#include "device/hal_requests.h"
#include "platform/hal.h"
#include "platform/registry.h"

Instance AppInstance;

void RunDialogTemplate(uint32_t id, Window owner, OsDialogProc proc)
{
    Resource res = OsFindResource(AppInstance, id, OS_RT_DIALOG);
    const OsDialogTemplate* tmpl = (const OsDialogTemplate*)OsLoadResource(AppInstance, res);
    OsDialogBoxIndirectParam(AppInstance, tmpl, owner, proc, 0);
}

void SaveRegistry(Window owner)
{
    long result = OsRegFlushKey(OS_HKEY_LOCAL_MACHINE);
    OsMessageBox(owner, result == 0 ? L"Registry Succesfully Saved" : L"Registry Save FAILED!",
                 L"Registry", OS_MB_OK);
}

void ClearRegistry(Window owner)
{
    int result = OsHalRequest(HAL_REGISTRY_CLEAR, nullptr, 0, nullptr, 0, nullptr);
    OsMessageBox(owner, result != 0 ? L"Registry Succesfully Cleared" : L"Registry Clear FAILED!",
                 L"Registry", OS_MB_OK);
}
