// AutoRun launcher: starts the ".exe" files of a volume's "AutoRun" folder
// and the commands named by its ".lnk" shortcut files. The service neither
// waits for a started program nor keeps anything of it.
#include <cwchar>

#include "autorun/autorun.h"
#include "platform/files.h"
#include "platform/process.h"
#include "platform/sync.h"
#include "platform/text.h"

namespace {

// Only the first 255 bytes of a shortcut count.
constexpr uint32_t kShortcutBytes = 255;

void StartProgram(const wchar_t* program, const wchar_t* arguments)
{
    OsProcessInformation info{};
    if (OsCreateProcess(program, arguments, &info)) {
        // The program belongs to itself from now on.
        OsCloseHandle(info.process);
        OsCloseHandle(info.thread);
    }
}

}  // namespace

void LaunchAutoRun(const wchar_t* volume, int kind)
{
    const wchar_t* pattern;
    if (kind == Executables) {
        pattern = L"%ls\\AutoRun\\*.exe";
    } else if (kind == Shortcuts) {
        pattern = L"%ls\\AutoRun\\*.lnk";
    } else {
        return;
    }

    wchar_t path[kPathChars];
    OsFindData entry;
    // An "AutoRun" that is a link is not followed out of the volume.
    if (OsFormat(path, kPathChars, L"%ls\\AutoRun", volume) < 0 || !IsRealFolder(path)) return;
    if (OsFormat(path, kPathChars, pattern, volume) < 0) return;
    Handle search = OsFindFirstFile(path, &entry);
    if (search == OS_INVALID_HANDLE) return;
    do {
        if (entry.attributes & OS_FILE_ATTRIBUTE_DIRECTORY) continue;
        // Only plain files of the volume itself: a link is not followed.
        if (entry.attributes & kNotPlainFile) continue;
        if (!IsPlainEntryName(entry.name)) continue;
        // A path that would not fit is skipped rather than cut.
        if (OsFormat(path, kPathChars, L"%ls\\AutoRun\\%ls", volume, entry.name) < 0) continue;
        if (kind == Executables) {
            StartProgram(path, nullptr);
        } else {
            if (!ReadShortcut(path)) continue;
            wchar_t* program;
            wchar_t* arguments;
            SplitCommandLine(path, &program, &arguments);
            StartProgram(program, arguments);
        }
    } while (OsFindNextFile(search, &entry));
    OsFindClose(search);
}

bool ReadShortcut(wchar_t* path)
{
    Handle file = OsCreateFile(path, OS_GENERIC_READ, OS_FILE_SHARE_READ, OS_OPEN_EXISTING, 0);
    if (file == OS_INVALID_HANDLE) return false;
    char text[kShortcutBytes + 1];
    uint32_t got = 0;
    if (!OsReadFile(file, text, kShortcutBytes, &got) || got > kShortcutBytes) got = 0;
    text[got] = '\0';
    OsCloseHandle(file);

    const char* hash = text;
    while (*hash != '\0' && *hash != '#') ++hash;
    if (*hash != '#') return false;
    // At most 254 bytes follow the '#', so the widened text always fits.
    OsWiden(hash + 1, path, kPathChars);
    return true;
}

void SplitCommandLine(wchar_t* text, wchar_t** program, wchar_t** arguments)
{
    wchar_t* cursor = text;
    *program = text;
    if (*text == L'"') {
        ++cursor;
        *program = cursor;
        while (*cursor != L'\0') {
            if (*cursor == L'"') {
                *cursor++ = L'\0';
                break;
            }
            ++cursor;
        }
    }
    while (*cursor != L'\0') {
        if (*cursor == L' ') {
            *cursor++ = L'\0';
            break;
        }
        ++cursor;
    }
    *arguments = *cursor != L'\0' ? cursor : nullptr;
}
