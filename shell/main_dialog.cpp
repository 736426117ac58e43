// The main dialog: registry save and clear, image update, version report,
// cold and warm restart. Every command runs to its end in its handler.
#include "shell/main_dialog.h"

#include "platform/registry.h"
#include "platform/text.h"
#include "platform/ui.h"
#include "resources/resources.h"
#include "shell/entry.h"
#include "shell/hal_requests.h"
#include "update/progress_dialog.h"
#include "version/bsp_version.h"

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

static void SetMainCaption(Window dialog)
{
    wchar_t caption[64];
    OsFormat(caption, 64, L"Update Tool %d.%d", TOOL_VERSION_MAJOR, TOOL_VERSION_MINOR);
    OsSetWindowText(dialog, caption);
}

intptr_t MainDialogProc(Window dialog, uint32_t message, uintptr_t wParam, intptr_t /*lParam*/)
{
    if (message == OS_WM_INITDIALOG) {
        SetMainCaption(dialog);
        return 1;
    }
    if (message != OS_WM_COMMAND)
        return 0;

    switch (wParam & 0xFFFF) {
    case IDCANCEL_COMMAND:
        OsEndDialog(dialog, 0);
        break;
    case IDC_CLEAR_REGISTRY:
        ClearRegistry(dialog);
        break;
    case IDC_SAVE_REGISTRY:
        SaveRegistry(dialog);
        break;
    case IDC_UPDATE_IMAGE:
        RunDialogTemplate(IDD_PROGRESS, dialog, ProgressDialogProc);
        break;
    case IDC_COLDBOOT:
        ColdRestart();
        break;
    case IDC_BSP_VERSION:
        ShowBspVersion(dialog);
        break;
    case IDC_WARMBOOT:
        RestartDevice();
        break;
    default:
        break;
    }
    return 1;
}
