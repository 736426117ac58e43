#include "tools/boardsim/flash_view.h"

#include <algorithm>
#include <cstdio>

namespace flashview {

using imagekit::Bytes;
using imagekit::Get32;

std::string Hex8(uint32_t v)
{
    char b[16];
    std::snprintf(b, sizeof b, "0x%08x", v);
    return b;
}

std::string DateOf(uint64_t ft)
{
    const uint64_t kEpochDiff = 116444736000000000ull;
    if (ft < kEpochDiff)
        return "(before 1970)";
    int64_t secs = int64_t((ft - kEpochDiff) / 10000000);
    int64_t days = secs / 86400, rem = secs % 86400;
    // Civil date from days since 1970-01-01.
    days += 719468;
    int64_t era = days / 146097;
    int64_t doe = days - era * 146097;
    int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    int64_t y = yoe + era * 400;
    int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    int64_t mp = (5 * doy + 2) / 153;
    int64_t d = doy - (153 * mp + 2) / 5 + 1;
    int64_t m = mp + (mp < 10 ? 3 : -9);
    if (m <= 2)
        ++y;
    char b[48];
    std::snprintf(b, sizeof b, "%04lld-%02lld-%02lld %02lld:%02lld:%02lld UTC", (long long)y, (long long)m,
                  (long long)d, (long long)(rem / 3600), (long long)(rem / 60 % 60), (long long)(rem % 60));
    return b;
}

std::string NameAt(const Bytes& f, uint64_t off, uint64_t limit)
{
    std::string s;
    for (uint64_t i = off; i < f.size() && i < off + limit; ++i) {
        if (f[i] == 0)
            return s;
        s += (f[i] >= 0x20 && f[i] < 0x7F) ? char(f[i]) : '?';
    }
    return "";
}

namespace {

bool Erased(const Bytes& f, uint64_t from, uint64_t to)
{
    to = std::min<uint64_t>(to, f.size());
    return from < to && std::all_of(f.begin() + from, f.begin() + to, [](uint8_t b) { return b == 0xFF; });
}

}  // namespace

BlockState StateOf(const Bytes& f, uint32_t block)
{
    int erased = 0, pages = 0;
    for (uint64_t p = block; p < uint64_t(block) + kBlock; p += kPage, ++pages)
        if (Erased(f, p, p + kPage))
            ++erased;
    return erased == pages ? BlockState::Erased : erased == 0 ? BlockState::Written : BlockState::Partly;
}

bool SpanIncomplete(const Bytes& f, uint32_t start, uint32_t length, uint32_t* erasedBlocks)
{
    const uint64_t end = std::min<uint64_t>(uint64_t(start) + length, f.size());
    uint32_t gaps = 0;
    bool wholeErased = false;
    for (uint64_t b = (uint64_t(start) + kBlock - 1) / kBlock * kBlock; b + kBlock <= end; b += kBlock) {
        const BlockState st = StateOf(f, uint32_t(b));
        gaps += st != BlockState::Written ? 1 : 0;
        wholeErased = wholeErased || st == BlockState::Erased;
    }
    *erasedBlocks = gaps;
    if (end <= start)
        return false;
    const uint64_t tail = end - start > kPage ? end - kPage : start;
    return wholeErased || Erased(f, tail, end);
}

std::vector<Image> FindImages(const Bytes& f, std::vector<uint32_t>* badHeaders)
{
    std::vector<Image> out;
    for (uint32_t p = 0; uint64_t(p) + kBlock <= f.size(); p += kBlock) {
        if (Get32(f, p + 0x40) == imagekit::kRomSignature) {
            uint32_t h = p + (Get32(f, p + 0x48) & ~3u);
            if (h < p || uint64_t(h) + imagekit::kRomHeaderSize > f.size()) {
                if (badHeaders != nullptr)
                    badHeaders->push_back(p);
                continue;
            }
            uint32_t first = Get32(f, h + 8), last = Get32(f, h + 12), count = Get32(f, h + 16);
            Image img{"ROM image", p, last - first + 4, {}, false, 0,
                      first, last, count, Get32(f, p + 0x44) - Get32(f, p + 0x48) == first};
            for (uint32_t i = 0; i < count && i < 64; ++i) {
                uint64_t e = uint64_t(h) + imagekit::kRomHeaderSize + uint64_t(i) * imagekit::kTocEntrySize;
                if (e + imagekit::kTocEntrySize > f.size())
                    break;
                uint64_t ft = uint64_t(Get32(f, e + 4)) | uint64_t(Get32(f, e + 8)) << 32;
                img.modules.push_back({NameAt(f, uint64_t(p) + uint32_t(Get32(f, e + 0x10) - first)), ft});
            }
            out.push_back(img);
        } else if (p != 0 && Get32(f, p) == imagekit::kCompMarker) {
            out.push_back({"compressed image", p, Get32(f, p + 8), {}, false, 0});
        }
    }
    for (Image& img : out)
        img.incomplete = SpanIncomplete(f, img.start, img.length, &img.erasedBlocks);
    return out;
}

}  // namespace flashview
