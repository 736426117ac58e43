// Identity of a host file (device, inode, size, modification time): the
// board's caches of its text files stay valid while it is unchanged.
#pragma once
#include <sys/stat.h>

#include <cstdint>
#include <string>

namespace board {

struct FileId {
    dev_t dev = 0;
    ino_t ino = 0;
    off_t size = -1;
    int64_t mtimeNs = -1;
    bool operator==(const FileId&) const = default;
};

// The file's identity now; all fields unset when it does not exist.
inline FileId IdOf(const std::string& path)
{
    FileId id;
    struct stat st;
    if (stat(path.c_str(), &st) == 0) {
        id.dev = st.st_dev;
        id.ino = st.st_ino;
        id.size = st.st_size;
        id.mtimeNs = int64_t(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
    }
    return id;
}

}  // namespace board
