// Open files, the same for both backends: what OsCreateFile checks and
// opens (a store, or a file through the backend), OsReadFile with its
// read-ahead, OsSetFilePointer and OsGetFileTime (open_file.cpp). The
// backend opens the file and makes its single reads, seeks and time.
#pragma once
#include <cstdint>
#include <memory>
#include <mutex>

#include "platform/common/object.h"
#include "platform/files.h"

// An open file. Large sequential reads go through a read-ahead buffer:
// every read of the host costs more than a microsecond besides its copy,
// and a 20 MB image read in 16 KB pieces, twice, spent milliseconds on
// calls alone. What the buffer holds was read by one call at one moment,
// as any read's data is; a seek drops it, so a file rewritten and then
// read again from a position is seen as it is now. Small reads (a
// shortcut, a header before any large read) are passed on as they come.
struct OsFileObject : OsObject {
    static constexpr uint32_t kReadAheadBytes = 128 * 1024;
    static constexpr uint32_t kReadAheadFrom = 4096;   // requests from this size start the buffer

    // One read of up to n bytes at the file position: the bytes read, 0
    // at the end of the file, -1 on an error.
    virtual int64_t ReadOnce(void* buf, uint32_t n) = 0;
    // Moves the file position to offset. false when it cannot.
    virtual bool SeekTo(uint32_t offset) = 0;
    // The file's modification time (the board's creation time). false
    // when it has none.
    virtual bool ModificationTime(FileTime* time) = 0;

    std::mutex mutex;                  // the position and the buffer, for threads sharing the handle
    std::unique_ptr<uint8_t[]> ahead;  // allocated at the first large read
    uint32_t aheadAt = 0, aheadEnd = 0;  // the unread part: ahead[aheadAt, aheadEnd)
};

// The backend's: opens an existing regular file for reading (a device
// path beneath the root, or a host path), without blocking on a FIFO and
// without following a link on a device path. nullptr when it cannot.
OsFileObject* OsOpenFileForReading(const wchar_t* path);
