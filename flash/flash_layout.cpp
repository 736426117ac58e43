#include "flash/flash_layout.h"

#include <cwchar>

#include "device/hal_requests.h"
#include "flash/flash_access.h"
#include "platform/mmio.h"
#include "platform/registry.h"
#include "platform/text.h"
#include "platform/ui.h"

FlashRegion FlashLayout[FLASH_REGION_COUNT] = {
    {L"Bootloader", 0x0, 0x40000, 3, 0},
    {L"ConfigBlock", 0x40000, 0x40000, 3, 0},
    {L"IMAGE", 0x80000, 0x1400000, 3, 0},
    {L"Registry", 0x1400000, 0x80000, 0, 0},
    {L"FileSystem", 0x14800000, 0x0B800000, 0, 0},
};

namespace {

const wchar_t kFlashDriverKey[] = L"Drivers\\BuiltIn\\StrataFMD";
constexpr uint32_t kKeyAllAccess = 0xF003F;
constexpr uint32_t kWarningStyle = OS_MB_OKCANCEL | OS_MB_ICONEXCLAMATION | OS_MB_DEFBUTTON2;  // 0x131
constexpr size_t kMessageChars = 256;
constexpr size_t kLineChars = 100;

// A word of the window, or 0 when [offset, offset+4) is not inside it.
int ReadWindowWord(const uint8_t* window, uint32_t windowSize, uint64_t offset, uint32_t* value)
{
    if (offset + 4 > windowSize)
        return 0;
    *value = OsRead32(window + offset);
    return 1;
}

// Reads a 4-byte registry value into *field; a missing value leaves it.
void QueryWord(RegKey key, const wchar_t* name, uint32_t* field)
{
    uint32_t value = 0;
    uint32_t size = sizeof(value);
    if (OsRegQueryValueEx(key, name, nullptr, &value, &size) == OS_ERROR_SUCCESS)
        *field = value;
}

}  // namespace

int FindRunningImage(const uint8_t* window, uint32_t windowSize, uint32_t* start, uint32_t* length)
{
    if (window == nullptr)
        return 0;
    for (uint64_t p = IMAGE_SEARCH_STEP; p + IMAGE_SEARCH_STEP <= windowSize; p += IMAGE_SEARCH_STEP) {
        uint32_t word = 0;
        if (ReadWindowWord(window, windowSize, p + ROM_SIGNATURE_OFFSET, &word) && word == ROM_SIGNATURE) {
            uint32_t headerOffset = 0;
            uint32_t first = 0;
            uint32_t last = 0;
            if (!ReadWindowWord(window, windowSize, p + ROM_HEADER_POINTER_OFFSET, &headerOffset))
                continue;
            uint64_t header = p + (headerOffset & ~3u);
            if (!ReadWindowWord(window, windowSize, header + ROMHDR_FIRST_ADDRESS, &first) ||
                !ReadWindowWord(window, windowSize, header + ROMHDR_LAST_ADDRESS, &last))
                continue;   // a header beyond the flash: no image here
            *start = static_cast<uint32_t>(p);
            *length = last - first + 4;
            return 1;
        }
        if (ReadWindowWord(window, windowSize, p, &word) && word == ROM_COMP_MARKER) {
            uint32_t len = 0;
            if (!ReadWindowWord(window, windowSize, p + ROM_COMP_LENGTH_OFFSET, &len))
                continue;
            *start = static_cast<uint32_t>(p);
            *length = len;
            return 1;
        }
    }
    return 0;
}

int RefreshFlashLayout()
{
    uint8_t* window = MapFlashWindow(FLASH_WINDOW_FULL);
    if (window != nullptr) {
        uint32_t start = 0;
        uint32_t length = 0;
        if (!FindRunningImage(window, FLASH_WINDOW_FULL, &start, &length)) {
            start = 0;
            length = 0;
        }
        FlashRegion& image = FlashLayout[REGION_IMAGE];
        image.start = start;
        // The length comes from a header in the flash: one so large (a last
        // address below the first, say) that rounding it up would wrap to
        // an empty row keeps the largest row there is instead.
        constexpr uint32_t kLargestRow = ~(IMAGE_SEARCH_STEP - 1);
        image.length = length > kLargestRow ? kLargestRow : (length + (IMAGE_SEARCH_STEP - 1)) & kLargestRow;
        image.imageLength = length;
    }

    uint32_t block[6] = {};
    if (ConfigGet(CONFIG_SELECTOR_FLASH, block, sizeof(block)) != 0) {
        FlashLayout[REGION_REGISTRY].start = block[1];
        FlashLayout[REGION_REGISTRY].length = block[2] * 2;
    }

    RegKey key = nullptr;
    if (OsRegOpenKeyEx(OS_HKEY_LOCAL_MACHINE, kFlashDriverKey, 0, kKeyAllAccess, &key) == OS_ERROR_SUCCESS) {
        QueryWord(key, L"MemBase", &FlashLayout[REGION_FILESYSTEM].start);
        QueryWord(key, L"MemLen", &FlashLayout[REGION_FILESYSTEM].length);
        OsRegCloseKey(key);
    }

    UnmapFlashWindow(window);
    return 1;
}

int CheckImageOverlap(uint32_t start, uint32_t length, Window owner)
{
    RefreshFlashLayout();

    wchar_t message[kMessageChars];
    std::wmemset(message, 0, kMessageChars);
    bool listed = false;
    for (const FlashRegion& region : FlashLayout) {
        if (region.length == 0)
            continue;
        // In 64 bits: the rows come from the flash, the HAL and the
        // registry, and a row that wraps past 4 GB must not drop out.
        const uint64_t regionEnd = static_cast<uint64_t>(region.start) + region.length;
        if (!(start < regionEnd && static_cast<uint64_t>(start) + length > region.start))
            continue;
        if (!listed) {
            std::wcsncat(message, L"This Image will overwrite the following sections:\n",
                         kMessageChars - 1 - std::wcslen(message));
            listed = true;
        }
        wchar_t line[kLineChars];
        OsFormat(line, kLineChars, L"%ls\n", region.name);
        std::wcsncat(message, line, kMessageChars - 1 - std::wcslen(message));
    }
    if (!listed)
        return 1;
    std::wcsncat(message, L"\n\nAre you sure you want to continue?", kMessageChars - 1 - std::wcslen(message));
    return OsMessageBox(owner, message, L"WARNING", kWarningStyle) == OS_IDCANCEL ? 0 : 1;
}
