// The device's file tree on the board's rootfs/, for the POSIX files role:
// host names, and device paths resolved beneath the root (device_tree.cpp).
//
// Device paths ("\Windows\default.fdf") are resolved from a handle of the
// root: beneath it, without following a symbolic link at any component
// (openat2, or one O_NOFOLLOW handle after the other), components matched
// to existing host names without regard to letter case, and no ".." ever
// climbing above the root.
#pragma once
#include <sys/stat.h>

#include <cerrno>
#include <memory>
#include <string>
#include <vector>

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

// The host path of a device or host path (see OsHostPath); false when it
// escapes the root.
bool HostPath(const wchar_t* path, std::string& out);

// The device root, held open while rootfs/ stays the same folder.
// nullptr when the board has none.
std::shared_ptr<Fd> Root();

// Opening a device path by handle: OsPosixOpenDevicePath (device_files.h).

// The open folder in which a path is to be created or replaced, and the
// leaf's name in it.
struct WriteTarget {
    bool device = false;              // a device path: parts and root are set
    std::vector<std::wstring> parts;  // its components
    std::shared_ptr<Fd> root;         // the device root, held for the checks
    Fd folder;                        // the leaf's folder
    dev_t folderDev = 0;              // device paths: the folder's identity
    ino_t folderIno = 0;
    std::string leaf;
    int leafError = ENOENT;           // 0 when the leaf exists: then its state
    struct stat leafState;
    int fd() const { return folder.get(); }
};

// Opens the folder of path for writing. Device paths are walked from the
// root without following any symbolic link, and the leaf is matched
// without regard to letter case. false when the folder cannot be reached
// that way or the path names no leaf.
bool OpenWriteTarget(const wchar_t* path, WriteTarget& target);

// Whether the target's folder still stands where it stood: the folder
// that its path names from the root, without following links, is the very
// folder held. A folder moved out of the root (or replaced) meanwhile is
// not. Host paths: always (the caller's own folder).
bool StillInPlace(const WriteTarget& target);

}  // namespace device_tree
