// Device files for the other roles of the Win32 backend: device paths
// checked and opened beneath the board's rootfs without following links.
#pragma once
#include <windows.h>

#include <string>
#include <vector>

// The components of a device path (device_path.h), "." and ".." applied;
// false when the path is no device path, climbs above the root or holds a
// component that Windows would not take as what it names (a drive, stream,
// wildcard, reserved device name, trailing dot or blank).
bool OsWin32SplitDevicePath(const wchar_t* path, std::vector<std::wstring>& out);
// The Windows path of a host path (under Wine a Unix path is its drive
// path), '\' separated.
std::wstring OsWin32HostWide(const wchar_t* path);
// The existing spelling of name in the folder at dir (letter case
// ignored); empty when there is no such entry.
std::wstring OsWin32Spelling(const std::wstring& dir, const std::wstring& name);
// The board's rootfs folder as a Windows path ('\' separated).
std::wstring OsWin32RootFs();
// Opens parts[0..count) beneath the root, one component at a time, each
// folder without following a reparse point and checked on its handle; the
// last with CreateFileW's access, share, disposition and flags (plus
// FILE_FLAG_OPEN_REPARSE_POINT; a reparse point is refused). count 0 opens
// the root. *spelled (may be nullptr) receives the Windows path opened.
HANDLE OsWin32OpenBeneath(const std::vector<std::wstring>& parts, size_t count, DWORD access, DWORD share,
                          DWORD disposition, DWORD flags, std::wstring* spelled);
// Opens an existing file for reading, sharing everything: a device path
// as OsWin32OpenBeneath does, a host path as it is; flags as CreateFileW's.
HANDLE OsWin32OpenForReading(const wchar_t* path, DWORD flags);
// Where an open file or folder really is ("\\?\Z:\..."); empty when unknown.
std::wstring OsWin32FinalPath(HANDLE h);
// Whether entry (open) is the entry name of the folder whose final path is
// folderFinal, not some other object a link led to.
bool OsWin32IsEntryOf(HANDLE entry, const std::wstring& folderFinal, const std::wstring& name);
