// Host-side controls of the files role, for the board's tools, the
// backends and the tests (the programs know device paths only).
#pragma once
#include <cstddef>

// The host path for a path (device or host) into out (cap bytes, UTF-8).
// 1 = done, 0 = does not fit or escapes the device root. Does not test
// whether the file exists; device components are matched to existing host
// names without regard to letter case.
int OsHostPath(const wchar_t* path, char* out, size_t cap);
