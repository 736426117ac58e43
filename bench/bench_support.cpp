#include "bench/bench_support.h"

#include <algorithm>

#include "board/flash_device.h"
#include "board/imagekit.h"

namespace bench {

namespace {
const OsDialogItem kItems[] = {
    {1004, L"STATIC", L"", 5, 5, 200, 10, 0},
    {1002, L"msctls_progress32", L"", 5, 20, 200, 10, 0},
    {1005, L"STATIC", L"", 5, 35, 200, 10, 0},
    {1003, L"msctls_progress32", L"", 5, 50, 200, 10, 0},
    {2, L"BUTTON", L"Abort", 80, 65, 50, 14, 0},
};
}  // namespace

const OsDialogTemplate kProgressDialog = {L"Update", 0, 0, 0, 210, 85, L"", 8, 5, kItems};

std::wstring PlaceInRoot(const std::string& rootfs, const std::string& name,
                         const std::vector<uint8_t>& bytes)
{
    if (!imagekit::WriteFile(rootfs + "/" + name, bytes))
        return L"";
    return L"\\" + std::wstring(name.begin(), name.end());
}

uint32_t DirtyBlocks(uint32_t offset, uint32_t n, uint32_t blockBytes)
{
    uint32_t dirty = 0;
    std::vector<uint8_t> block(blockBytes);
    for (uint32_t at = offset - offset % blockBytes; at < offset + n; at += blockBytes) {
        if (!board::FlashPeek(block.data(), at, blockBytes))
            return 0;
        if (std::any_of(block.begin(), block.end(), [](uint8_t v) { return v != 0xFF; }))
            ++dirty;
    }
    return dirty;
}

}  // namespace bench
