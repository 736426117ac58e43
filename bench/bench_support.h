// Shared pieces of the benchmarks: the progress dialog the update worker
// writes into, and a board of its own in a temporary directory.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "platform/ui.h"

namespace bench {

// The progress dialog's controls, as the worker expects them.
extern const OsDialogTemplate kProgressDialog;

// Writes bytes to rootfs/name of the current board and returns the device
// path ("\name"). Empty on failure.
std::wstring PlaceInRoot(const std::string& rootfs, const std::string& name,
                         const std::vector<uint8_t>& bytes);

// Flash bus blocks of [offset, offset+n) that hold anything but 0xFF.
uint32_t DirtyBlocks(uint32_t offset, uint32_t n, uint32_t blockBytes);

}  // namespace bench
