// Bounded wide formatting and the narrow/wide conversions, the same for
// both backends (ISO vswprintf; MinGW's is the ISO one in C++).
#include "platform/text.h"
#include "platform/host/text.h"

#include <string>

#include "board/board.h"
#include "platform/common/utf16.h"

#include <cerrno>
#include <cstdarg>
#include <cstdint>
#include <cstring>
#include <cwchar>

int OsFormat(wchar_t* buf, size_t cap, const wchar_t* format, ...)
{
    if (buf == nullptr || cap == 0)
        return -1;
    if (format == nullptr) {
        buf[0] = 0;
        return -1;
    }
    va_list args;
    va_start(args, format);
    errno = 0;
    int written = vswprintf(buf, cap, format, args);
    va_end(args);
    if (written >= 0 && static_cast<size_t>(written) < cap)
        return written;
    // The C library leaves a cut text unterminated; terminate it here. When
    // the format itself failed (a narrow argument that does not convert),
    // the partial text means nothing: leave an empty one.
    if (errno != 0)
        buf[0] = 0;
    buf[cap - 1] = 0;
    return -1;
}

namespace {

// The board's narrow code page: 1252 (the device's western one, the
// default), 28591 (Latin-1) or 65001 (UTF-8). Never the host's locale.
unsigned NarrowCodePage()
{
    const std::string value = board::GetSetting("codepage", "1252");
    if (value == "65001")
        return 65001;
    if (value == "28591")
        return 28591;
    return 1252;
}

}  // namespace

size_t OsWiden(const char* narrow, wchar_t* out, size_t cap)
{
    if (out == nullptr || cap == 0)
        return 0;
    size_t n = 0;
    if (narrow == nullptr) {
        out[0] = 0;
        return 0;
    }
    const unsigned codePage = NarrowCodePage();
    const auto* p = reinterpret_cast<const unsigned char*>(narrow);
    size_t left = strlen(narrow);
    while (left > 0) {
        uint32_t c = p[0];
        size_t used = 1;
        if (codePage == 65001) {
            // A byte that is not UTF-8 becomes the replacement character,
            // never the Latin-1 letter of its value: a stray byte names no file.
            if (!utf16::DecodeUtf8(p, left, &c, &used)) {
                c = 0xFFFD;
                used = 1;
            }
        } else if (codePage == 1252) {
            c = utf16::FromCp1252(p[0]);
        }
        if (!utf16::PutUnits(c, out, n, cap))
            break;
        p += used;
        left -= used;
    }
    out[n] = 0;
    return n;
}

size_t OsNarrowUtf8(const wchar_t* wide, char* out, size_t cap)
{
    return utf16::ToUtf8(wide, out, cap);
}
