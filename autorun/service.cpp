// Mount watcher and service loop: asks the platform for FAT volume mount
// notifications on a message queue, processes the internal flash disk once,
// then processes every announced volume, one after another in queue order.
#include <cstring>
#include <cwchar>

#include "autorun/autorun.h"
#include "platform/clock.h"
#include "platform/files.h"
#include "platform/keys.h"
#include "platform/queue.h"
#include "platform/registry.h"
#include "platform/sync.h"
#include "platform/text.h"

// {169E1941-04CE-4690-97AC-776187EB67CC}
const OsGuid FatMountClass = {0x169E1941, 0x04CE, 0x4690,
                              {0x97, 0xAC, 0x77, 0x61, 0x87, 0xEB, 0x67, 0xCC}};

const OsMsgQueueOptions QueueOptions = {
    20,                          // size of the record
    0,                           // flags
    0,                           // no limit on the number of messages
    sizeof(MountNotification),   // largest message
    1,                           // this handle reads
};

namespace {

constexpr uint32_t kStartPauseMs = 1500;
constexpr uint32_t kReadTimeoutMs = 1;
constexpr size_t kStoreDeviceChars = 245;
const wchar_t kFlashDiskKey[] = L"System\\StorageManager\\Profiles\\MSFlash";

// One buffer receives every message in turn.
MountNotification Message;

// The volume path of a message: its UTF-16 name, up to the terminator, made
// wide. false when the name is empty, does not end within the bytes that
// arrived (a message is never read past) or is not valid UTF-16.
bool NotificationVolume(const MountNotification& message, uint32_t bytes, wchar_t* out,
                        size_t cap)
{
    if (bytes > sizeof(MountNotification)) return false;
    if (bytes < offsetof(MountNotification, name)) return false;
    const size_t units = (bytes - offsetof(MountNotification, name)) / sizeof(char16_t);
    size_t n = 0;
    // A volume is a folder of the device: a name without its leading
    // separator is taken from the root, never as a path of the host.
    if (units > 0 && message.name[0] != u'\\' && message.name[0] != 0) out[n++] = L'\\';
    for (size_t i = 0; i < units; ++i) {
        char32_t c = message.name[i];
        if (c == 0) {
            out[n] = L'\0';
            return n > 0;   // an empty name names no volume
        }
        // Wide text is UTF-16 as the message is: a surrogate pair stays a
        // pair, whatever the width of wchar_t.
        if (c >= 0xD800 && c <= 0xDBFF) {
            if (i + 1 >= units) return false;
            const char32_t low = message.name[i + 1];
            if (low < 0xDC00 || low > 0xDFFF) return false;
            if (n + 2 >= cap) return false;
            out[n++] = static_cast<wchar_t>(c);
            out[n++] = static_cast<wchar_t>(low);
            ++i;
            continue;
        }
        if (c >= 0xDC00 && c <= 0xDFFF) return false;
        if (n + 1 >= cap) return false;
        out[n++] = static_cast<wchar_t>(c);
    }
    return false;   // no terminator within the message
}

}  // namespace

Handle ProbeStore(const wchar_t* device)
{
    wchar_t name[kPathChars];
    std::wmemset(name, L'\0', kPathChars);
    std::wcscpy(name, L"\\StoreMgr\\");
    std::wcsncat(name, device, kStoreDeviceChars);
    return OsCreateFile(name, 0, 0, 0, 0);
}

void ProcessVolume(const wchar_t* volume)
{
    AutoCopyVolume(volume);
    LaunchAutoRun(volume, Executables);
    LaunchAutoRun(volume, Shortcuts);
}

void DrainNotifications(Handle queue)
{
    for (;;) {
        uint32_t bytes = 0;
        uint32_t flags = 0;
        if (OsReadMsgQueue(queue, &Message, sizeof(Message), &bytes, kReadTimeoutMs, &flags) != 1)
            return;
        // Shift held: this volume is skipped. Messages still queued stay
        // there; the loop's wait reports them at once.
        if (OsGetKeyState(OS_VK_SHIFT) != 0) return;
        wchar_t volume[kPathChars];
        if (!NotificationVolume(Message, bytes, volume, kPathChars)) continue;
        ProcessVolume(volume);
    }
}

namespace {

// The start-up pass over the internal flash disk. It does not look at Shift.
void ProcessFlashDisk()
{
    Handle store = ProbeStore(L"DSK0:");
    if (store == OS_INVALID_HANDLE) return;
    OsCloseHandle(store);

    wchar_t folder[kPathChars];
    std::wmemset(folder, L'\0', kPathChars);
    RegKey key = nullptr;
    uint32_t disposition = 0;
    if (OsRegCreateKeyEx(OS_HKEY_LOCAL_MACHINE, kFlashDiskKey, &key, &disposition) ==
        OS_ERROR_SUCCESS) {
        uint32_t type = 0;
        uint32_t size = sizeof(folder);
        const long result = OsRegQueryValueEx(key, L"Folder", &type, folder, &size);
        OsRegCloseKey(key);
        // Only a string that ends within the buffer is a folder path.
        if (result != OS_ERROR_SUCCESS || type != OS_REG_SZ ||
            std::wmemchr(folder, L'\0', kPathChars) == nullptr) {
            folder[0] = L'\0';
        }
    }
    if (folder[0] == L'\0') return;

    // A folder without a leading separator is taken from the root of the
    // file system, as on the device, never from wherever we were started.
    wchar_t volume[kPathChars];
    if (folder[0] == L'\\') {
        std::wcscpy(volume, folder);
    } else if (OsFormat(volume, kPathChars, L"\\%ls", folder) < 0) {
        return;
    }

    OsFindData found;
    Handle search = OsFindFirstFile(volume, &found);
    if (search == OS_INVALID_HANDLE) return;
    OsFindClose(search);
    ProcessVolume(volume);
}

}  // namespace

int ServiceMain(Instance, Instance, wchar_t*, int)
{
    Handle queue = OsCreateMsgQueue(nullptr, &QueueOptions);
    if (queue == nullptr) return 0;
    // Requested before the pause, so that volumes mounted already or during
    // the pause and the start-up pass wait in the queue.
    Handle notifications = OsRequestDeviceNotifications(&FatMountClass, queue, 1);
    OsSleep(kStartPauseMs);
    ProcessFlashDisk();
    while (OsWaitForSingleObject(queue, OS_INFINITE) == OS_WAIT_OBJECT_0)
        DrainNotifications(queue);
    if (notifications != nullptr) OsStopDeviceNotifications(notifications);
    OsCloseMsgQueue(queue);
    return 0;
}
