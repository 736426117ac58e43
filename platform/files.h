// Files role: the device's file system and host files.
//
// Paths beginning with '\' are device paths: '\' is the board's rootfs/
// folder, '\' or '/' separates the components that follow, components match
// without regard to letter case, and no path can leave rootfs/ (a ".."
// component never climbs above it). Other paths, "/tmp/nk.bin" among them,
// are host paths, used as they are (a path given on a command line).
// "\StoreMgr\NAME" names a storage-manager store (see OsCreateFile).
#pragma once
#include "platform/types.h"

constexpr uint32_t OS_GENERIC_READ = 0x80000000u;
constexpr uint32_t OS_GENERIC_WRITE = 0x40000000u;
constexpr uint32_t OS_FILE_SHARE_READ = 1;
constexpr uint32_t OS_CREATE_ALWAYS = 2;
constexpr uint32_t OS_OPEN_EXISTING = 3;
constexpr uint32_t OS_FILE_ATTRIBUTE_READONLY = 0x01;
constexpr uint32_t OS_FILE_ATTRIBUTE_DIRECTORY = 0x10;
constexpr uint32_t OS_FILE_ATTRIBUTE_ARCHIVE = 0x20;      // an ordinary file
constexpr uint32_t OS_FILE_ATTRIBUTE_DEVICE = 0x40;       // FIFO, socket, device node
constexpr uint32_t OS_FILE_ATTRIBUTE_REPARSE_POINT = 0x400;  // a symbolic link: never a folder
constexpr size_t OS_MAX_PATH = 260;

// Opens a file (or, for "\StoreMgr\NAME", a store). access: OS_GENERIC_READ
// (or 0 for a store probe); share: sharing allowed to others; disposition:
// OS_OPEN_EXISTING (files that exist only) or 0 (stores). Returns a handle
// (close with OsCloseHandle) or OS_INVALID_HANDLE. Does not block.
Handle OsCreateFile(const wchar_t* path, uint32_t access, uint32_t share, uint32_t disposition,
                    uint32_t flags);

// Reads up to n bytes at the file position. 1 = success, with *got the
// number of bytes that arrived (fewer than n only at the end of the file);
// 0 = error (*got = 0). Blocks on the disk only.
int OsReadFile(Handle file, void* buf, uint32_t n, uint32_t* got);

// Moves the file position to offset bytes from the start of the file.
// 1 = moved, 0 = error (not a file). Does not block.
int OsSetFilePointer(Handle file, uint32_t offset);

// The file's creation time (on the board: its modification time, so that it
// can be set with touch). 1 = filled, 0 = failed.
int OsGetFileTime(Handle file, FileTime* creation);

// Converts a file time to calendar time, without any time-zone conversion.
// 1 = converted, 0 = out of range.
int OsFileTimeToSystemTime(const FileTime* ft, SystemTime* st);

// One entry of a folder search.
struct OsFindData {
    uint32_t attributes;            // OS_FILE_ATTRIBUTE_DIRECTORY for a folder
    wchar_t name[OS_MAX_PATH];      // the entry's name, without its folder
};

// Starts a search: pattern is FOLDER\WILDCARD, '*' and '?' matching as on the
// device (letter case ignored; "." and ".." are never reported). Returns a
// search handle (end with OsFindClose) and the first entry, or
// OS_INVALID_HANDLE when nothing matches or the folder does not exist.
Handle OsFindFirstFile(const wchar_t* pattern, OsFindData* data);
// Next entry: 1 = stored in data, 0 = no more.
int OsFindNextFile(Handle search, OsFindData* data);
// Ends a search. 1 = ended, 0 = not a search handle.
int OsFindClose(Handle search);

// Creates a folder at a device path. 1 = created, 0 = failed (exists,
// parent missing, a host path...).
int OsCreateDirectory(const wchar_t* path);

// Copies a file (from a device or host path) to a device path;
// failIfExists 0 replaces an existing destination (but not a read-only
// one, nor a folder). 1 = copied, 0 = failed.
int OsCopyFile(const wchar_t* source, const wchar_t* destination, int failIfExists);
