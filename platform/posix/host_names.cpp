// Host names and descriptors (see host_names.h).
#include "platform/posix/host_names.h"

#include <unistd.h>

#include <cstdint>
#include <cstring>

#include "platform/text.h"
#include "platform/common/utf16.h"

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
    return utf16::Narrow(wide, length);
}

std::wstring WidenHostName(const char* name)
{
    return utf16::Widen<wchar_t>(name, std::strlen(name));
}

}  // namespace device_tree
