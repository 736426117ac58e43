// Bounded wide formatting and the narrow/wide conversions of the POSIX
// backend.
#include "platform/text.h"

#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdint>
#include <cstring>
#include <cwchar>

int OsFormatV(wchar_t* buf, size_t cap, const wchar_t* format, va_list args)
{
    if (buf == nullptr || cap == 0)
        return -1;
    if (format == nullptr) {
        buf[0] = 0;
        return -1;
    }
    errno = 0;
    int written = vswprintf(buf, cap, format, args);
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

int OsFormat(wchar_t* buf, size_t cap, const wchar_t* format, ...)
{
    va_list args;
    va_start(args, format);
    int written = OsFormatV(buf, cap, format, args);
    va_end(args);
    return written;
}

size_t OsWiden(const char* narrow, wchar_t* out, size_t cap)
{
    if (out == nullptr || cap == 0)
        return 0;
    size_t n = 0;
    if (narrow == nullptr) {
        out[0] = 0;
        return 0;
    }
    size_t left = strlen(narrow);
    const char* p = narrow;
    mbstate_t state{};
    while (left > 0 && n + 1 < cap) {
        wchar_t wc = 0;
        size_t used = mbrtowc(&wc, p, left, &state);
        if (used == static_cast<size_t>(-1) || used == static_cast<size_t>(-2) || used == 0) {
            // Not convertible (or cut at the end): keep the byte as its own
            // code point and go on with the next one from a clean state.
            wc = static_cast<wchar_t>(static_cast<unsigned char>(*p));
            used = 1;
            state = mbstate_t{};
        }
        out[n++] = wc;
        p += used;
        left -= used;
    }
    out[n] = 0;
    return n;
}

namespace {

// Bytes of the UTF-8 form of one character. Lone surrogates U+DC80..U+DCFF
// stand for single bytes that were not UTF-8 in a host name (see the files
// role), so they go back to those bytes; any other character that UTF-8
// cannot carry becomes U+FFFD.
size_t EncodeUtf8(uint32_t c, char* out)
{
    if (c >= 0xDC80 && c <= 0xDCFF) {
        out[0] = static_cast<char>(c - 0xDC00);
        return 1;
    }
    if ((c >= 0xD800 && c <= 0xDFFF) || c > 0x10FFFF)
        c = 0xFFFD;
    if (c < 0x80) {
        out[0] = static_cast<char>(c);
        return 1;
    }
    if (c < 0x800) {
        out[0] = static_cast<char>(0xC0 | (c >> 6));
        out[1] = static_cast<char>(0x80 | (c & 0x3F));
        return 2;
    }
    if (c < 0x10000) {
        out[0] = static_cast<char>(0xE0 | (c >> 12));
        out[1] = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out[2] = static_cast<char>(0x80 | (c & 0x3F));
        return 3;
    }
    out[0] = static_cast<char>(0xF0 | (c >> 18));
    out[1] = static_cast<char>(0x80 | ((c >> 12) & 0x3F));
    out[2] = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out[3] = static_cast<char>(0x80 | (c & 0x3F));
    return 4;
}

}  // namespace

size_t OsNarrowUtf8(const wchar_t* wide, char* out, size_t cap)
{
    if (out == nullptr || cap == 0)
        return 0;
    size_t n = 0;
    if (wide != nullptr) {
        for (const wchar_t* p = wide; *p != 0; ++p) {
            char bytes[4];
            size_t len = EncodeUtf8(static_cast<uint32_t>(*p), bytes);
            if (n + len + 1 > cap)
                break;  // never cut a character in half
            memcpy(out + n, bytes, len);
            n += len;
        }
    }
    out[n] = 0;
    return n;
}
