// flashupdate's entry and its command line.
#pragma once
#include <cstdint>

#include "platform/types.h"

// The entry: instance, previous instance, command line, show state.
// Returns 1 on every path.
int FlashUpdateMain(Instance instance, Instance previous, wchar_t* commandLine, int show);

// The restart delay of "/r" and "/rc": leading white space, an optional
// sign, decimal digits. Text without leading digits and negative values
// give 0; values beyond the signed 32-bit range give its largest value.
uint32_t ParseRestartDelay(const wchar_t* text);
