// Data shared by the user-interface thread and the update worker.
#pragma once
#include <atomic>
#include <cstdint>

// Path of the image file to write: set by "/u" or the open-file dialog,
// read by the worker and emptied by it when it ends.
constexpr int IMAGE_PATH_CHARS = 260;
extern wchar_t ImagePath[IMAGE_PATH_CHARS];

// Raised by the progress dialog's Abort button, read by the worker at its
// test points. 0 at program start.
extern std::atomic<uint32_t> AbortRequested;
