// Locale role on Linux: month names and time pictures of LC_TIME.
#include <langinfo.h>
#include <locale.h>

#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <string>

#include "platform/common/locale_texts.h"

namespace {

const char* EnvironmentLocaleName()
{
    static const char* const vars[] = {"LC_ALL", "LC_TIME", "LANG"};
    for (const char* var : vars) {
        const char* value = std::getenv(var);
        if (value != nullptr && value[0] != '\0')
            return value;
    }
    return "C";
}

// Decodes with the calling thread's locale; a byte that does not decode is
// kept as its own code point.
std::wstring Widen(const char* text)
{
    std::wstring out;
    if (text == nullptr)
        return out;
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
    return out;
}

}  // namespace

bool OsLoadLocaleTexts(LocaleTexts& out)
{
    // The character type goes with the time names: they decode in its code set.
    const int mask = LC_TIME_MASK | LC_CTYPE_MASK;
    locale_t loc = newlocale(mask, EnvironmentLocaleName(), (locale_t)0);
    if (loc == (locale_t)0)
        loc = newlocale(mask, "C", (locale_t)0);
    if (loc == (locale_t)0)
        return false;
    const locale_t previous = uselocale(loc);
    auto text = [loc](int item) { return Widen(nl_langinfo_l((nl_item)item, loc)); };
    for (int i = 0; i < 12; ++i)
        out.abbreviatedMonths[i] = text(ABMON_1 + i);
    out.timeFormat = text(T_FMT);
    out.twelveHourFormat = text(T_FMT_AMPM);
    uselocale(previous);
    freelocale(loc);
    return true;
}
