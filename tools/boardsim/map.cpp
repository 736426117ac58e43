// boardsim map: the board's flash as an SVG picture, drawn to scale (one
// pixel for 32 KB): the named regions that flashupdate's overlap warning
// knows, the images found in flash with their modules, every 256 KB block
// as erased, written or partly written, and the registry area. SVG because
// it is plain text: readable in any browser, checkable by a script, and
// written without any library.
#include "tools/boardsim/map.h"

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "board/board.h"
#include "board/bus.h"
#include "board/hal.h"
#include "board/imagekit.h"
#include "board/registry_store.h"
#include "tools/boardsim/flash_view.h"

namespace {

using flashview::BlockState;
using flashview::Hex8;
using flashview::Image;
using flashview::kBlock;
using imagekit::Bytes;

constexpr double kBytesPerPx = 32768.0;
constexpr int kLeft = 20;
// Widths the labels take (sans-serif): "0x00080000" at 9 px, "registry
// area" at 10 px.
constexpr int kHexLabelPx = 56;
constexpr int kDigitPx = 6;
constexpr int kRegistryLabelPx = 66;

struct Region {
    std::string name;
    uint32_t start, length;
};

std::string Size(uint64_t bytes)
{
    char b[32];
    if (bytes >= (1u << 20) && bytes % (1u << 20) == 0)
        std::snprintf(b, sizeof b, "%llu MB", (unsigned long long)(bytes >> 20));
    else if (bytes >= 1024 && bytes % 1024 == 0)
        std::snprintf(b, sizeof b, "%llu KB", (unsigned long long)(bytes >> 10));
    else
        std::snprintf(b, sizeof b, "%llu bytes", (unsigned long long)bytes);
    return b;
}

std::string Escape(const std::string& s)
{
    std::string out;
    for (char c : s) {
        switch (c) {
        case '<': out += "&lt;"; break;
        case '>': out += "&gt;"; break;
        case '&': out += "&amp;"; break;
        case '"': out += "&quot;"; break;
        default: out += (c >= 0x20 && c < 0x7F) ? c : '?';
        }
    }
    return out;
}

// The five named regions as flashupdate's partition table has them on this
// board: the fixed ones, the running image, the HAL's registry area and the
// registry's flash disk.
std::vector<Region> Regions(const std::vector<Image>& images)
{
    std::vector<Region> r = {{"Bootloader", 0, 0x40000}, {"ConfigBlock", 0x40000, 0x40000}};
    Region image{"IMAGE", 0, 0};
    for (const Image& i : images)
        if (i.start >= 0x40000) {
            image = {"IMAGE", i.start, (i.length + 0x3FFFF) & ~0x3FFFFu};
            break;
        }
    r.push_back(image);
    Region registry{"Registry", 0x1400000, 0x80000};
    uint32_t w[3];
    if (board::HalSelector5(w))
        registry = {"Registry", w[1], w[2] * 2};
    r.push_back(registry);
    Region fs{"FileSystem", 0x14800000, 0x0B800000};
    board::RegValue v;
    if (board::RegGetValue("Drivers\\BuiltIn\\StrataFMD", "MemBase", &v) && v.type == board::kRegDword)
        fs.start = v.dword;
    if (board::RegGetValue("Drivers\\BuiltIn\\StrataFMD", "MemLen", &v) && v.type == board::kRegDword)
        fs.length = v.dword;
    r.push_back(fs);
    return r;
}

// Partly written blocks and cut-off images are striped, so that neither
// can be taken for a region's flat colour.
const std::string kPatterns =
    "<defs>\n"
    "<pattern id=\"partly\" width=\"6\" height=\"6\" patternUnits=\"userSpaceOnUse\" "
    "patternTransform=\"rotate(45)\"><rect width=\"6\" height=\"6\" fill=\"#ffffff\"/>"
    "<rect width=\"3\" height=\"6\" fill=\"#1d3f66\"/></pattern>\n"
    "<pattern id=\"incomplete\" width=\"6\" height=\"6\" patternUnits=\"userSpaceOnUse\" "
    "patternTransform=\"rotate(-45)\"><rect width=\"6\" height=\"6\" fill=\"#e89a9a\"/>"
    "<rect width=\"2\" height=\"6\" fill=\"#a00000\"/></pattern>\n"
    "</defs>\n";

int X(uint64_t offset)
{
    return kLeft + int(std::min<uint64_t>(offset, board::kFlashSize) / kBytesPerPx);
}

struct Svg {
    std::string body;
    void Rect(int x, int y, int w, int h, const char* fill, const std::string& title, const char* cls)
    {
        body += "<rect class=\"" + std::string(cls) + "\" x=\"" + std::to_string(x) + "\" y=\"" + std::to_string(y) +
                "\" width=\"" + std::to_string(std::max(w, 1)) + "\" height=\"" + std::to_string(h) +
                "\" fill=\"" + fill + "\" stroke=\"#333\" stroke-width=\"0.5\"><title>" + Escape(title) +
                "</title></rect>\n";
    }
    void Line(int x, int y1, int y2)
    {
        body += "<line x1=\"" + std::to_string(x) + "\" y1=\"" + std::to_string(y1) + "\" x2=\"" + std::to_string(x) +
                "\" y2=\"" + std::to_string(y2) + "\" stroke=\"#bbb\"/>\n";
    }
    void Text(int x, int y, const std::string& text, int size = 12, const char* extra = "")
    {
        body += "<text x=\"" + std::to_string(x) + "\" y=\"" + std::to_string(y) + "\" font-size=\"" +
                std::to_string(size) + "\"" + extra + ">" + Escape(text) + "</text>\n";
    }
};

}  // namespace

int MapCommand(const std::vector<std::string>& args)
{
    if (args.size() != 1 || args[0].empty()) {
        std::fprintf(stderr, "boardsim: map needs one argument, the SVG file to write\n"
                             "Usage: boardsim map FILE.svg\n");
        return 2;
    }
    if (!board::Ensure())   // a new user gets the default board first, as everywhere
        return 1;
    Bytes f;
    if (!imagekit::ReadFile(board::FlashImagePath(), &f)) {
        std::fprintf(stderr, "boardsim: cannot read %s\n", board::FlashImagePath().c_str());
        return 1;
    }
    f.resize(board::kFlashSize, 0xFF);
    std::vector<Image> images = flashview::FindImages(f);
    std::vector<Region> regions = Regions(images);
    uint32_t regOff = 0, regLen = 0;
    board::HalRegistryArea(&regOff, &regLen);

    const char* kRegionFill[] = {"#f4c28f", "#f7e08f", "#9fd0f0", "#c8a8e8", "#a8e0b0"};
    Svg svg;
    int width = X(board::kFlashSize) + kLeft;
    // A long board path keeps its end, so that the title stays on the picture.
    std::string dir = board::Dir();
    if (dir.size() > 72)
        dir = "..." + dir.substr(dir.size() - 69);
    svg.Text(kLeft, 24, "Flash of the board in " + dir + " (32 MB, one pixel = 32 KB)", 15,
             " font-weight=\"bold\"");
    // The scale: a label over each 4 MB mark (the last one ends there, so
    // that it stays on the picture), the marks in the lanes behind them.
    for (int mb = 0; mb <= 32; mb += 4) {
        const int x = X(uint64_t(mb) << 20);
        svg.Text(x, 50, std::to_string(mb) + " MB", 10,
                 mb == 0 ? "" : mb == 32 ? " text-anchor=\"end\"" : " text-anchor=\"middle\"");
        svg.Line(x, 54, 60);
        svg.Line(x, 76, 102);
        svg.Line(x, 176, 202);
    }

    // Lane 1: the named regions.
    svg.Text(kLeft, 70, "Regions (flashupdate's overlap warning)", 12, " font-weight=\"bold\"");
    for (size_t i = 0; i < regions.size(); ++i) {
        const Region& r = regions[i];
        if (r.length == 0 || r.start >= board::kFlashSize)
            continue;
        uint64_t end = std::min<uint64_t>(uint64_t(r.start) + r.length, board::kFlashSize);
        int w = X(end) - X(r.start);
        svg.Rect(X(r.start), 76, w, 26, kRegionFill[i % 5], r.name + " " + Hex8(r.start) + ", " + Size(r.length),
                 "region");
        if (int(r.name.size()) * 6 + 4 < w)   // a narrow region is named by the legend only
            svg.Text(X(r.start) + 2, 93, r.name, 10);
    }
    // The legend: each region's colour and name, in table order.
    int lx = X(board::kFlashSize) - 5 * 90;
    for (size_t i = 0; i < regions.size(); ++i) {
        svg.body += "<rect x=\"" + std::to_string(lx) + "\" y=\"61\" width=\"10\" height=\"10\" fill=\"" +
                    kRegionFill[i % 5] + "\" stroke=\"#333\" stroke-width=\"0.5\"/>\n";
        svg.Text(lx + 13, 70, regions[i].name, 10);
        lx += 90;
    }

    // Lane 2: the blocks.
    svg.Text(kLeft, 122, "Blocks of 256 KB: erased (white), written (dark blue), partly written (dark stripes)", 12,
             " font-weight=\"bold\"");
    int counts[3] = {0, 0, 0};
    for (uint32_t b = 0; b < board::kFlashSize; b += kBlock) {
        BlockState st = flashview::StateOf(f, b);
        counts[int(st)]++;
        const char* fill = st == BlockState::Erased ? "#ffffff" : st == BlockState::Written ? "#3a6ea5" : "url(#partly)";
        const char* what = st == BlockState::Erased ? "erased" : st == BlockState::Written ? "written" : "partly written";
        svg.Rect(X(b), 128, X(b + kBlock) - X(b), 22, fill, "block " + Hex8(b) + ": " + what,
                 st == BlockState::Erased ? "block erased" : st == BlockState::Written ? "block written" : "block partly");
    }

    // Lane 3: images and the registry area.
    svg.Text(kLeft, 170, "Images found, and the registry area", 12, " font-weight=\"bold\"");
    // Each image numbered as in the list below, its start beside the number
    // where that fits.
    for (size_t i = 0; i < images.size(); ++i) {
        const Image& img = images[i];
        uint64_t end = std::min<uint64_t>(uint64_t(img.start) + std::max(img.length, 1u), board::kFlashSize);
        const int w = X(end) - X(img.start);
        svg.Rect(X(img.start), 176, w, 26, img.incomplete ? "url(#incomplete)" : "#e89a9a",
                 img.kind + " at " + Hex8(img.start) + ", " + Size(img.length) + (img.incomplete ? ", INCOMPLETE" : ""),
                 img.incomplete ? "image incomplete" : "image");
        const std::string number = std::to_string(i + 1);
        if (w >= kDigitPx * int(number.size()) + 2)
            svg.Text(X(img.start) + w / 2, 193, number, 9, " text-anchor=\"middle\"");
        if (w >= kDigitPx * int(number.size()) + kHexLabelPx + 6)
            svg.Text(X(img.start) + w / 2 + kDigitPx * int(number.size()) / 2 + 4, 193, Hex8(img.start), 9);
    }
    if (regLen > 0 && regOff < board::kFlashSize) {
        const int x = X(regOff), w = X(uint64_t(regOff) + regLen) - x;
        svg.Rect(x, 176, w, 26, "#c8a8e8", "registry area " + Hex8(regOff) + ", " + Size(regLen), "registry");
        // Named beside it, where no image stands.
        const int labelEnd = x + w + 4 + kRegistryLabelPx;
        bool free = labelEnd <= X(board::kFlashSize);
        for (const Image& img : images)
            free = free && (X(img.start) >= labelEnd ||
                            X(std::min<uint64_t>(uint64_t(img.start) + img.length, board::kFlashSize)) <= x + w);
        if (free)
            svg.Text(x + w + 4, 193, "registry area", 10);
    }

    // Below: the same in words.
    int y = 236;
    svg.Text(kLeft, y, "Regions", 13, " font-weight=\"bold\"");
    for (const Region& r : regions) {
        y += 16;
        std::string where = r.length == 0 ? "empty" : Hex8(r.start) + " .. " + Hex8(r.start + r.length) + ", " + Size(r.length);
        if (r.length && uint64_t(r.start) >= board::kFlashSize)
            where += " (beyond the 32 MB flash)";
        svg.Text(kLeft + 10, y, r.name + ": " + where);
    }
    y += 26;
    svg.Text(kLeft, y, "Images", 13, " font-weight=\"bold\"");
    if (images.empty()) {
        y += 16;
        svg.Text(kLeft + 10, y, "none found");
    }
    for (size_t i = 0; i < images.size(); ++i) {
        const Image& img = images[i];
        y += 16;
        std::string line = std::to_string(i + 1) + ". " + img.kind + " at " + Hex8(img.start) + ", length " + Hex8(img.length) + " (" +
                           Size(img.length) + ")";
        if (img.incomplete)
            line += ": INCOMPLETE, " + std::to_string(img.erasedBlocks) + " block" +
                    (img.erasedBlocks == 1 ? "" : "s") + " of its span erased or partly written";
        if (!img.modules.empty())
            line += ", " + std::to_string(img.modules.size()) + (img.modules.size() == 1 ? " module:" : " modules:");
        svg.Text(kLeft + 10, y, line, 12, img.incomplete ? " fill=\"#a00000\"" : "");
        for (const flashview::Module& m : img.modules) {
            y += 16;
            svg.Text(kLeft + 40, y, (m.name.empty() ? "?" : m.name) + "  " + flashview::DateOf(m.fileTime));
        }
    }
    y += 26;
    svg.Text(kLeft, y, "Blocks: " + std::to_string(counts[1]) + " written, " + std::to_string(counts[2]) +
                           " partly written, " + std::to_string(counts[0]) + " erased", 13);
    y += 18;
    std::string saved;
    svg.Text(kLeft, y, "Registry area " + Hex8(regOff) + ", " + Size(regLen) + ": " +
                           (board::RegReadFlash(&saved) ? "a saved registry" : "no saved registry"), 13);
    y += 20;

    std::string out = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"" +
                      std::to_string(width) + "\" height=\"" + std::to_string(y) +
                      "\" font-family=\"sans-serif\">\n" + kPatterns + "<rect width=\"100%\" height=\"100%\" fill=\"#fafafa\"/>\n" +
                      svg.body + "</svg>\n";
    if (!imagekit::WriteFile(args[0], Bytes(out.begin(), out.end()))) {
        std::fprintf(stderr, "boardsim: cannot write %s\n", args[0].c_str());
        return 1;
    }
    std::printf("boardsim: map of the flash written to %s\n", args[0].c_str());
    return 0;
}
