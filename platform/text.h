// Runtime text routines that depend on the system: bounded wide formatting
// and widening through the device's narrow code page. Wide text is UTF-16
// code units (surrogate pairs beyond U+FFFF) whatever the width of wchar_t.
#pragma once
#include <cstddef>

// swprintf into buf of cap characters, ISO specifiers (%ls wide string, %s
// narrow string). Never writes past cap; the text is always terminated.
// Returns the number of characters written (without terminator), or -1
// when the text did not fit (buf then holds a cut, terminated text) or the
// format failed.
int OsFormat(wchar_t* buf, size_t cap, const wchar_t* format, ...);

// Widens narrow text (up to its terminator) through the device's narrow
// code page (the board's setting "codepage", 1252 by default, never the
// host's locale). Writes at most cap-1 units and a terminator, never half
// a surrogate pair. Returns the units written.
size_t OsWiden(const char* narrow, wchar_t* out, size_t cap);
