// Locale role of the Win32 backend: month names from Windows; the time
// pictures are the C locale's, as the Linux build's default gives them
// (Wine renders "14:30:00 PM" with TIME_FORCE24HOURFORMAT).
#include <windows.h>

#include <string>

#include "platform/common/locale_texts.h"

bool OsLoadLocaleTexts(LocaleTexts& out)
{
    for (unsigned i = 0; i < 12; ++i) {
        wchar_t buf[128];
        int n = GetLocaleInfoW(LOCALE_SYSTEM_DEFAULT, LCTYPE(LOCALE_SABBREVMONTHNAME1 + i), buf,
                               int(sizeof buf / sizeof buf[0]));
        if (n <= 1)
            return false;
        out.abbreviatedMonths[i] = std::wstring(buf, size_t(n - 1));
    }
    out.timeFormat = L"%H:%M:%S";
    out.twelveHourFormat = L"%I:%M:%S %p";
    return true;
}
