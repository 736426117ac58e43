// The version report: bootloader identification from a copy of the first
// 128 KB of the flash, running-image identification from the HAL and the
// image's own file, and the message that shows both.
#include "version/bsp_version.h"

#include <cstring>
#include <cwchar>
#include <new>

#include "device/rom_image.h"
#include "flash/flash_access.h"
#include "platform/files.h"
#include "platform/hal.h"
#include "platform/locale.h"
#include "platform/mmio.h"
#include "platform/sync.h"
#include "platform/text.h"
#include "platform/ui.h"

const char* const MonthNames[12] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                    "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

namespace {

const char BANNER[] = "Microsoft Windows CE Ethernet Bootloader ";
const char KERNEL_MODULE[] = "nk.exe";
const wchar_t IMAGE_DATE_FILE[] = L"\\windows\\default.fdf";
const wchar_t UNKNOWN_DATE[] = L"Unknown Date";

// The month-name field of the banner: three characters and a terminator.
constexpr size_t MONTH_FIELD_CHARS = 4;

uint32_t Read32(const uint8_t* window, uint32_t offset)
{
    const uint8_t* p = window + offset;
    return (uint32_t)p[0] | ((uint32_t)p[1] << 8) | ((uint32_t)p[2] << 16) | ((uint32_t)p[3] << 24);
}

uint64_t Read64(const uint8_t* window, uint32_t offset)
{
    return (uint64_t)Read32(window, offset) | ((uint64_t)Read32(window, offset + 4) << 32);
}

// Whether the bytes [offset, offset + size) lie inside the window.
bool Inside(uint64_t offset, uint64_t size)
{
    return offset <= VERSION_WINDOW_SIZE && size <= VERSION_WINDOW_SIZE - offset;
}

char LowerAscii(char c)
{
    return (c >= 'A' && c <= 'Z') ? (char)(c - 'A' + 'a') : c;
}

// Narrow comparison, letter case ignored (module and month names).
bool SameName(const char* a, const char* b)
{
    for (; *a != '\0' && *b != '\0'; ++a, ++b)
        if (LowerAscii(*a) != LowerAscii(*b))
            return false;
    return *a == *b;
}

// Whether the terminated name at offset equals name; a name that runs to
// the window's end without its terminator matches nothing.
bool NameAt(const uint8_t* window, uint32_t offset, const char* name)
{
    for (size_t k = 0;; ++k) {
        if (!Inside((uint64_t)offset + k, 1))
            return false;
        char c = (char)window[offset + k];
        if (LowerAscii(c) != LowerAscii(name[k]))
            return false;
        if (c == '\0')
            return true;
    }
}

void CopyText(wchar_t* out, size_t cap, const wchar_t* text)
{
    size_t n = std::wcslen(text);
    if (n >= cap)
        n = cap - 1;
    std::wmemcpy(out, text, n);
    out[n] = L'\0';
}

// ---- Bounded scanning of narrow text ---------------------------------------

// The text to scan: from p up to end or its first zero byte.
struct ScanInput {
    const uint8_t* p;
    const uint8_t* end;
    bool AtEnd() const { return p >= end || *p == 0; }
    char Peek() const { return (char)*p; }
};

bool IsBlank(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

void SkipBlanks(ScanInput& in)
{
    while (!in.AtEnd() && IsBlank(in.Peek()))
        ++in.p;
}

// %d: optional blanks, optional sign, decimal digits. Values beyond 32 bits
// saturate instead of overflowing.
bool ScanNumber(ScanInput& in, int32_t* value)
{
    SkipBlanks(in);
    bool negative = false;
    if (!in.AtEnd() && (in.Peek() == '-' || in.Peek() == '+')) {
        negative = in.Peek() == '-';
        ++in.p;
    }
    if (in.AtEnd() || in.Peek() < '0' || in.Peek() > '9')
        return false;
    int64_t magnitude = 0;
    while (!in.AtEnd() && in.Peek() >= '0' && in.Peek() <= '9') {
        if (magnitude <= INT64_C(0x100000000))
            magnitude = magnitude * 10 + (in.Peek() - '0');
        ++in.p;
    }
    int64_t v = negative ? -magnitude : magnitude;
    if (v > INT32_MAX)
        v = INT32_MAX;
    if (v < INT32_MIN)
        v = INT32_MIN;
    *value = (int32_t)v;
    return true;
}

// %s into a field of cap bytes: the whole run of non-blanks is consumed; a
// run that does not fit leaves the field empty rather than cut, so that
// "Marzipan" is not taken for "Mar".
bool ScanWord(ScanInput& in, char* field, size_t cap)
{
    SkipBlanks(in);
    if (in.AtEnd())
        return false;
    const uint8_t* start = in.p;
    while (!in.AtEnd() && !IsBlank(in.Peek()))
        ++in.p;
    size_t n = (size_t)(in.p - start);
    if (n < cap) {
        std::memcpy(field, start, n);
        field[n] = '\0';
    } else {
        field[0] = '\0';
    }
    return true;
}

// The text after the banner: "%d.%d for Malvint Kavrani Built %s %d %d".
// Stops at the first mismatch; fields after it keep their values.
void ScanBanner(ScanInput in, BuildVersion* record, char* month, int32_t* day, int32_t* year)
{
    static const char pattern[] = "%d.%d for Malvint Kavrani Built %s %d %d";
    int field = 0;
    for (const char* f = pattern; *f != '\0'; ++f) {
        if (*f == '%') {
            ++f;
            bool ok = true;
            int32_t number = 0;
            if (*f == 's') {
                ok = ScanWord(in, month, MONTH_FIELD_CHARS);
            } else {
                ok = ScanNumber(in, &number);
            }
            if (!ok)
                return;
            switch (field++) {
            case 0: record->major = number; break;
            case 1: record->minorAndBuild = (uint32_t)number; break;
            case 2: break;   // the month name
            case 3: *day = number; break;
            case 4: *year = number; break;
            default: break;
            }
        } else if (*f == ' ') {
            SkipBlanks(in);
        } else {
            if (in.AtEnd() || in.Peek() != *f)
                return;
            ++in.p;
        }
    }
}

// ---- The report ------------------------------------------------------------

// Appends one build's lines to the report, never past its capacity.
void AppendBuildLines(wchar_t* report, const wchar_t* format, const BuildVersion* record,
                      const wchar_t* dateText)
{
    wchar_t beta[BETA_TEXT_CHARS];
    beta[0] = L'\0';
    uint32_t build = record->minorAndBuild >> 16;
    if (build != 0)
        OsFormat(beta, BETA_TEXT_CHARS, L"BETA, Build %u", (unsigned)build);
    size_t used = std::wcslen(report);
    OsFormat(report + used, REPORT_CHARS - used, format,
             record->id == BOARD_FAMILY_ID ? L"KAVRANI" : L"UNKNOWN", (int)record->major,
             (int)(record->minorAndBuild & 0xFFFF), beta, dateText);
}

}  // namespace

int FindVersionBlock(const uint8_t* window, BuildVersion* record)
{
    for (uint32_t at = 0; Inside(at, 20); at += 4) {
        if (Read32(window, at) == VERSION_MARKER_HEAD && Read32(window, at + 16) == VERSION_MARKER_TAIL) {
            record->id = Read32(window, at + 4);
            record->major = (int32_t)Read32(window, at + 8);
            record->minorAndBuild = Read32(window, at + 12);
            return 1;
        }
    }
    return 0;
}

int FindText(const uint8_t* window, const char* text, uint32_t* after)
{
    size_t length = std::strlen(text);
    if (length == 0)
        return 0;
    size_t matched = 0;
    for (uint32_t at = 0; at < VERSION_WINDOW_SIZE; ++at) {
        char c = (char)window[at];
        if (c == text[matched])
            ++matched;
        else
            matched = (c == text[0]) ? 1 : 0;
        if (matched == length) {
            *after = at + 1;
            return 1;
        }
    }
    return 0;
}

int MonthFromName(const char* name)
{
    if (name == nullptr)
        return 0;
    for (int m = 0; m < 12; ++m)
        if (SameName(name, MonthNames[m]))
            return m + 1;
    return 0;
}

int FindRomHeader(const uint8_t* window, uint32_t* header, uint32_t* addressOffset)
{
    if (Read32(window, ROM_SIGNATURE_OFFSET) != ROM_SIGNATURE)
        return 0;
    uint32_t offsetWord = Read32(window, ROM_HEADER_POINTER_OFFSET);
    uint32_t at = offsetWord & ~3u;
    // The header's fields that are read must lie in the window.
    if (!Inside(at, ROMHDR_MODULE_COUNT + 4))
        return 0;
    uint32_t first = Read32(window, at + ROMHDR_FIRST_ADDRESS);
    // The header's address in the image space, less its offset word as it
    // stands, must be the image's first address; the low bits only go when
    // the header is located.
    if (Read32(window, ROM_HEADER_ADDRESS_OFFSET) - offsetWord != first)
        return 0;
    *header = at;
    *addressOffset = 0u - first;
    return 1;
}

void FormatBuildDate(const SystemTime* calendarTime, wchar_t* dateText)
{
    dateText[0] = L'\0';
    size_t used = 0;
    int n = OsGetDateFormat(OS_LOCALE_SYSTEM_DEFAULT, 0, calendarTime, L"dd MMM yyyy", dateText,
                            DATE_PART_CHARS);
    if (n > 0) {
        dateText[n - 1] = L' ';
        used = (size_t)n;
    }
    // The time gets what is left after the date and the closing " (GMT)".
    static const wchar_t gmt[] = L" (GMT)";
    size_t gmtChars = sizeof(gmt) / sizeof(gmt[0]);   // with the terminator
    size_t room = DATE_TEXT_CHARS - gmtChars - used;
    if (room > (size_t)DATE_PART_CHARS)
        room = DATE_PART_CHARS;
    int t = OsGetTimeFormat(OS_LOCALE_SYSTEM_DEFAULT,
                            OS_LOCALE_NOUSEROVERRIDE | OS_TIME_FORCE24HOURFORMAT, calendarTime,
                            nullptr, dateText + used, (int)room);
    if (t > 0) {
        used += (size_t)t - 1;
    } else if (used > 0) {
        --used;   // no time after the date: its space goes too
    }
    dateText[used] = L'\0';
    std::wmemcpy(dateText + used, gmt, gmtChars);
}

void IdentifyBootloader(const uint8_t* window, BuildVersion* record, wchar_t* dateText)
{
    SystemTime calendar{};
    if (FindVersionBlock(window, record)) {
        uint32_t header = 0;
        uint32_t addressOffset = 0;
        if (!FindRomHeader(window, &header, &addressOffset)) {
            CopyText(dateText, DATE_TEXT_CHARS, UNKNOWN_DATE);
            return;
        }
        uint32_t modules = Read32(window, header + ROMHDR_MODULE_COUNT);
        // A count that would lead the walk out of the window ends it there.
        for (uint64_t i = 0; i < modules; ++i) {
            uint64_t entry = header + ROMHDR_SIZE + i * ROM_TOC_ENTRY_SIZE;
            if (!Inside(entry, ROM_TOC_NAME_OFFSET + 4))
                break;
            uint32_t nameAt = Read32(window, (uint32_t)entry + ROM_TOC_NAME_OFFSET) + addressOffset;
            if (NameAt(window, nameAt, KERNEL_MODULE)) {
                FileTime fileTime = Read64(window, (uint32_t)entry + ROM_TOC_FILETIME_OFFSET);
                SystemTime converted{};
                if (OsFileTimeToSystemTime(&fileTime, &converted))
                    calendar = converted;
                break;
            }
        }
        FormatBuildDate(&calendar, dateText);
        return;
    }
    uint32_t after = 0;
    if (!FindText(window, BANNER, &after)) {
        FormatBuildDate(&calendar, dateText);
        return;
    }
    record->id = BOARD_FAMILY_ID;
    char month[MONTH_FIELD_CHARS] = "";
    int32_t day = 0;
    int32_t year = 0;
    ScanBanner(ScanInput{window + after, window + VERSION_WINDOW_SIZE}, record, month, &day, &year);
    calendar.year = (uint16_t)year;
    calendar.month = (uint16_t)MonthFromName(month);
    calendar.day = (uint16_t)day;
    FormatBuildDate(&calendar, dateText);
}

void IdentifyRunningImage(BuildVersion* record, wchar_t* dateText)
{
    // The HAL fills the record although the size says 0; its result is not
    // consulted (a silent HAL leaves the bootloader's values).
    OsHalRequest(HAL_IMAGE_VERSION, nullptr, 0, record, 0, nullptr);

    Handle file = OsCreateFile(IMAGE_DATE_FILE, OS_GENERIC_READ, 0, OS_OPEN_EXISTING, 0);
    if (file == OS_INVALID_HANDLE || file == nullptr) {
        CopyText(dateText, DATE_TEXT_CHARS, UNKNOWN_DATE);
        return;
    }
    FileTime created = 0;
    int known = OsGetFileTime(file, &created);
    OsCloseHandle(file);
    SystemTime calendar{};
    if (!known || !OsFileTimeToSystemTime(&created, &calendar)) {
        CopyText(dateText, DATE_TEXT_CHARS, UNKNOWN_DATE);
        return;
    }
    FormatBuildDate(&calendar, dateText);
}

void ShowBspVersion(Window owner)
{
    BuildVersion record = {0, 0, 0};
    wchar_t dateText[DATE_TEXT_CHARS];
    wchar_t report[REPORT_CHARS];
    dateText[0] = L'\0';
    report[0] = L'\0';

    Handle lock = LockFlash();
    uint8_t* window = MapFlashWindow(FLASH_WINDOW_BOOT);
    uint8_t* copy = window != nullptr ? new (std::nothrow) uint8_t[VERSION_WINDOW_SIZE] : nullptr;
    if (copy != nullptr) {
        // One pass of read-array data; no command goes to the flash.
        OsReadBulk(copy, window, VERSION_WINDOW_SIZE);
        IdentifyBootloader(copy, &record, dateText);
        delete[] copy;
    } else {
        // Nothing of the flash could be read: the bootloader stays unknown.
        CopyText(dateText, DATE_TEXT_CHARS, UNKNOWN_DATE);
    }
    AppendBuildLines(report, L"Bootloader (in Flash)\r\nID:\t%ls\r\nVer:\t%d.%d %ls\r\nBuilt:\t%ls",
                     &record, dateText);

    IdentifyRunningImage(&record, dateText);
    AppendBuildLines(report,
                     L"\r\n\r\nImage (current running)\r\nID:\t%ls\r\nVer:\t%d.%d %ls\r\nBuilt:\t%ls",
                     &record, dateText);

    UnlockFlash(lock);
    UnmapFlashWindow(window);

    OsMessageBox(owner, report, L"BSP Verison", OS_MB_OK);
}
