// Host names and descriptors for the POSIX files role.
#pragma once
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "platform/common/utf16.h"

namespace device_tree {

// A descriptor closed with its owner (errno kept across the close).
class Fd {
public:
    explicit Fd(int fd = -1) : fd_(fd) {}
    ~Fd() { reset(-1); }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    int get() const { return fd_; }
    int release()
    {
        int fd = fd_;
        fd_ = -1;
        return fd;
    }
    void reset(int fd)
    {
        if (fd_ >= 0) {
            const int saved = errno;
            close(fd_);
            errno = saved;
        }
        fd_ = fd;
    }

private:
    int fd_;
};

// UTF-8 of wide text (a host name or path).
inline std::string Utf8(const wchar_t* wide, size_t length)
{
    return utf16::Narrow(wide, length);
}

// Decodes one host name; bytes that are not UTF-8 survive the trip (utf16.h).
inline std::wstring WidenHostName(const char* name)
{
    return utf16::Widen<wchar_t>(name, std::strlen(name));
}

}  // namespace device_tree
