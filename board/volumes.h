// Removable FAT volumes of the board: "boardsim insert NAME DIR" mounts a copy
// of a host folder as \NAME and announces it; "boardsim remove NAME"
// announces the removal and takes it away.
//
// A mounted volume is the folder rootfs/NAME plus its record, the empty file
// volumes/NAME of the board directory. The record is created only once the
// folder is complete and removed only once the folder is gone from rootfs/,
// so that whoever watches volumes/ (the platform's mount notifications)
// never announces a half-copied volume, and a removal never finds its
// volume still there.
#pragma once
#include <string>
#include <vector>

namespace board {

// Longest volume name: "\NAME" and its terminator fill the 68 bytes of UTF-16
// that a mount notification holds for the name.
constexpr size_t kMaxVolumeName = 32;

// Both return 0 on success, or print an error to standard error and return
// a non-zero exit status.
int VolumeInsert(const std::string& name, const std::string& hostDir);
int VolumeRemove(const std::string& name);

// Undoes what an insert killed midway left (a folder in rootfs/ without its
// record), finishes a removal killed midway, and empties the staging
// folder. Insert, remove and init do this first.
void VolumeLeftoversClean();

// The mounted volumes' names, sorted.
std::vector<std::string> Volumes();

// Whether the folder rootfs/NAME is a volume's: mounted, or on its way in
// (an insert moves the folder in before it writes the record). A card is
// only ever read by the device's own clean-ups.
bool IsVolumeFolder(const std::string& name);

// Dir()/volumes: one record file per mounted volume.
std::string VolumesDir();

// A volume name: 1 to kMaxVolumeName letters, digits, spaces, '_' or '-'.
bool ValidVolumeName(const std::string& name);

}  // namespace board
