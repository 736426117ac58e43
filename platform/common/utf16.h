// UTF-8 and UTF-16 for any code-unit type (wchar_t of either width,
// char16_t). Wide text is UTF-16 everywhere, as on the device: a character
// beyond U+FFFF is a surrogate pair even where wchar_t could hold it.
// Bytes that are not UTF-8 become the lone surrogates U+DC80..U+DCFF,
// which go back to the same bytes.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

namespace utf16 {

// One character of UTF-8 at p (at most left bytes): its code point and its
// length, or false when the bytes there are not UTF-8 (overlong forms,
// surrogates and values beyond U+10FFFF included).
inline bool DecodeUtf8(const unsigned char* p, size_t left, uint32_t* cp, size_t* used)
{
    const unsigned char b = p[0];
    uint32_t c;
    size_t extra;
    uint32_t min;
    if (b < 0x80) {
        *cp = b;
        *used = 1;
        return true;
    } else if ((b & 0xE0) == 0xC0) {
        c = b & 0x1F, extra = 1, min = 0x80;
    } else if ((b & 0xF0) == 0xE0) {
        c = b & 0x0F, extra = 2, min = 0x800;
    } else if ((b & 0xF8) == 0xF0) {
        c = b & 0x07, extra = 3, min = 0x10000;
    } else {
        return false;
    }
    if (extra >= left)
        return false;
    for (size_t i = 1; i <= extra; ++i) {
        if ((p[i] & 0xC0) != 0x80)
            return false;
        c = (c << 6) | (p[i] & 0x3F);
    }
    if (c < min || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF))
        return false;
    *cp = c;
    *used = extra + 1;
    return true;
}

// Appends code point c as UTF-16 units at out[n] (room for at most cap-1
// units in all); false, with nothing written, when it does not fit.
template <typename Unit>
bool PutUnits(uint32_t c, Unit* out, size_t& n, size_t cap)
{
    if (c >= 0x10000) {
        if (n + 2 >= cap)
            return false;
        out[n++] = static_cast<Unit>(0xD800 + ((c - 0x10000) >> 10));
        out[n++] = static_cast<Unit>(0xDC00 + ((c - 0x10000) & 0x3FF));
        return true;
    }
    if (n + 1 >= cap)
        return false;
    out[n++] = static_cast<Unit>(c);
    return true;
}

// The code point that starts at wide[0], and how many units it takes: a
// surrogate pair is one character, whatever the width of Unit. A unit of a
// 32-bit type beyond U+FFFF is taken as the character it holds.
template <typename Unit>
uint32_t NextCodePoint(const Unit* wide, size_t* used)
{
    const uint32_t c = static_cast<uint32_t>(wide[0]);
    *used = 1;
    if (c >= 0xD800 && c <= 0xDBFF) {
        const uint32_t low = static_cast<uint32_t>(wide[1]);
        if (low >= 0xDC00 && low <= 0xDFFF) {
            *used = 2;
            return 0x10000 + ((c - 0xD800) << 10) + (low - 0xDC00);
        }
    }
    return c;
}

// Bytes of the UTF-8 form of one character. The lone surrogates
// U+DC80..U+DCFF go back to the single bytes they stand for (unless
// bytesBack is false: text of the board's own files, never a host name);
// any other character that UTF-8 cannot carry becomes U+FFFD.
inline size_t EncodeUtf8(uint32_t c, char* out, bool bytesBack = true)
{
    if (bytesBack && c >= 0xDC80 && c <= 0xDCFF) {
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

// UTF-16 units (up to their terminator) to UTF-8 into out (cap bytes);
// never cuts a character in half; always terminated. Returns the bytes
// written.
template <typename Unit>
size_t ToUtf8(const Unit* wide, char* out, size_t cap)
{
    if (out == nullptr || cap == 0)
        return 0;
    size_t n = 0;
    if (wide != nullptr) {
        for (const Unit* p = wide; *p != 0;) {
            size_t used;
            const uint32_t c = NextCodePoint(p, &used);
            char bytes[4];
            const size_t len = EncodeUtf8(c, bytes);
            if (n + len + 1 > cap)
                break;
            for (size_t i = 0; i < len; ++i)
                out[n + i] = bytes[i];
            n += len;
            p += used;
        }
    }
    out[n] = 0;
    return n;
}

// UTF-8 bytes (length of them, NULs included) as UTF-16 units. A byte that
// is not UTF-8 becomes U+DC80..U+DCFF, which Narrow turns back into it;
// with bytesBack false (text of the board's own files, never a host name)
// it stands for the character of its own value.
template <typename Unit>
std::basic_string<Unit> Widen(const char* utf8, size_t length, bool bytesBack = true)
{
    std::basic_string<Unit> out;
    const auto* p = reinterpret_cast<const unsigned char*>(utf8);
    for (size_t used = 0; length > 0; p += used, length -= used) {
        uint32_t c;
        if (!DecodeUtf8(p, length, &c, &used)) {
            c = bytesBack ? 0xDC00 + p[0] : p[0];
            used = 1;
        }
        Unit units[3];
        size_t n = 0;
        PutUnits(c, units, n, 3);
        out.append(units, n);
    }
    return out;
}

// UTF-16 units (length of them, NULs included) as UTF-8; see EncodeUtf8
// for bytesBack.
template <typename Unit>
std::string Narrow(const Unit* wide, size_t length, bool bytesBack = true)
{
    std::string out;
    for (size_t used = 0; length > 0; wide += used, length -= used) {
        char bytes[4];
        const Unit pair[3] = {wide[0], length > 1 ? wide[1] : Unit(0), Unit(0)};
        out.append(bytes, EncodeUtf8(NextCodePoint(pair, &used), bytes, bytesBack));
    }
    return out;
}

// Windows code page 1252 (the device's western code page): bytes 0x80..0x9F
// as the device maps them; the five it leaves unassigned stand for the C1
// controls of the same value. All other bytes are Latin-1.
inline uint32_t FromCp1252(unsigned char b)
{
    static const uint16_t kHigh[32] = {
        0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,
        0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0x008D, 0x017D, 0x008F,
        0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,
        0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178,
    };
    return b >= 0x80 && b <= 0x9F ? kHigh[b - 0x80] : b;
}

}  // namespace utf16
