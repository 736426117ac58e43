// What boardsim's show, map and verify read out of a flash image: the
// images found where flashupdate's search looks, their modules with their
// dates, and whether an image's span looks cut off.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "board/imagekit.h"

namespace flashview {

constexpr uint32_t kBlock = 0x40000;   // erase block of the two devices together
constexpr uint32_t kPage = 0x1000;     // erased-or-not is judged per 4 KB

std::string Hex8(uint32_t v);
// A FILETIME (100 ns since 1601) as "YYYY-MM-DD hh:mm:ss UTC".
std::string DateOf(uint64_t fileTime);
// A zero-terminated narrow name at off (non-printable bytes as '?'), or ""
// when it does not end within limit bytes or the flash.
std::string NameAt(const imagekit::Bytes& f, uint64_t off, uint64_t limit = 64);

enum class BlockState { Erased, Written, Partly };
// The 256 KB block at `block`, judged per 4 KB page.
BlockState StateOf(const imagekit::Bytes& f, uint32_t block);

// Whether the image spanning [start, start + length) of f looks cut off:
// a whole block inside the span reads erased, or the span's last 4 KB (or
// less) does. An update stopped after its erase leaves that; a written
// image has data at its end and no erased block inside it. *erasedBlocks:
// the erased or partly written blocks wholly inside the span.
bool SpanIncomplete(const imagekit::Bytes& f, uint32_t start, uint32_t length, uint32_t* erasedBlocks);

struct Module {
    std::string name;
    uint64_t fileTime;
};

struct Image {
    std::string kind;   // "ROM image" or "compressed image"
    uint32_t start, length;
    std::vector<Module> modules;
    bool incomplete;
    uint32_t erasedBlocks;
    // A ROM image's addresses (first..last), whether its header's own
    // address agrees with them, and how many modules its header names.
    uint32_t first = 0, last = 0, moduleCount = 0;
    bool consistent = true;
};

// The images at 256 KB steps (and a ROM image at 0, the bootloader's
// place), as the partition table's search finds them; f holds the whole
// flash. A ROM signature whose header offset points outside the flash is
// no image: its offset goes to *badHeaders (may be null).
std::vector<Image> FindImages(const imagekit::Bytes& f, std::vector<uint32_t>* badHeaders = nullptr);

}  // namespace flashview
