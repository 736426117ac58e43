// Locale role: dates and times as the device formats them.
//
// The board has one locale, the system default (0x800; on Linux LC_TIME).
// Pictures use the device's letters (d M y; h H m s t; text in single
// quotes); times are always 24-hour, without a marker. Both return the
// characters written, terminator included (cch 0: the room needed), or 0
// on failure (another locale, an invalid date or time, no room, or
// OS_LOCALE_NOUSEROVERRIDE together with a picture of the caller's).
#pragma once
#include "platform/types.h"

constexpr uint32_t OS_LOCALE_SYSTEM_DEFAULT = 0x800;
constexpr uint32_t OS_TIME_FORCE24HOURFORMAT = 0x8;
constexpr uint32_t OS_LOCALE_NOUSEROVERRIDE = 0x80000000u;

int OsGetDateFormat(uint32_t locale, uint32_t flags, const SystemTime* date,
                    const wchar_t* picture, wchar_t* out, int cch);
// picture nullptr: the locale's own time picture.
int OsGetTimeFormat(uint32_t locale, uint32_t flags, const SystemTime* time,
                    const wchar_t* picture, wchar_t* out, int cch);
