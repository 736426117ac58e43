// Removable FAT volumes of the board: "boardsim insert NAME DIR" mounts a copy
// of a host folder as \NAME and announces it; "boardsim remove NAME"
// announces the removal and takes it away.
#pragma once
#include <string>

namespace board {

// Both return 0 on success, or print an error to standard error and return
// a non-zero exit status.
int VolumeInsert(const std::string& name, const std::string& hostDir);
int VolumeRemove(const std::string& name);

}  // namespace board
