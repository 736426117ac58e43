// flashupdate's dialog templates and its resource table.
#include "resources/resources.h"

namespace {

const OsDialogItem kMainItems[] = {
    {IDC_SAVE_REGISTRY, L"BUTTON", L"Save Registry to Flash", 7, 7, 105, 19, PUSH_BUTTON_STYLE},
    {IDC_CLEAR_REGISTRY, L"BUTTON", L"Clear Registry on Flash", 7, 28, 105, 19, PUSH_BUTTON_STYLE},
    {IDC_UPDATE_IMAGE, L"BUTTON", L"Update Bootloader/Image", 7, 49, 105, 19, PUSH_BUTTON_STYLE},
    {IDC_BSP_VERSION, L"BUTTON", L"BSP Version", 7, 70, 105, 19, PUSH_BUTTON_STYLE},
    // "Coldboot" comes first in the template but sits on the right.
    {IDC_COLDBOOT, L"BUTTON", L"Coldboot", 69, 93, 43, 19, PUSH_BUTTON_STYLE},
    {IDC_WARMBOOT, L"BUTTON", L"Warmboot", 7, 93, 43, 19, PUSH_BUTTON_STYLE},
};

const OsDialogItem kProgressItems[] = {
    {IDC_ABORT, L"BUTTON", L"Abort", 52, 71, 58, 11, PUSH_BUTTON_STYLE},
    {IDC_STEP_BAR, L"msctls_progress32", L"Progress1", 7, 20, 157, 13, PROGRESS_STYLE},
    {IDC_IMAGE_BAR, L"msctls_progress32", L"Progress2", 7, 52, 157, 14, PROGRESS_STYLE},
    {IDC_STEP_TEXT, L"STATIC", L"", 7, 7, 157, 10, TEXT_STYLE},
    {IDC_IMAGE_TEXT, L"STATIC", L"", 7, 39, 157, 10, TEXT_STYLE},
};

}  // namespace

const OsDialogTemplate MainDialogTemplate = {
    L"Update Tool", DIALOG_STYLE, 0, 0, 119, 119, L"System", 8,
    static_cast<int>(sizeof kMainItems / sizeof kMainItems[0]), kMainItems,
};

const OsDialogTemplate ProgressDialogTemplate = {
    L"Updating IMAGE", DIALOG_STYLE, 0, 0, 171, 89, L"System", 8,
    static_cast<int>(sizeof kProgressItems / sizeof kProgressItems[0]), kProgressItems,
};

namespace {

const OsResourceEntry kEntries[] = {
    {IDD_MAIN, OS_RT_DIALOG, &MainDialogTemplate, sizeof MainDialogTemplate},
    {IDD_PROGRESS, OS_RT_DIALOG, &ProgressDialogTemplate, sizeof ProgressDialogTemplate},
    {IDI_APP, OS_RT_GROUP_ICON, AppIconGroup, AppIconGroupSize},
    {1, OS_RT_ICON, AppIcon32, AppIcon32Size},
    {2, OS_RT_ICON, AppIcon16, AppIcon16Size},
};

}  // namespace

const OsResourceTable AppResources = {
    static_cast<int>(sizeof kEntries / sizeof kEntries[0]),
    kEntries,
};
