// Locale role on Linux: the month and day names, time markers and pictures
// of the process's LC_TIME environment (the system default locale), for the
// rendering that both backends share (platform/common/locale.cpp).
#include "platform/locale.h"

#include <langinfo.h>
#include <locale.h>
#include <time.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <cwchar>
#include <string>

#include "platform/common/locale_texts.h"

namespace {

constexpr uint32_t LOCALE_INVARIANT = 0x7F;
constexpr uint32_t LOCALE_USER_DEFAULT = 0x400;
constexpr uint32_t LOCALE_NEUTRAL = 0x0;

// The locale whose names and pictures a call uses, freed on every path.
class LocaleScope final : public LocaleTexts {
public:
    explicit LocaleScope(uint32_t lcid)
    {
        const char* name = "C";
        if (lcid != LOCALE_INVARIANT) {
            if (lcid != OS_LOCALE_SYSTEM_DEFAULT && lcid != LOCALE_USER_DEFAULT &&
                lcid != LOCALE_NEUTRAL)
                return;   // no other locale is installed on the board
            name = EnvironmentLocaleName();
        }
        // The character type goes with the time names so that their bytes
        // decode in the locale's own code set.
        loc_ = newlocale(LC_TIME_MASK | LC_CTYPE_MASK, name, (locale_t)0);
        if (loc_ == (locale_t)0)
            loc_ = newlocale(LC_TIME_MASK | LC_CTYPE_MASK, "C", (locale_t)0);
    }
    ~LocaleScope() override
    {
        if (loc_ != (locale_t)0)
            freelocale(loc_);
    }
    LocaleScope(const LocaleScope&) = delete;
    LocaleScope& operator=(const LocaleScope&) = delete;

    bool valid() const { return loc_ != (locale_t)0; }

    std::wstring DayName(unsigned dayOfWeek, bool abbreviated) const override
    {
        return Text((nl_item)((abbreviated ? ABDAY_1 : DAY_1) + (int)dayOfWeek));
    }
    std::wstring MonthName(unsigned month, bool abbreviated) const override
    {
        return Text((nl_item)((abbreviated ? ABMON_1 : MON_1) + (int)(month - 1)));
    }
    std::wstring TimeMarker(bool pm) const override { return Text(pm ? PM_STR : AM_STR); }
    std::wstring TimeFormat(bool twelveHour) const override
    {
        return Text(twelveHour ? T_FMT_AMPM : T_FMT);
    }
    std::wstring DateFormat() const override { return Text(D_FMT); }

private:
    // A text of the locale's time category, widened.
    std::wstring Text(nl_item item) const { return Widen(nl_langinfo_l(item, loc_)); }

    static const char* EnvironmentLocaleName()
    {
        static const char* const vars[] = {"LC_ALL", "LC_TIME", "LANG"};
        for (const char* var : vars) {
            const char* value = std::getenv(var);
            if (value != nullptr && value[0] != '\0')
                return value;
        }
        return "C";
    }

    // Decodes with the locale's code set; a byte that does not decode is
    // kept as its own code point, so that nothing is lost.
    std::wstring Widen(const char* text) const
    {
        std::wstring out;
        if (text == nullptr)
            return out;
        locale_t previous = uselocale(loc_);
        std::mbstate_t state{};
        size_t left = std::strlen(text);
        const char* p = text;
        while (left > 0) {
            wchar_t wc = 0;
            size_t used = std::mbrtowc(&wc, p, left, &state);
            if (used == (size_t)-1 || used == (size_t)-2 || used == 0) {
                out.push_back((wchar_t)(unsigned char)*p);
                used = 1;
                state = std::mbstate_t{};
            } else {
                out.push_back(wc);
            }
            p += used;
            left -= used;
        }
        uselocale(previous);
        return out;
    }

    locale_t loc_ = (locale_t)0;
};

}  // namespace

std::unique_ptr<LocaleTexts> OsOpenLocaleTexts(uint32_t lcid)
{
    auto loc = std::make_unique<LocaleScope>(lcid);
    if (!loc->valid())
        return nullptr;
    return loc;
}

SystemTime OsLocalTimeNow()
{
    time_t now = time(nullptr);
    struct tm parts{};
    localtime_r(&now, &parts);
    SystemTime t{};
    t.year = (uint16_t)(parts.tm_year + 1900);
    t.month = (uint16_t)(parts.tm_mon + 1);
    t.dayOfWeek = (uint16_t)parts.tm_wday;
    t.day = (uint16_t)parts.tm_mday;
    t.hour = (uint16_t)parts.tm_hour;
    t.minute = (uint16_t)parts.tm_min;
    t.second = (uint16_t)parts.tm_sec;
    return t;
}
