// The device's file tree on the board's rootfs/, for the POSIX files role:
// host paths, and the folders that copies and new folders are written
// into, reached from a handle of the root without following a link.
#pragma once
#include <sys/stat.h>

#include <memory>
#include <string>
#include <vector>

#include "platform/posix/host_names.h"

namespace device_tree {

struct KeptFolder;

// The host path of a device or host path (see OsHostPath); false when it
// escapes the root.
bool HostPath(const wchar_t* path, std::string& out);

// The open folder in which a device path is to be created or replaced
// (changed through ChangeInFolder, kept_folders.h), and the leaf's name in
// it.
struct WriteTarget {
    std::shared_ptr<KeptFolder> kept;  // the folder, kept open
    std::vector<std::wstring> parts;   // the path's components
    std::string leaf;
    bool leafExists = false;           // then its state:
    struct stat leafState;
};

// Opens the folder of a device path for writing, walked from rootfs/ one
// folder at a time without following any symbolic link; the leaf is
// matched without regard to letter case. false for a host path (copies and
// folders are made on the device only), when the folder cannot be reached
// that way or the path names no leaf.
bool OpenWriteTarget(const wchar_t* path, WriteTarget& target);

// Whether the target's folder still stands where it stood: the folder that
// its path names from the root, without following links, is the very
// folder held. A folder moved out of the root (or replaced) meanwhile is
// not.
bool StillInPlace(const WriteTarget& target);

}  // namespace device_tree
