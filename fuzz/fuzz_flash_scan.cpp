// The running-image search and the version report on arbitrary flash
// contents. The input is written into the board's flash at offset 0 (the
// bootloader's 128 KB that the report reads), at 0x40000 (the first step of
// the image search) and at 0x1FC0000 (the last step, so that header fields
// point past the window's end); the previous input's bytes are erased
// first. The board stops the program at any read outside the mapping.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cwchar>
#include <string>
#include <vector>

#include "board/board.h"
#include "flash/flash_access.h"
#include "flash/flash_layout.h"
#include "fuzz/fuzz_support.h"
#include "platform/testing/ui_double.h"
#include "version/bsp_version.h"

namespace {

const uint32_t kPlaces[] = {0, 0x40000, 0x1FC0000};
constexpr size_t kMaxPlaced = 0x40000;   // one search step
size_t g_lastSize = 0;

void WriteFlash(uint32_t offset, const uint8_t* data, size_t size)
{
    int fd = open(board::FlashImagePath().c_str(), O_WRONLY | O_CLOEXEC);
    if (fd < 0)
        fuzz::Fail("cannot open flash.img");
    if (pwrite(fd, data, size, off_t(offset)) != ssize_t(size))
        fuzz::Fail("cannot write flash.img");
    close(fd);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    fuzz::Board();
    size = std::min(size, kMaxPlaced);
    std::vector<uint8_t> erased(g_lastSize, 0xFF);
    for (uint32_t place : kPlaces) {
        if (!erased.empty())
            WriteFlash(place, erased.data(), erased.size());
        WriteFlash(place, data, size);
    }
    g_lastSize = size;

    uint8_t* window = MapFlashWindow(FLASH_WINDOW_FULL);
    if (window == nullptr)
        fuzz::Fail("no flash window");
    uint32_t start = 0, length = 0;
    if (FindRunningImage(window, FLASH_WINDOW_FULL, &start, &length)) {
        if (start == 0 || start % IMAGE_SEARCH_STEP != 0 || start >= FLASH_WINDOW_FULL)
            fuzz::Fail("the image search found a position it never looks at");
    }
    UnmapFlashWindow(window);

    std::copy(DefaultFlashLayout, DefaultFlashLayout + FLASH_REGION_COUNT, FlashLayout);
    if (RefreshFlashLayout() != 1)
        fuzz::Fail("RefreshFlashLayout failed");

    uidouble::Install();
    ShowBspVersion(nullptr);
    std::vector<uidouble::Box> boxes = uidouble::Boxes();
    if (boxes.size() != 1 || boxes[0].caption != L"BSP Verison")
        fuzz::Fail("the version report did not show exactly its one box");
    if (boxes[0].text.size() >= REPORT_CHARS || boxes[0].text.find(L"Bootloader") == std::wstring::npos)
        fuzz::Fail("the version report's text is cut or too long");
    uidouble::Uninstall();
    return 0;
}
