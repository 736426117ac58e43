// Device files for the other roles of the POSIX backend (and the programs'
// Linux mains): opening by handle, and the clean-up after earlier runs.
#pragma once

// Opens a device path ("\dir\file") from the device root's handle: beneath
// the root, no symbolic link followed at any component, components matched
// without regard to letter case. flags as for open(); O_NOFOLLOW and
// O_CLOEXEC are always added. A descriptor, or -1 (errno set).
int OsPosixOpenDevicePath(const wchar_t* path, int flags);
// Opens a device path so, or a host path as it is (O_CLOEXEC added).
int OsPosixOpenPath(const wchar_t* path, int flags);

// Removes the temporary files that copies of processes no longer running
// left under the device root (a copy killed at the wrong moment), as their
// journal records them (copy_journal.h): a file that merely has such a
// name is not touched. Mounted volumes are left alone (a card is only
// read). Walks by handle and follows no link; stops early on a termination
// request.
void OsPosixRemoveStaleCopies();
