// The texts of a locale that the device's date and time pictures are
// rendered with. The rendering (platform/common/locale.cpp) is the same for
// both backends, so that both builds show the same dates and times; each
// backend says only where the texts come from.
#pragma once
#include <memory>
#include <string>

#include "platform/types.h"

class LocaleTexts {
public:
    virtual ~LocaleTexts() = default;
    // dayOfWeek 0 = Sunday .. 6 = Saturday.
    virtual std::wstring DayName(unsigned dayOfWeek, bool abbreviated) const = 0;
    // month 1 = January .. 12 = December.
    virtual std::wstring MonthName(unsigned month, bool abbreviated) const = 0;
    virtual std::wstring TimeMarker(bool pm) const = 0;
    // The locale's own pictures in strftime's notation ("%H:%M:%S"): its
    // time (twelveHour: its 12-hour time, %r) and its date.
    virtual std::wstring TimeFormat(bool twelveHour) const = 0;
    virtual std::wstring DateFormat() const = 0;
};

// Provided by each backend. The texts of a locale id, or nullptr when no
// such locale is installed on the board.
std::unique_ptr<LocaleTexts> OsOpenLocaleTexts(uint32_t lcid);
// The local wall-clock time (for a call without a date or time).
SystemTime OsLocalTimeNow();
