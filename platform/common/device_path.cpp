// The device-path rules (see device_path.h).
#include "platform/common/device_path.h"

#include <cwchar>
#include <sstream>

#include "board/board.h"
#include "platform/host/text.h"

namespace {

// '\' and '/' both separate the components of a device path.
bool OsIsPathSeparator(wchar_t c)
{
    return c == L'\\' || c == L'/';
}

// Letter case ignored in ASCII only, as in store names.
template <class Char>
Char FoldAscii(Char c)
{
    return c >= 'A' && c <= 'Z' ? static_cast<Char>(c - 'A' + 'a') : c;
}

}  // namespace

bool OsIsDevicePath(const wchar_t* path)
{
    return path != nullptr && path[0] == L'\\';
}

bool OsSplitDevicePath(const wchar_t* path, std::vector<std::wstring>& out,
                       bool (*accept)(const std::wstring& part))
{
    out.clear();
    if (!OsIsDevicePath(path))
        return false;
    const wchar_t* p = path;
    while (*p != 0) {
        while (OsIsPathSeparator(*p))
            ++p;
        const wchar_t* start = p;
        while (*p != 0 && !OsIsPathSeparator(*p))
            ++p;
        size_t length = static_cast<size_t>(p - start);
        if (length == 0 || (length == 1 && start[0] == L'.'))
            continue;
        if (length == 2 && start[0] == L'.' && start[1] == L'.') {
            if (out.empty())
                return false;
            out.pop_back();
            continue;
        }
        std::wstring part(start, length);
        if (accept != nullptr && !accept(part))
            return false;
        out.push_back(std::move(part));
    }
    return true;
}

bool OsSplitSearchPattern(const wchar_t* pattern, std::wstring& folder, std::wstring& wildcard)
{
    const wchar_t* sep = nullptr;
    for (const wchar_t* p = pattern; *p != 0; ++p) {
        if (OsIsPathSeparator(*p))
            sep = p;
    }
    if (sep == nullptr) {
        folder = L".";
        wildcard = pattern;
    } else {
        folder.assign(pattern, static_cast<size_t>(sep - pattern));
        if (folder.empty())
            folder.assign(1, *sep);  // "\*": the root
        wildcard = sep + 1;
    }
    return !wildcard.empty();
}

bool OsIsKnownStorePath(const wchar_t* path)
{
    static const wchar_t kPrefix[] = L"\\storemgr\\";
    constexpr size_t kPrefixLength = sizeof kPrefix / sizeof kPrefix[0] - 1;
    if (path == nullptr)
        return false;
    for (size_t i = 0; i < kPrefixLength; ++i) {
        if (FoldAscii(path[i]) != kPrefix[i])
            return false;   // also at the terminator of a shorter path
    }
    const wchar_t* name = path + kPrefixLength;
    std::string wanted(wcslen(name) * 4 + 1, '\0');
    wanted.resize(OsNarrowUtf8(name, wanted.data(), wanted.size()));
    for (char& c : wanted)
        c = FoldAscii(c);
    // The board's stores: a comma-separated list, blanks around a name
    // ignored.
    std::istringstream list(board::GetSetting("stores", "DSK0:"));
    for (std::string item; std::getline(list, item, ',');) {
        const size_t first = item.find_first_not_of(" \t");
        if (first == std::string::npos)
            continue;
        item = item.substr(first, item.find_last_not_of(" \t") - first + 1);
        for (char& c : item)
            c = FoldAscii(c);
        if (item == wanted)
            return true;
    }
    return false;
}

std::vector<std::wstring> OsProgramPaths(const wchar_t* text)
{
    std::wstring name = text;
    if (name.find_first_of(L"\\/") != std::wstring::npos) {
        if (name[0] != L'\\')
            name.insert(0, 1, L'\\');
        return {name};
    }
    if (name.find(L'.') == std::wstring::npos)
        name += L".exe";
    return {L"\\Windows\\" + name, L"\\" + name};
}
