// Which side uses a board (see flash_state.h).
#include "board/flash_state.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include "board/board.h"

namespace board {
namespace {

// Beyond the owner slots' bytes: one byte per side.
constexpr off_t kLinuxSideByte = flash::kSlotLockBase + off_t(flash::kOwnerSlots) + 16;
constexpr off_t kWindowsSideByte = kLinuxSideByte + 1;

#ifdef _WIN32
constexpr off_t kMine = kWindowsSideByte;
constexpr off_t kOther = kLinuxSideByte;
#else
constexpr off_t kMine = kLinuxSideByte;
constexpr off_t kOther = kWindowsSideByte;
#endif

}  // namespace

const char* ThisSide()
{
    return kMine == kLinuxSideByte ? "Linux" : "Windows";
}

bool ClaimSide(int stateFd, std::string* why)
{
    if (stateFd < 0)
        return true;   // no slots either: nothing to tell
    // A write lock would conflict with the other side's shared lock.
    struct flock fl;
    if (flash::LockByte(stateFd, kOther, F_WRLCK, F_OFD_GETLK, &fl) && fl.l_type != F_UNLCK) {
        if (why)
            *why = Dir() + " is in use by programs of the " + (kOther == kLinuxSideByte ? "Linux" : "Windows") +
                   " build; a board is used by one side at a time (their locks do not see each other)";
        return false;
    }
    // A file system without such locks: nothing to tell either.
    flash::LockByte(stateFd, kMine, F_RDLCK, F_OFD_SETLK);
    return true;
}

}  // namespace board
