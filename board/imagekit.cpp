// Image kit: .bin files, ROM images and bootloaders as bytes.
#include "board/imagekit.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace imagekit {

Bytes Pattern(size_t n, uint32_t seed)
{
    Bytes out(n);
    // xorshift32; a zero state would stay zero, so mix the seed first.
    uint32_t x = seed * 2654435761u ^ 0x9E3779B9u;
    if (x == 0)
        x = 0x12345678;
    for (size_t i = 0; i < n; ++i) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        uint8_t b = uint8_t(x >> 24);
        out[i] = b == 0xFF ? 0xCC : b;
    }
    return out;
}

uint32_t ByteSum(const uint8_t* data, size_t n)
{
    uint32_t sum = 0;
    for (size_t i = 0; i < n; ++i)
        sum += data[i];
    return sum;
}

void Put32(Bytes& b, size_t offset, uint32_t value)
{
    if (b.size() < offset + 4)
        b.resize(offset + 4, 0xFF);
    for (int i = 0; i < 4; ++i)
        b[offset + i] = uint8_t(value >> (8 * i));
}

void Put64(Bytes& b, size_t offset, uint64_t value)
{
    Put32(b, offset, uint32_t(value));
    Put32(b, offset + 4, uint32_t(value >> 32));
}

uint32_t Get32(const Bytes& b, size_t offset)
{
    if (offset > b.size() || b.size() - offset < 4)
        return 0;
    return uint32_t(b[offset]) | uint32_t(b[offset + 1]) << 8 | uint32_t(b[offset + 2]) << 16 |
           uint32_t(b[offset + 3]) << 24;
}

bool WriteFile(const std::string& path, const Bytes& bytes)
{
    FILE* f = std::fopen(path.c_str(), "wb");
    if (!f)
        return false;
    bool ok = bytes.empty() || std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
    ok = std::fflush(f) == 0 && ok;
    return std::fclose(f) == 0 && ok;
}

bool ReadFile(const std::string& path, Bytes* out)
{
    FILE* f = std::fopen(path.c_str(), "rb");
    if (!f)
        return false;
    out->clear();
    uint8_t buf[65536];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0)
        out->insert(out->end(), buf, buf + n);
    bool ok = !std::ferror(f);
    std::fclose(f);
    return ok;
}

uint64_t FileTimeOf(int year, int month, int day, int hour, int minute, int second)
{
    // Days since 1601-01-01 by the proleptic Gregorian calendar.
    auto daysFromCivil = [](int y, int m, int d) -> int64_t {
        y -= m <= 2;
        int64_t era = (y >= 0 ? y : y - 399) / 400;
        int64_t yoe = y - era * 400;
        int64_t doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
        int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
        return era * 146097 + doe;  // days since 0000-03-01
    };
    int64_t days = daysFromCivil(year, month, day) - daysFromCivil(1601, 1, 1);
    int64_t secs = days * 86400 + hour * 3600 + minute * 60 + second;
    return uint64_t(secs) * 10000000ull;
}

// --- .bin -------------------------------------------------------------------

Bytes BinOfImage(uint32_t start, const Bytes& image)
{
    constexpr size_t kRecordSize = 0x10000;
    Bytes out(kBinSignature, kBinSignature + 7);
    Put32(out, out.size(), start);
    Put32(out, out.size(), uint32_t(image.size()));
    for (size_t pos = 0; pos < image.size(); pos += kRecordSize) {
        const size_t n = std::min(kRecordSize, image.size() - pos);
        Put32(out, out.size(), start + uint32_t(pos));
        Put32(out, out.size(), uint32_t(n));
        Put32(out, out.size(), ByteSum(image.data() + pos, n));
        out.insert(out.end(), image.begin() + pos, image.begin() + pos + n);
    }
    // The end record: address 0, length 0, checksum 0.
    out.resize(out.size() + kBinRecordHeaderSize, 0);
    return out;
}

Bytes OsImageBin(uint32_t start, uint32_t n, uint32_t seed)
{
    return BinOfImage(start, Pattern(n, seed));
}

// --- ROM images -------------------------------------------------------------

Bytes BuildRomImage(const RomImageSpec& s)
{
    uint32_t h = s.headerOffset & ~3u;
    uint32_t toc = h + kRomHeaderSize;
    uint64_t namesAt = uint64_t(toc) + uint64_t(kTocEntrySize) * s.modules.size();
    uint64_t end = namesAt;
    for (const RomModule& m : s.modules)
        end += m.name.size() + 1;
    if (h < 0x4C || end > s.length)
        return {};
    Bytes img = Pattern(s.length, s.seed);
    if (s.signature)
        Put32(img, 0x40, kRomSignature);
    Put32(img, 0x44, s.baseAddress + h + uint32_t(s.headerAddressSkew));
    Put32(img, 0x48, h | (s.headerOffsetLowBits & 3));
    // ROM header: fields this system does not read keep a recognisable
    // value rather than filler.
    for (uint32_t i = 0; i < kRomHeaderSize; i += 4)
        Put32(img, h + i, 0);
    Put32(img, h + 0x08, s.baseAddress);
    Put32(img, h + 0x0C, s.baseAddress + s.length - 4);
    Put32(img, h + 0x10, uint32_t(s.modules.size()));
    uint32_t name = uint32_t(namesAt);
    for (size_t i = 0; i < s.modules.size(); ++i) {
        uint32_t e = toc + uint32_t(i) * kTocEntrySize;
        for (uint32_t k = 0; k < kTocEntrySize; k += 4)
            Put32(img, e + k, 0);
        Put64(img, e + 0x04, s.modules[i].fileTime);
        Put32(img, e + 0x10, s.baseAddress + name);
        Put32(img, e + 0x14, 0x1000 * uint32_t(i + 1));  // size: informative only
        std::memcpy(img.data() + name, s.modules[i].name.c_str(), s.modules[i].name.size() + 1);
        name += uint32_t(s.modules[i].name.size()) + 1;
    }
    return img;
}

// --- bootloaders ------------------------------------------------------------

std::string BannerText(int major, int minor, int month, int day, int year)
{
    static const char* const months[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                         "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    const char* m = month >= 1 && month <= 12 ? months[month - 1] : "???";
    char buf[160];
    std::snprintf(buf, sizeof buf, "%s%d.%d for Malvint Kavrani Built %s %d %d", kBannerPrefix, major,
                  minor, m, day, year);
    return buf;
}

Bytes BuildBootloader(const BootloaderSpec& s)
{
    Bytes img;
    if (s.romImage) {
        RomImageSpec rs;
        rs.length = s.length;
        rs.baseAddress = s.baseAddress;
        rs.headerOffset = 0x1000;
        rs.seed = s.seed;
        rs.modules = s.modules;
        if (rs.modules.empty())
            rs.modules.push_back({"nk.exe", s.buildTime});
        img = BuildRomImage(rs);
        if (img.empty())
            return {};
    } else {
        img = Pattern(s.length, s.seed);
    }
    if (s.versionBlock) {
        if ((s.versionOffset & 3) || uint64_t(s.versionOffset) + 20 > s.length)
            return {};
        Put32(img, s.versionOffset, kVersionMarkerHead);
        Put32(img, s.versionOffset + 4, s.id);
        Put32(img, s.versionOffset + 8, uint32_t(s.major));
        Put32(img, s.versionOffset + 12, s.minorAndBuild);
        Put32(img, s.versionOffset + 16, kVersionMarkerTail);
    }
    if (s.banner) {
        std::string text = s.bannerText;
        if (text.empty())
            text = BannerText(s.major, int(s.minorAndBuild & 0xFFFF), 3, 5, 2007);
        if (uint64_t(s.bannerOffset) + text.size() + 1 > s.length)
            return {};
        std::memcpy(img.data() + s.bannerOffset, text.c_str(), text.size() + 1);
    }
    return img;
}

}  // namespace imagekit
