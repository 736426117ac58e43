// The main dialog and its system commands.
#pragma once
#include <cstdint>

#include "platform/types.h"

constexpr int TOOL_VERSION_MAJOR = 1;
constexpr int TOOL_VERSION_MINOR = 7;

// Message procedure of dialog 101.
intptr_t MainDialogProc(Window dialog, uint32_t message, uintptr_t wParam, intptr_t lParam);
