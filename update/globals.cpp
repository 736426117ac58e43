#include "update/globals.h"

wchar_t ImagePath[IMAGE_PATH_CHARS];
std::atomic<uint32_t> AbortRequested{0};
