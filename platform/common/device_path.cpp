// Device paths, the same for both backends (see device_path.h).
#include "platform/common/device_path.h"

namespace {

bool IsSeparator(wchar_t c)
{
    return c == L'\\' || c == L'/';
}

}  // namespace

bool OsSplitDevicePath(const wchar_t* path, std::vector<std::wstring>& out,
                       bool (*accept)(const std::wstring& part))
{
    out.clear();
    const wchar_t* p = path;
    while (*p != 0) {
        while (IsSeparator(*p))
            ++p;
        const wchar_t* start = p;
        while (*p != 0 && !IsSeparator(*p))
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
