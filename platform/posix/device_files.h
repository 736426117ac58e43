// Device files for the other roles of the POSIX backend: opening by
// handle, and the journal of copies' temporaries.
#pragma once
#include <string>

// Opens a device path ("\dir\file") from the device root's handle: beneath
// the root, no symbolic link followed at any component, components matched
// without regard to letter case. flags as for open(); O_NOFOLLOW and
// O_CLOEXEC are always added. A descriptor, or -1 (errno set).
int OsPosixOpenDevicePath(const wchar_t* path, int flags);
// Opens a device path so, or a host path as it is (O_CLOEXEC added).
int OsPosixOpenPath(const wchar_t* path, int flags);

// The journal of a copy's named temporaries, so that the clean-up at a
// service's start removes what a killed copy left, and never a file that
// merely has such a name. A record is written before its temporary is
// created and removed once it is gone. Records are files of the board
// folder's .copies/ folder, named as their temporary (".copy-PID-N.tmp"),
// holding the device and inode numbers of the temporary's folder.
namespace copy_journal {

// Records that the temporary name is about to be created in folder.
// Failing to record is silent: the copy goes on (only its clean-up after a
// kill would be lost).
void Add(int folder, const std::string& name);
// Removes the record of name (none: nothing happens).
void Drop(const std::string& name);

}  // namespace copy_journal

// Removes the temporaries that copies of processes no longer running left
// under the device root, as their journal records them. Mounted volumes
// are left alone. Follows no link; stops early on a termination request.
void OsPosixRemoveStaleCopies();
