// Device files for the other roles of the POSIX backend: opening by
// handle, and the clean-up of copies' temporaries.
#pragma once

// Opens a device path ("\dir\file") from the device root's handle: beneath
// the root, no symbolic link followed at any component, components matched
// without regard to letter case. flags as for open(); O_NOFOLLOW and
// O_CLOEXEC are always added. A descriptor, or -1 (errno set).
int OsPosixOpenDevicePath(const wchar_t* path, int flags);
// Opens a device path so, or a host path as it is (O_CLOEXEC added).
int OsPosixOpenPath(const wchar_t* path, int flags);

// Removes the temporaries that copies of processes no longer running left
// under the device root, as their journal records them (copy_journal.h).
// Mounted volumes are left alone. Follows no link; stops early on a
// termination request.
void OsPosixRemoveStaleCopies();
