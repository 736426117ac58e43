// AutoCopy: the volume's "AutoCopy" tree is copied into the root of the
// device's file system, keeping its folder structure.
//
// The destination of an entry is the tail of its full source path, from the
// end of "<volume>\AutoCopy" on: it starts with the separator that follows
// "AutoCopy" and so is a path from the root. Each level of the walk keeps its
// own path buffer and find record on the stack.
#include <cwchar>

#include "autorun/autorun.h"
#include "platform/files.h"
#include "platform/text.h"

bool IsPlainEntryName(const wchar_t* name)
{
    if (name[0] == L'\0') return false;
    if (wcscmp(name, L".") == 0 || wcscmp(name, L"..") == 0) return false;
    // A host file name may hold the separator of device paths; such a name
    // would name some other path once joined, so it is no entry of ours.
    return wcschr(name, L'\\') == nullptr;
}

bool IsRealFolder(const wchar_t* path)
{
    OsFindData entry;
    Handle search = OsFindFirstFile(path, &entry);
    if (search == OS_INVALID_HANDLE) return false;
    // Names match without regard to letter case, and a volume copied from
    // a host folder can hold several spellings of one name. The path may
    // lead to any of them, so every one must be a folder itself.
    bool real = true;
    do {
        if ((entry.attributes & OS_FILE_ATTRIBUTE_DIRECTORY) == 0 ||
            (entry.attributes & kNotPlainFile) != 0)
            real = false;
    } while (OsFindNextFile(search, &entry));
    OsFindClose(search);
    return real;
}

void AutoCopyVolume(const wchar_t* volume)
{
    wchar_t path[kPathChars];
    // A volume path too long for "<volume>\AutoCopy" has nothing we could copy.
    if (OsFormat(path, kPathChars, L"%ls\\AutoCopy", volume) < 0) return;
    // An "AutoCopy" that is a link is not followed out of the volume.
    if (!IsRealFolder(path)) return;
    CopyTree(path, wcslen(path));
}

void CopyTree(const wchar_t* source, size_t prefixLength)
{
    wchar_t path[kPathChars];
    OsFindData entry;

    if (OsFormat(path, kPathChars, L"%ls\\*", source) < 0) return;
    Handle search = OsFindFirstFile(path, &entry);
    if (search == OS_INVALID_HANDLE) return;
    do {
        if (!IsPlainEntryName(entry.name)) continue;
        // Links are neither followed nor copied, and a FIFO or device node
        // is no file to copy.
        if (entry.attributes & kNotPlainFile) continue;
        // An entry whose full path would not fit is skipped (never cut:
        // a cut path would name some other file); the walk goes on.
        if (OsFormat(path, kPathChars, L"%ls\\%ls", source, entry.name) < 0) continue;
        if (wcslen(path) <= prefixLength) continue;
        const wchar_t* destination = path + prefixLength;
        if (entry.attributes & OS_FILE_ATTRIBUTE_DIRECTORY) {
            OsCreateDirectory(destination);   // most often it exists: merge into it
            CopyTree(path, prefixLength);
        } else {
            OsCopyFile(path, destination, 0);
        }
    } while (OsFindNextFile(search, &entry));
    OsFindClose(search);
}
