// Line input for the presenters: reads lines from a descriptor while
// watching other descriptors (a dialog's wake-up pipe, Ctrl-C, termination).
#pragma once
#include <atomic>
#include <mutex>
#include <string>

#include "platform/common/line_protocol.h"

class LineReader {
public:
    // The longest line taken, in bytes without its newline. A longer one is
    // read past (never kept whole in memory) and reported as kTooLong.
    static constexpr size_t kMaxLine = lineproto::kMaxLine;
    static constexpr int kTooLong = 2;

    explicit LineReader(int fd) : fd_(fd) {}
    // 1: *line holds the next line (without its newline). 0: end of input.
    // -1: one of fds became readable, or timeoutMs (-1: none) passed first.
    // kTooLong: a line longer than kMaxLine was read past (*line unchanged).
    // Linear in the input: each byte is searched for a newline once.
    int ReadLine(std::string* line, const int* fds, int nfds, int timeoutMs);

private:
    int fd_;
    std::string buffer_;
    size_t start_ = 0;        // where the next line begins in buffer_
    size_t scanned_ = 0;      // buffer_ holds no newline between start_ and here
    bool skipping_ = false;   // inside a line that is too long, up to its newline
    bool eof_ = false;
};

// Whose turn it is to read the input. A message box or the open-file
// dialog (on any thread) takes the input as soon as it is shown; a dialog
// that waits for its next command reads only while no box wants the input
// and gives it up at once when one comes (it watches pokeFd()).
class InputTurn {
public:
    InputTurn();
    ~InputTurn();
    InputTurn(const InputTurn&) = delete;
    InputTurn& operator=(const InputTurn&) = delete;

    // Held by a box for as long as it reads.
    class BoxHold {
    public:
        explicit BoxHold(InputTurn& turn);
        ~BoxHold();
    private:
        InputTurn& turn_;
        std::unique_lock<std::mutex> hold_;
    };

    // For a dialog: the input's lock, taken only when no box wants it
    // (owns_lock() false otherwise).
    std::unique_lock<std::mutex> TryForDialog();
    int PokeFd() const { return poke_[0]; }
    void Drain();

private:
    std::mutex lock_;
    std::atomic<int> wanted_{0};
    int poke_[2] = {-1, -1};
};
