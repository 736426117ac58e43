// Locale role of the Win32 backend: the texts of the system default locale
// for the rendering that both backends share (platform/common/locale.cpp),
// so that dates and times read as the Linux build's (see Win32LocaleTexts).
#include "platform/locale.h"

#include <windows.h>

#include <memory>
#include <string>

#include "platform/common/locale_texts.h"

namespace {

constexpr uint32_t kLocaleInvariant = 0x7F;
constexpr uint32_t kLocaleUserDefault = 0x400;
constexpr uint32_t kLocaleNeutral = 0x0;

const wchar_t* const kDays[] = {L"Sunday", L"Monday", L"Tuesday", L"Wednesday",
                                L"Thursday", L"Friday", L"Saturday"};
const wchar_t* const kMonths[] = {L"January", L"February", L"March", L"April",
                                  L"May", L"June", L"July", L"August",
                                  L"September", L"October", L"November", L"December"};

// The texts of the system default locale that the pictures use: the day
// and month names and the time markers come from Windows
// (GetLocaleInfoW); the locale's own pictures are the ones the Linux
// build's default (C) locale gives, "HH:mm:ss" and "MM/dd/yy", so that both
// builds show the same texts. (Windows' own time format with
// TIME_FORCE24HOURFORMAT is not used: Wine renders "14:30:00 PM" with it.)
class Win32LocaleTexts final : public LocaleTexts {
public:
    explicit Win32LocaleTexts(uint32_t lcid) : lcid_(lcid) {}

    std::wstring DayName(unsigned dayOfWeek, bool abbreviated) const override
    {
        // Windows counts days from Monday (name 1) to Sunday (name 7).
        const LCTYPE first = abbreviated ? LOCALE_SABBREVDAYNAME1 : LOCALE_SDAYNAME1;
        const std::wstring name = kDays[dayOfWeek];
        return Info(LCTYPE(first + (dayOfWeek + 6) % 7), abbreviated ? name.substr(0, 3) : name);
    }
    std::wstring MonthName(unsigned month, bool abbreviated) const override
    {
        const LCTYPE first = abbreviated ? LOCALE_SABBREVMONTHNAME1 : LOCALE_SMONTHNAME1;
        const std::wstring name = kMonths[month - 1];
        return Info(LCTYPE(first + month - 1), abbreviated ? name.substr(0, 3) : name);
    }
    std::wstring TimeMarker(bool pm) const override
    {
        return pm ? Info(LOCALE_S2359, L"PM") : Info(LOCALE_S1159, L"AM");
    }
    std::wstring TimeFormat(bool twelveHour) const override
    {
        return twelveHour ? L"%I:%M:%S %p" : L"%H:%M:%S";
    }
    std::wstring DateFormat() const override { return L"%m/%d/%y"; }

private:
    // The invariant locale's names are the C locale's.
    std::wstring Info(LCTYPE type, const std::wstring& invariant) const
    {
        if (lcid_ == kLocaleInvariant)
            return invariant;
        wchar_t buf[128];
        int n = GetLocaleInfoW(LOCALE_SYSTEM_DEFAULT, type, buf, int(sizeof buf / sizeof buf[0]));
        if (n <= 1)
            return invariant;
        return std::wstring(buf, size_t(n - 1));
    }

    uint32_t lcid_;
};

}  // namespace

std::unique_ptr<LocaleTexts> OsOpenLocaleTexts(uint32_t lcid)
{
    if (lcid == kLocaleInvariant)
        return std::make_unique<Win32LocaleTexts>(kLocaleInvariant);
    if (lcid != OS_LOCALE_SYSTEM_DEFAULT && lcid != kLocaleUserDefault && lcid != kLocaleNeutral)
        return nullptr;   // no other locale is installed on the board
    return std::make_unique<Win32LocaleTexts>(OS_LOCALE_SYSTEM_DEFAULT);
}

SystemTime OsLocalTimeNow()
{
    SYSTEMTIME now;
    GetLocalTime(&now);
    SystemTime t{};
    t.year = now.wYear;
    t.month = now.wMonth;
    t.dayOfWeek = now.wDayOfWeek;
    t.day = now.wDay;
    t.hour = now.wHour;
    t.minute = now.wMinute;
    t.second = now.wSecond;
    return t;
}
