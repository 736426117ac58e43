// The main dialog and its system commands.
#pragma once
#include <cstdint>

#include "platform/types.h"

constexpr int TOOL_VERSION_MAJOR = 1;
constexpr int TOOL_VERSION_MINOR = 7;

// Message procedure of dialog 101.
intptr_t MainDialogProc(Window dialog, uint32_t message, uintptr_t wParam, intptr_t lParam);

// Flushes the local-machine registry hive and reports the result in a
// message box owned by owner (or none).
void SaveRegistry(Window owner);

// Sends the registry clear request and reports the result.
void ClearRegistry(Window owner);
