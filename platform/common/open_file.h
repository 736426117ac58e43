// Open files, the same for both backends (open_file.cpp); the backend
// opens the file and makes its single reads, seeks and time.
#pragma once
#include <cstdint>
#include <mutex>

#include "platform/common/object.h"
#include "platform/files.h"

struct OsFileObject : OsObject {
    // One read of up to n bytes at the file position: the bytes read, 0
    // at the end of the file, -1 on an error.
    virtual int64_t ReadOnce(void* buf, uint32_t n) = 0;
    // Moves the file position to offset. false when it cannot.
    virtual bool SeekTo(uint32_t offset) = 0;
    // The file's modification time (the board's creation time). false
    // when it has none.
    virtual bool ModificationTime(FileTime* time) = 0;

    std::mutex mutex;   // one read or seek at a time, for threads sharing the handle
};

// The backend's: opens an existing regular file for reading (a device
// path beneath the root, or a host path), without blocking on a FIFO and
// without following a link on a device path. nullptr when it cannot.
OsFileObject* OsOpenFileForReading(const wchar_t* path);
