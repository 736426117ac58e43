// The texts of a locale that the device's date and time pictures are
// rendered with (common/locale.cpp); each backend says where they come from.
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
