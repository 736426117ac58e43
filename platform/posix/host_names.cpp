// Host names and descriptors (see host_names.h).
#include "platform/posix/host_names.h"

#include <unistd.h>

#include <cstdint>
#include <cstring>

#include "platform/text.h"
#include "platform/common/utf16.h"
#include "platform/host/text.h"

namespace device_tree {

void Fd::reset(int fd)
{
    if (fd_ >= 0) {
        const int saved = errno;
        close(fd_);
        errno = saved;
    }
    fd_ = fd;
}

std::string Utf8(const wchar_t* wide, size_t length)
{
    std::wstring part(wide, length);
    std::string out(part.size() * 4 + 1, '\0');
    out.resize(OsNarrowUtf8(part.c_str(), out.data(), out.size()));
    return out;
}

std::wstring WidenHostName(const char* name)
{
    std::wstring out;
    const auto* p = reinterpret_cast<const unsigned char*>(name);
    size_t left = std::strlen(name);
    while (left > 0) {
        uint32_t c = 0;
        size_t used = 0;
        if (utf16::DecodeUtf8(p, left, &c, &used)) {
            // Wide text is UTF-16, whatever the width of wchar_t.
            if (c >= 0x10000) {
                out.push_back(static_cast<wchar_t>(0xD800 + ((c - 0x10000) >> 10)));
                out.push_back(static_cast<wchar_t>(0xDC00 + ((c - 0x10000) & 0x3FF)));
            } else {
                out.push_back(static_cast<wchar_t>(c));
            }
        } else {
            out.push_back(static_cast<wchar_t>(0xDC00 + *p));
            used = 1;
        }
        p += used;
        left -= used;
    }
    return out;
}

}  // namespace device_tree
