// Locale role: dates and times as the device formats them.
//
// The board has one locale, the system default (0x800): on Linux the
// process's LC_TIME environment. Pictures use the device's letters (date:
// d, dd, M, MM, MMM, y, yy, yyyy; time: h, hh, H, HH, m, mm, s, ss, t, tt;
// text in single quotes). Times are always given in 24-hour form, without
// a marker (OS_TIME_FORCE24HOURFORMAT, the only form the programs ask
// for). Both return the number of characters written, terminator included
// (with cch 0: the room needed, nothing written), or 0 on failure (another
// locale, an invalid date or time, no room, or OS_LOCALE_NOUSEROVERRIDE
// together with a picture of the caller's: that flag asks for the
// locale's own).
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
