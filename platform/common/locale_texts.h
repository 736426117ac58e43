// The texts of a locale that the device's date and time pictures are
// rendered with. The rendering (platform/common/locale.cpp) is the same for
// both backends, so that both builds show the same dates and times; each
// backend says only where the texts come from.
#pragma once
#include <string>

struct LocaleTexts {
    std::wstring abbreviatedMonths[12];  // January first
    // The locale's own time pictures in strftime's notation ("%H:%M:%S"):
    // its time (T_FMT) and its 12-hour time (%r).
    std::wstring timeFormat, twelveHourFormat;
};

// Provided by each backend: the texts of the system default locale. false
// when they cannot be had.
bool OsLoadLocaleTexts(LocaleTexts& out);
