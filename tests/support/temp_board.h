// A board in a fresh temporary directory for one test: sets BOARDSIM_DIR,
// creates the board (default, or erased flash), and on destruction closes
// every cached board state and removes the directory.
#pragma once
#include <string>

class TempBoard {
public:
    explicit TempBoard(bool blank = false);
    ~TempBoard();
    TempBoard(const TempBoard&) = delete;
    TempBoard& operator=(const TempBoard&) = delete;
    const std::string& dir() const { return dir_; }
    std::string rootfs() const { return dir_ + "/rootfs"; }
private:
    std::string dir_;
};

// Whether another thread can take the board's flash lock ("NorFlash") now
// (the holder's own thread could: the mutex is recursive for its owner).
bool FlashLockIsFree();
