// Locale role of the Win32 backend: the texts of the system default locale
// for the rendering that both backends share (platform/common/locale.cpp).
// The day and month names and the time markers come from Windows
// (GetLocaleInfoW); the locale's own time pictures are the ones the Linux
// build's default (C) locale gives, so that both builds show the same
// texts. (Windows' own time format with TIME_FORCE24HOURFORMAT is not used:
// Wine renders "14:30:00 PM" with it.)
#include <windows.h>

#include <string>

#include "platform/common/locale_texts.h"

namespace {

const wchar_t* const kDays[] = {L"Sunday", L"Monday", L"Tuesday", L"Wednesday",
                                L"Thursday", L"Friday", L"Saturday"};
const wchar_t* const kMonths[] = {L"January", L"February", L"March", L"April",
                                  L"May", L"June", L"July", L"August",
                                  L"September", L"October", L"November", L"December"};

}  // namespace

bool OsLoadLocaleTexts(bool invariant, LocaleTexts& out)
{
    // The invariant locale's names are the C locale's.
    auto info = [invariant](LCTYPE type, const std::wstring& cName) {
        if (invariant)
            return cName;
        wchar_t buf[128];
        int n = GetLocaleInfoW(LOCALE_SYSTEM_DEFAULT, type, buf, int(sizeof buf / sizeof buf[0]));
        return n <= 1 ? cName : std::wstring(buf, size_t(n - 1));
    };
    for (unsigned i = 0; i < 7; ++i) {
        // Windows counts days from Monday (name 1) to Sunday (name 7).
        const std::wstring name = kDays[i];
        out.days[i] = info(LCTYPE(LOCALE_SDAYNAME1 + (i + 6) % 7), name);
        out.abbreviatedDays[i] = info(LCTYPE(LOCALE_SABBREVDAYNAME1 + (i + 6) % 7), name.substr(0, 3));
    }
    for (unsigned i = 0; i < 12; ++i) {
        const std::wstring name = kMonths[i];
        out.months[i] = info(LCTYPE(LOCALE_SMONTHNAME1 + i), name);
        out.abbreviatedMonths[i] = info(LCTYPE(LOCALE_SABBREVMONTHNAME1 + i), name.substr(0, 3));
    }
    out.am = info(LOCALE_S1159, L"AM");
    out.pm = info(LOCALE_S2359, L"PM");
    out.timeFormat = L"%H:%M:%S";
    out.twelveHourFormat = L"%I:%M:%S %p";
    return true;
}
