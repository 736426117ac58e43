// A board in a fresh temporary directory for one test: sets BOARDSIM_DIR,
// creates the board (default, or erased flash), and on destruction closes
// every cached board state and removes the directory.
#pragma once
#include <cstdint>
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

// What another thread gets when it tries to take the board's flash lock
// ("NorFlash") now without waiting: OS_WAIT_OBJECT_0, OS_WAIT_TIMEOUT, or
// OS_WAIT_FAILED when it cannot try. Another thread, because the mutex is
// recursive for its owner.
uint32_t FlashLockProbe();
// Whether that try succeeds.
bool FlashLockIsFree();
