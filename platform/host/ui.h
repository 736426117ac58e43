// The user-interface role's host-side reads: what tests and tools read back
// of a dialog that the programs themselves never ask for.
#pragma once
#include "platform/types.h"

// Reads a control's text into out (cap characters, terminated). Returns
// the length, 0 when empty or no such control.
int OsGetDlgItemText(Window dialog, int id, wchar_t* out, int cap);
