// The device's file searches and file times, the same for both backends
// (see file_search.h).
#include "platform/common/file_search.h"

#include <cwctype>

#include "platform/sync.h"

wchar_t OsFoldName(wchar_t c)
{
    if (c >= L'A' && c <= L'Z')
        return static_cast<wchar_t>(c + (L'a' - L'A'));
    return c < 0x80 ? c : static_cast<wchar_t>(towlower(static_cast<wint_t>(c)));
}

bool OsWildcardMatch(const wchar_t* pattern, const wchar_t* name)
{
    if (wcscmp(pattern, L"*.*") == 0)
        return true;
    const wchar_t* starP = nullptr;
    const wchar_t* starN = nullptr;
    while (*name != 0) {
        if (*pattern == L'*') {
            starP = ++pattern;
            starN = name;
        } else if (*pattern == L'?' ||
                   (*pattern != 0 && OsFoldName(*pattern) == OsFoldName(*name))) {
            ++pattern;
            ++name;
        } else if (starP != nullptr) {
            pattern = starP;
            name = ++starN;
        } else {
            return false;
        }
    }
    while (*pattern == L'*')
        ++pattern;
    return *pattern == 0;
}

int OsFindNextFile(Handle search, OsFindData* data)
{
    OsObjectRef ref = OsObjectFromHandle(search);
    auto* object = ref.as<OsSearchObject>();
    // A program being ended finds nothing more.
    if (object == nullptr || data == nullptr || OsTerminationRequested())
        return 0;
    return object->Fill(data) ? 1 : 0;
}

int OsFindClose(Handle search)
{
    if (OsObjectFromHandle(search).as<OsSearchObject>() == nullptr)
        return 0;
    return OsCloseHandle(search);
}

int OsFileTimeToSystemTime(const FileTime* ft, SystemTime* st)
{
    if (ft == nullptr || st == nullptr)
        return 0;
    const uint64_t units = *ft;
    const uint64_t totalSeconds = units / 10000000u;
    const int64_t days = static_cast<int64_t>(totalSeconds / 86400u);
    const uint64_t secondOfDay = totalSeconds % 86400u;

    // Civil date from a day count (proleptic Gregorian), counted from
    // 1 March 0000 so that the leap day is the last day of a year.
    constexpr int64_t kDaysFromYear0ToJan1601 = 584694;  // 0000-03-01 to 1601-01-01
    int64_t z = days + kDaysFromYear0ToJan1601;
    int64_t era = z / 146097;
    int64_t dayOfEra = z - era * 146097;
    int64_t yearOfEra = (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
    int64_t dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
    int64_t mp = (5 * dayOfYear + 2) / 153;
    int64_t day = dayOfYear - (153 * mp + 2) / 5 + 1;
    int64_t month = mp < 10 ? mp + 3 : mp - 9;
    int64_t year = yearOfEra + era * 400 + (month <= 2 ? 1 : 0);
    if (year > 30827)
        return 0;

    st->year = static_cast<uint16_t>(year);
    st->month = static_cast<uint16_t>(month);
    st->day = static_cast<uint16_t>(day);
    st->dayOfWeek = static_cast<uint16_t>((days + 1) % 7);  // 1 January 1601 was a Monday
    st->hour = static_cast<uint16_t>(secondOfDay / 3600u);
    st->minute = static_cast<uint16_t>(secondOfDay / 60u % 60u);
    st->second = static_cast<uint16_t>(secondOfDay % 60u);
    st->milliseconds = static_cast<uint16_t>(units / 10000u % 1000u);
    return 1;
}
