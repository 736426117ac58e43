// The progress dialog (template 102): chooses the image file when none is
// given, starts the update worker and turns Abort into AbortRequested.
#pragma once
#include <cstdint>

#include "platform/types.h"

// The dialog's message procedure.
intptr_t ProgressDialogProc(Window dialog, uint32_t message, uintptr_t wParam, intptr_t lParam);
