// The progress dialog: hosts one image update.
#include "update/progress_dialog.h"

#include <cstring>

#include "platform/sync.h"
#include "platform/ui.h"
#include "resources/resources.h"
#include "update/globals.h"
#include "update/image_update.h"

namespace {

constexpr uint32_t CHOOSER_RECORD_SIZE = 76;   // the record's size on the device

// "IMAGE files", "*.bin", and the empty text that ends the list.
const wchar_t IMAGE_FILTER[] = L"IMAGE files\0*.bin\0";

void StartWorker(Window dialog)
{
    Handle worker = OsCreateThread(ImageUpdateWorker, dialog);
    if (worker)
        OsCloseHandle(worker);   // nothing waits for it: the worker ends the dialog itself
}

intptr_t OnInitDialog(Window dialog)
{
    if (ImagePath[0] != 0) {
        // "/u" gave the path: no question, the update starts at once.
        StartWorker(dialog);
        return 1;
    }
    OsOpenFileName chooser;
    memset(&chooser, 0, sizeof chooser);
    chooser.structSize = CHOOSER_RECORD_SIZE;
    chooser.owner = dialog;
    chooser.filter = IMAGE_FILTER;
    chooser.filterIndex = 1;
    chooser.file = ImagePath;
    chooser.maxFile = IMAGE_PATH_CHARS;
    chooser.initialDir = L"\\";
    chooser.flags = OS_OFN_PATHMUSTEXIST | OS_OFN_FILEMUSTEXIST;
    if (!OsGetOpenFileName(&chooser)) {
        OsEndDialog(dialog, 0);
        return 0;
    }
    AbortRequested = 0;
    StartWorker(dialog);
    return 1;
}

}  // namespace

intptr_t ProgressDialogProc(Window dialog, uint32_t message, uintptr_t wParam, intptr_t)
{
    switch (message) {
    case OS_WM_INITDIALOG:
        return OnInitDialog(dialog);
    case OS_WM_COMMAND:
        // Abort (and closing the dialog) only raise the flag: the worker
        // stops at its next test and ends the dialog itself.
        if (static_cast<int>(wParam & 0xFFFF) == IDC_ABORT)
            AbortRequested = 1;
        return 1;
    default:
        return 0;
    }
}
