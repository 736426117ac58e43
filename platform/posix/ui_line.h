// Line input for the presenters: reads lines from a descriptor while
// watching other descriptors (a dialog's wake-up pipe, Ctrl-C, termination).
#pragma once
#include <string>

class LineReader {
public:
    explicit LineReader(int fd) : fd_(fd) {}
    // 1: *line holds the next line (without its newline). 0: end of input.
    // -1: one of fds became readable, or timeoutMs (-1: none) passed first.
    int ReadLine(std::string* line, const int* fds, int nfds, int timeoutMs);
    bool AtEnd() const { return eof_ && buffer_.empty(); }

private:
    int fd_;
    std::string buffer_;
    bool eof_ = false;
};
