// autorun: the removable-storage service.
//
// For every FAT volume that is mounted (and once at start for the internal
// flash disk) the service copies the volume's "AutoCopy" tree into the root
// of the file system and then starts the programs of its "AutoRun" folder:
// the ".exe" files directly, then the targets of the ".lnk" shortcut files.
// Every failure is silent; the work goes on with the next entry or message.
#pragma once
#include <cstddef>
#include <cstdint>

#include "platform/files.h"
#include "platform/queue.h"
#include "platform/types.h"

// Which entries of a volume's "AutoRun" folder LaunchAutoRun starts.
enum AutoRunKind : int {
    Executables = 0,   // "*.exe", started directly with no argument text
    Shortcuts = 1,     // "*.lnk", one-line shortcut files naming a command
};

// Device class of FAT file-system volume mounts.
extern const OsGuid FatMountClass;

// Options of the service's notification queue.
extern const OsMsgQueueOptions QueueOptions;

// One mount notification as the platform puts it into the queue.
struct MountNotification {
    uint8_t deviceClass[16];
    uint32_t reserved;
    uint32_t attached;       // non-zero: mounted, 0: removed
    uint32_t nameBytes;
    char16_t name[34];       // the volume's folder path, UTF-16, zero-terminated
};
static_assert(sizeof(MountNotification) == 96, "a notification is 96 bytes");
static_assert(offsetof(MountNotification, name) == 28, "the name starts at offset 28");

constexpr size_t kPathChars = 260;   // every path buffer: 259 characters and the terminator

// The program's main operation; uses none of its arguments; returns 0.
int ServiceMain(Instance instance, Instance previous, wchar_t* commandLine, int show);

// Reads and handles every message that the queue holds.
void DrainNotifications(Handle queue);

// Opens the storage-manager store "\StoreMgr\" + device (at most 245
// characters of it); OS_INVALID_HANDLE when there is no such store.
Handle ProbeStore(const wchar_t* device);

// AutoCopyVolume, then LaunchAutoRun with Executables and with Shortcuts.
void ProcessVolume(const wchar_t* volume);

// Whether a folder entry's name can be joined to its folder's path: not
// empty, not "." or "..", no '\' in it.
bool IsPlainEntryName(const wchar_t* name);

// Attributes of entries that are no plain file or folder of the volume:
// symbolic links, FIFOs, sockets, device nodes.
constexpr uint32_t kNotPlainFile = OS_FILE_ATTRIBUTE_REPARSE_POINT | OS_FILE_ATTRIBUTE_DEVICE;

// Whether path names a folder itself (not a link to one).
bool IsRealFolder(const wchar_t* path);

// Copies the volume's "AutoCopy" tree into the root of the file system.
void AutoCopyVolume(const wchar_t* volume);

// Copies the content of one source folder, recursively; an entry's
// destination is its full source path from prefixLength on.
void CopyTree(const wchar_t* source, size_t prefixLength);

// Starts the programs of the volume's "AutoRun" folder of that kind.
void LaunchAutoRun(const wchar_t* volume, int kind);

// On entry path (kPathChars characters) names a shortcut file. true: path
// now holds the command text (everything after the first '#' of the file's
// first 255 bytes); false: unreadable or no '#', path unchanged.
bool ReadShortcut(wchar_t* path);

// Cuts a command text in place into the program (possibly empty) and the
// arguments (non-empty, or nullptr).
void SplitCommandLine(wchar_t* text, wchar_t** program, wchar_t** arguments);
