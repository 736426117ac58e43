// What a presenter shows of a dialog: its caption and its controls as they
// stand, copied out of the window model (or, for drive.exe, read from the
// real windows). Plain values, no locks.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

enum class UiControlKind { Button, Static, Progress, Other };

struct UiControlView {
    int id = 0;
    UiControlKind kind = UiControlKind::Other;
    std::wstring text;
    int32_t rangeLow = 0, rangeHigh = 100, pos = 0;
    short x = 0, y = 0, cx = 0, cy = 0;
    bool rangeSet = false;   // a bar whose range was never set shows empty, without numbers
    bool operator==(const UiControlView&) const = default;
};

struct UiDialogView {
    std::wstring caption;
    std::vector<UiControlView> controls;
    bool ended = false;
    uint64_t version = 0;
};

// A bar's position as a whole percentage of its range, 0 to 100.
inline int UiPercent(const UiControlView& bar)
{
    if (bar.rangeHigh <= bar.rangeLow)
        return 0;
    int64_t p = (static_cast<int64_t>(bar.pos) - bar.rangeLow) * 100 /
                (static_cast<int64_t>(bar.rangeHigh) - bar.rangeLow);
    return static_cast<int>(p < 0 ? 0 : p > 100 ? 100 : p);
}
