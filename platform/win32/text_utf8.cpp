// UTF-8 <-> wide text of the Win32 backend, for the tools and the user
// interface's host text (wchar_t is UTF-16 here: a character beyond U+FFFF
// is a surrogate pair).
#include <string>

#include "platform/utf16.h"

std::string UiUtf8(const std::wstring& text)
{
    std::string out(text.size() * 3 + 1, '\0');
    out.resize(utf16::ToUtf8(text.c_str(), out.data(), out.size()));
    return out;
}

std::wstring UiWideFromUtf8(const std::string& text)
{
    std::wstring out;
    const auto* p = reinterpret_cast<const unsigned char*>(text.data());
    size_t left = text.size();
    while (left > 0) {
        uint32_t c = 0;
        size_t used = 0;
        if (!utf16::DecodeUtf8(p, left, &c, &used)) {
            c = *p;   // not UTF-8: the byte as its own code point
            used = 1;
        }
        if (c >= 0x10000) {
            out.push_back(static_cast<wchar_t>(0xD800 + ((c - 0x10000) >> 10)));
            out.push_back(static_cast<wchar_t>(0xDC00 + ((c - 0x10000) & 0x3FF)));
        } else {
            out.push_back(static_cast<wchar_t>(c));
        }
        p += used;
        left -= used;
    }
    return out;
}
