// An exclusive flock on one of the board's lock files, held for the
// lifetime of the object: the board's writers of a shared file (settings,
// registry, a new board) take the same lock around their change.
#pragma once
#include <fcntl.h>
#include <sys/file.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <string>

namespace board {

// With a time limit (limitMs >= 0), gives up (ok() false) rather than wait
// for ever.
class FileLock {
public:
    explicit FileLock(const std::string& path, int limitMs = -1)
    {
        fd_ = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
        if (fd_ < 0)
            return;
        for (int waited = 0;; waited += 2) {
            if (flock(fd_, limitMs < 0 ? LOCK_EX : LOCK_EX | LOCK_NB) == 0) {
                held_ = true;
                return;
            }
            if (limitMs < 0 && errno == EINTR)
                continue;
            if ((errno != EWOULDBLOCK && errno != EINTR) || waited >= limitMs) {
                Drop();
                return;
            }
            struct timespec ts = {0, 2000000};
            nanosleep(&ts, nullptr);
        }
    }
    ~FileLock() { Drop(); }
    bool ok() const { return held_; }
    FileLock(const FileLock&) = delete;
    FileLock& operator=(const FileLock&) = delete;
private:
    void Drop()
    {
        if (fd_ >= 0)
            close(fd_);
        fd_ = -1;
        held_ = false;
    }
    int fd_ = -1;
    bool held_ = false;
};

}  // namespace board
