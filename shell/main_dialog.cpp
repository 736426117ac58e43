// The main dialog: registry save and clear, image update, version report,
// cold and warm restart. Every command runs to its end in its handler.
#include "shell/main_dialog.h"

#include "platform/text.h"
#include "platform/ui.h"
#include "resources/resources.h"
#include "shell/commands.h"
#include "update/progress_dialog.h"
#include "update/restart.h"
#include "version/bsp_version.h"

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
