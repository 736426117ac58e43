// Open files, the same for both backends (see open_file.h).
#include "platform/common/open_file.h"

#include "platform/common/device_path.h"

namespace {

// A storage-manager store: only probed for its existence.
struct StoreObject : OsObject {};

}  // namespace

Handle OsCreateFile(const wchar_t* path, uint32_t access, uint32_t /*share*/, uint32_t disposition,
                    uint32_t /*flags*/)
{
    if (path == nullptr)
        return OS_INVALID_HANDLE;
    if (disposition == 0)
        return OsIsKnownStorePath(path) ? OsHandleFor(new StoreObject) : OS_INVALID_HANDLE;
    // Only existing files are opened, and only for reading: the programs
    // write nothing but copies.
    if (disposition != OS_OPEN_EXISTING || (access & OS_GENERIC_WRITE) != 0 || path[0] == 0)
        return OS_INVALID_HANDLE;
    OsFileObject* file = OsOpenFileForReading(path);
    return file != nullptr ? OsHandleFor(file) : OS_INVALID_HANDLE;
}

int OsReadFile(Handle file, void* buf, uint32_t n, uint32_t* got)
{
    if (got != nullptr)
        *got = 0;
    OsObjectRef ref = OsObjectFromHandle(file);
    auto* object = ref.as<OsFileObject>();
    if (object == nullptr || (buf == nullptr && n > 0))
        return 0;
    std::lock_guard<std::mutex> lock(object->mutex);
    uint8_t* out = static_cast<uint8_t*>(buf);
    uint32_t total = 0;
    while (total < n) {
        const int64_t r = object->ReadOnce(out + total, n - total);
        if (r < 0)
            return 0;
        if (r == 0)
            break;
        total += static_cast<uint32_t>(r);
    }
    if (got != nullptr)
        *got = total;
    return 1;
}

int OsSetFilePointer(Handle file, uint32_t offset)
{
    OsObjectRef ref = OsObjectFromHandle(file);
    auto* object = ref.as<OsFileObject>();
    if (object == nullptr)
        return 0;
    std::lock_guard<std::mutex> lock(object->mutex);
    return object->SeekTo(offset) ? 1 : 0;
}

int OsGetFileTime(Handle file, FileTime* creation)
{
    OsObjectRef ref = OsObjectFromHandle(file);
    auto* object = ref.as<OsFileObject>();
    if (object == nullptr || creation == nullptr)
        return 0;
    return object->ModificationTime(creation) ? 1 : 0;
}
