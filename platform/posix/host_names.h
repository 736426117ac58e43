// Host names and descriptors for the POSIX files role.
#pragma once
#include <cerrno>
#include <string>

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
    void reset(int fd);

private:
    int fd_;
};

// UTF-8 of wide text (a host name or path).
std::string Utf8(const wchar_t* wide, size_t length);
// Decodes one host name. Bytes that are not UTF-8 become U+DC80..U+DCFF,
// which OsNarrowUtf8 turns back into the same bytes, so every host name
// survives the trip through a wide path.
std::wstring WidenHostName(const char* name);

}  // namespace device_tree
