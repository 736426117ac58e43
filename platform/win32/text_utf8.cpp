// UTF-8 <-> wide text of the Win32 backend, for the tools and the user
// interface's host text: the same conversions as the Linux backend's
// (platform/utf16.h), wchar_t being UTF-16 here.
#include <algorithm>
#include <string>

#include "platform/utf16.h"

std::string UiUtf8(const std::wstring& text)
{
    std::string out;
    for (size_t at = 0; at <= text.size(); ++at) {   // NULs inside are kept
        const size_t end = std::min(text.find(L'\0', at), text.size());
        std::string part((end - at) * 4 + 1, '\0');
        part.resize(utf16::ToUtf8(text.substr(at, end - at).c_str(), part.data(), part.size()));
        out += part;
        if (end < text.size())
            out.push_back('\0');
        at = end;
    }
    return out;
}

// A byte that is not UTF-8 is kept as U+DC80..U+DCFF, which UiUtf8 turns
// back into the same byte.
std::wstring UiWideFromUtf8(const std::string& text)
{
    std::wstring out;
    for (size_t at = 0; at <= text.size(); ++at) {   // NULs inside are kept
        const size_t end = std::min(text.find('\0', at), text.size());
        std::wstring part(end - at + 1, L'\0');
        part.resize(utf16::FromUtf8(text.substr(at, end - at).c_str(), part.data(), part.size()));
        out += part;
        if (end < text.size())
            out.push_back(L'\0');
        at = end;
    }
    return out;
}
