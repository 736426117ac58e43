// Locale role, the same for both backends: the device's date and time
// pictures rendered with a locale's texts (the backend's LocaleTexts).
#include "platform/locale.h"

#include <cwchar>
#include <string>

#include "platform/common/locale_texts.h"

namespace {

// How deep %X / %r may refer to one another in a locale's pictures.
constexpr int kMaxPictureDepth = 3;

// Literal text inside a picture: quoted when it holds letters or quotes, so
// that it cannot be read as picture letters.
void AppendLiteral(std::wstring& picture, const std::wstring& literal)
{
    bool quote = false;
    for (wchar_t c : literal)
        if ((c >= L'a' && c <= L'z') || (c >= L'A' && c <= L'Z') || c == L'\'')
            quote = true;
    if (!quote) {
        picture += literal;
        return;
    }
    picture += L'\'';
    for (wchar_t c : literal) {
        if (c == L'\'')
            picture += L'\'';
        picture += c;
    }
    picture += L'\'';
}

// Converts a locale's strftime time picture (T_FMT) into the device's
// picture letters. Directives without a picture equivalent are left out.
std::wstring PictureFromStrftime(const LocaleTexts& loc, const std::wstring& fmt, int depth)
{
    std::wstring picture;
    std::wstring literal;
    for (size_t i = 0; i < fmt.size(); ++i) {
        wchar_t c = fmt[i];
        if (c != L'%' || i + 1 >= fmt.size()) {
            literal += c;
            continue;
        }
        wchar_t d = fmt[++i];
        // Flags, widths and the E/O modifiers change nothing here.
        while ((d == L'E' || d == L'O' || d == L'_' || d == L'-' || d == L'0' || d == L'^' ||
                d == L'#' || (d >= L'1' && d <= L'9')) &&
               i + 1 < fmt.size())
            d = fmt[++i];
        std::wstring piece;
        bool known = true;
        switch (d) {
        case L'%': literal += L'%'; continue;
        case L'n': literal += L'\n'; continue;
        case L't': literal += L'\t'; continue;
        case L'H': piece = L"HH"; break;
        case L'k': piece = L"H"; break;
        case L'I': piece = L"hh"; break;
        case L'l': piece = L"h"; break;
        case L'M': piece = L"mm"; break;
        case L'S': piece = L"ss"; break;
        case L'p':
        case L'P': piece = L"tt"; break;
        case L'R': piece = L"HH:mm"; break;
        case L'T': piece = L"HH:mm:ss"; break;
        case L'r':
        case L'X':
            known = depth < kMaxPictureDepth;
            if (known)
                piece = PictureFromStrftime(loc, d == L'r' ? loc.twelveHourFormat : loc.timeFormat,
                                            depth + 1);
            break;
        default: known = false; break;
        }
        if (known) {
            AppendLiteral(picture, literal);
            literal.clear();
            picture += piece;
        }
    }
    AppendLiteral(picture, literal);
    return picture;
}

// The range of dates that the device's calendar time can express.
bool ValidDate(const SystemTime& t)
{
    static const unsigned days[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    if (t.year < 1601 || t.year > 30827 || t.month < 1 || t.month > 12)
        return false;
    const bool leap = (t.year % 4 == 0 && t.year % 100 != 0) || t.year % 400 == 0;
    return t.day >= 1 && t.day <= days[t.month - 1] + (leap && t.month == 2 ? 1u : 0u);
}

bool ValidTime(const SystemTime& t)
{
    return t.hour < 24 && t.minute < 60 && t.second < 60 && t.milliseconds < 1000;
}

void AppendNumber(std::wstring& out, unsigned value, size_t minDigits)
{
    const std::wstring digits = std::to_wstring(value);
    if (digits.size() < minDigits)
        out.append(minDigits - digits.size(), L'0');
    out += digits;
}

// Renders a picture. Date letters: d M y; time letters: h H m s t, always
// in 24-hour form. Letters of the other kind, and everything else, are
// copied; 'text' is copied without its quotes, and '' is one quote.
std::wstring RenderPicture(const LocaleTexts& loc, const wchar_t* picture, const SystemTime& t,
                           bool date)
{
    std::wstring out;
    bool skipBlanks = false;   // after a dropped time marker
    for (size_t i = 0; picture[i] != L'\0';) {
        wchar_t c = picture[i];
        if (c == L'\'' && picture[i + 1] == L'\'') {
            out += L'\'';
            i += 2;
            continue;
        }
        if (c == L'\'') {
            ++i;
            while (picture[i] != L'\0') {
                if (picture[i] == L'\'') {
                    if (picture[i + 1] == L'\'') {
                        out += L'\'';
                        i += 2;
                        continue;
                    }
                    ++i;
                    break;
                }
                out += picture[i++];
            }
            skipBlanks = false;
            continue;
        }
        size_t run = 1;
        while (picture[i + run] == c)
            ++run;
        bool letter = date ? (c == L'd' || c == L'M' || c == L'y')
                           : (c == L'h' || c == L'H' || c == L'm' || c == L's' || c == L't');
        if (!letter) {
            if (!(skipBlanks && c == L' '))
                out.append(run, c);
            i += run;
            continue;
        }
        skipBlanks = false;
        i += run;
        const size_t digits = run >= 2 ? 2 : 1;
        switch (c) {
        case L'd': AppendNumber(out, t.day, digits); break;
        case L'M':
            if (run <= 2)
                AppendNumber(out, t.month, digits);
            else
                out += loc.abbreviatedMonths[t.month - 1];
            break;
        case L'y':
            if (run <= 2)
                AppendNumber(out, t.year % 100, digits);
            else
                AppendNumber(out, t.year, 4);
            break;
        case L'h':
        case L'H': AppendNumber(out, t.hour, digits); break;
        case L'm': AppendNumber(out, t.minute, digits); break;
        case L's': AppendNumber(out, t.second, digits); break;
        case L't':
            // A 24-hour time has no marker: drop it and the blanks that
            // separated it from the time.
            while (!out.empty() && out.back() == L' ')
                out.pop_back();
            skipBlanks = true;
            break;
        default: break;
        }
    }
    if (skipBlanks)
        while (!out.empty() && out.back() == L' ')
            out.pop_back();
    return out;
}

// The device's result convention: characters written with the terminator;
// with cch 0 the room needed; 0 when it does not fit (out untouched).
int Deliver(const std::wstring& text, wchar_t* out, int cch)
{
    int needed = (int)text.size() + 1;
    if (cch == 0)
        return needed;
    if (out == nullptr || cch < 0 || needed > cch)
        return 0;
    std::wmemcpy(out, text.c_str(), text.size() + 1);
    return needed;
}

// Both calls: the picture's letters of one kind filled from when. Only a
// time may go without a picture: it then takes the locale's own.
int Format(uint32_t locale, uint32_t flags, const SystemTime* when, const wchar_t* picture,
           wchar_t* out, int cch, bool date)
{
    if (picture != nullptr && (flags & OS_LOCALE_NOUSEROVERRIDE) != 0)
        return 0;   // the locale's own picture only, as on the device
    if (when == nullptr || (date && picture == nullptr))
        return 0;
    if (locale != OS_LOCALE_SYSTEM_DEFAULT)
        return 0;   // no other locale is installed on the board
    LocaleTexts loc;
    if (!OsLoadLocaleTexts(loc) || (date ? !ValidDate(*when) : !ValidTime(*when)))
        return 0;
    std::wstring own;
    if (picture == nullptr) {
        own = PictureFromStrftime(loc, loc.timeFormat, 0);
        if (own.empty())
            own = L"HH:mm:ss";
        picture = own.c_str();
    }
    return Deliver(RenderPicture(loc, picture, *when, date), out, cch);
}

}  // namespace

int OsGetDateFormat(uint32_t locale, uint32_t flags, const SystemTime* date,
                    const wchar_t* picture, wchar_t* out, int cch)
{
    return Format(locale, flags, date, picture, out, cch, true);
}

int OsGetTimeFormat(uint32_t locale, uint32_t flags, const SystemTime* time,
                    const wchar_t* picture, wchar_t* out, int cch)
{
    return Format(locale, flags, time, picture, out, cch, false);
}
