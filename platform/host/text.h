// Host-side text: wide device text as the host's UTF-8.
#pragma once
#include <cstddef>

// UTF-8 of a wide text (for host paths and the line protocol); a surrogate
// pair is one character. Never cuts a character; always terminated.
size_t OsNarrowUtf8(const wchar_t* wide, char* out, size_t cap);
