// Image kit: .bin files, ROM images and bootloaders, checked by reading the
// bytes back (.bin files with a reader of this test's own).
#include "board/imagekit.h"
#include "tests/support/bin_files.h"

#include <gtest/gtest.h>

#include <cstring>

using namespace imagekit;

namespace {
uint32_t Le32(const Bytes& b, size_t at)
{
    return uint32_t(b.at(at)) | uint32_t(b.at(at + 1)) << 8 | uint32_t(b.at(at + 2)) << 16 |
           uint32_t(b.at(at + 3)) << 24;
}

// A parsed .bin. ParseBin reads up to and including the end record and
// reports the first problem in error ("" when the file is sound; records
// read before the problem are kept).
struct ParsedBin {
    uint32_t start = 0;
    uint32_t length = 0;
    std::vector<BinRecord> records;
    std::vector<uint32_t> checksums;  // as stored in the file
    bool ended = false;               // the end record was read
    size_t endOffset = 0;             // file offset just after the end record
    std::string error;
};

ParsedBin ParseBin(const Bytes& f)
{
    ParsedBin p;
    if (f.size() < 7 || std::memcmp(f.data(), kBinSignature, 7) != 0) {
        p.error = "signature";
        return p;
    }
    if (f.size() < kBinHeaderSize) {
        p.error = "header cut short";
        return p;
    }
    p.start = Get32(f, 7);
    p.length = Get32(f, 11);
    size_t pos = kBinHeaderSize;
    for (;;) {
        if (f.size() - pos < kBinRecordHeaderSize) {
            p.error = "record header cut short";
            return p;
        }
        uint32_t address = Get32(f, pos);
        uint32_t length = Get32(f, pos + 4);
        uint32_t sum = Get32(f, pos + 8);
        pos += kBinRecordHeaderSize;
        if (address == 0 && sum == 0) {
            p.ended = true;
            p.endOffset = pos;
            return p;
        }
        if (f.size() - pos < length) {
            p.error = "record data cut short";
            return p;
        }
        BinRecord r;
        r.address = address;
        r.data.assign(f.begin() + pos, f.begin() + pos + length);
        pos += length;
        bool bad = ByteSum(r.data) != sum;
        p.records.push_back(std::move(r));
        p.checksums.push_back(sum);
        if (bad) {
            p.error = "checksum";
            return p;
        }
    }
}

std::vector<BinRecord> ThreeRecords()
{
    return {{0x80000000, Pattern(100, 1)}, {0x80000064, Pattern(0x5000, 2)}, {0x80005064, {0xFE}}};
}
}  // namespace

TEST(ImageKitPattern, DeterministicAndNeverErased)
{
    Bytes a = Pattern(70000, 4), b = Pattern(70000, 4), c = Pattern(70000, 5);
    EXPECT_EQ(a, b);
    EXPECT_NE(a, c);
    EXPECT_EQ(std::count(a.begin(), a.end(), 0xFF), 0);
    EXPECT_GT(std::count(a.begin(), a.end(), 0x00), 0);  // not a constant fill
}

TEST(ImageKitPattern, ByteSumWrapsAndFileTimes)
{
    Bytes ones(0x1000001, 0xFF);
    EXPECT_EQ(ByteSum(ones), uint32_t(0xFFull * 0x1000001));
    EXPECT_EQ(ByteSum(nullptr, 0), 0u);
    EXPECT_EQ(FileTimeOf(1601, 1, 1), 0u);
    EXPECT_EQ(FileTimeOf(1970, 1, 1), 116444736000000000ull);
    EXPECT_EQ(FileTimeOf(2007, 3, 5, 14, 30, 0), (1173052800ull + 11644473600ull + 14 * 3600 + 1800) * 10000000);
    EXPECT_EQ(FileTimeOf(2008, 3, 1) - FileTimeOf(2008, 2, 28), 2 * 86400 * 10000000ull);
}

TEST(ImageKitBin, WellFormedLayoutAndChecksums)
{
    Bytes f = BuildBin(0x80000000, 0x5065, ThreeRecords());
    ASSERT_GE(f.size(), 15u);
    EXPECT_EQ(std::string(f.begin(), f.begin() + 7), "B000FF\n");
    EXPECT_EQ(Le32(f, 7), 0x80000000u);
    EXPECT_EQ(Le32(f, 11), 0x5065u);
    size_t pos = 15;
    for (const BinRecord& r : ThreeRecords()) {
        EXPECT_EQ(Le32(f, pos), r.address);
        EXPECT_EQ(Le32(f, pos + 4), r.data.size());
        uint32_t sum = 0;
        for (uint8_t b : r.data)
            sum += b;
        EXPECT_EQ(Le32(f, pos + 8), sum);
        EXPECT_EQ(0, std::memcmp(f.data() + pos + 12, r.data.data(), r.data.size()));
        pos += 12 + r.data.size();
    }
    EXPECT_EQ(Le32(f, pos), 0u);
    EXPECT_EQ(Le32(f, pos + 8), 0u);
    EXPECT_EQ(f.size(), pos + 12);

    ParsedBin p = ParseBin(f);
    EXPECT_EQ(p.error, "");
    EXPECT_TRUE(p.ended);
    ASSERT_EQ(p.records.size(), 3u);
    EXPECT_EQ(p.records[1].data, ThreeRecords()[1].data);
}

TEST(ImageKitBin, BrokenVariants)
{
    auto build = [](BinFlaw flaw, size_t rec = 1, size_t arg = 0) {
        BinOptions o;
        o.flaw = flaw;
        o.flawRecord = rec;
        o.flawArg = arg;
        return BuildBin(0x80000000, 0x5065, ThreeRecords(), o);
    };
    Bytes good = BuildBin(0x80000000, 0x5065, ThreeRecords());
    EXPECT_EQ(ParseBin(build(BinFlaw::WrongSignature)).error, "signature");
    EXPECT_EQ(build(BinFlaw::WrongSignature).size(), good.size());
    EXPECT_EQ(build(BinFlaw::ShortFile).size(), 4u);
    EXPECT_EQ(ParseBin(build(BinFlaw::ShortFile)).error, "signature");
    EXPECT_EQ(build(BinFlaw::TruncatedHeader).size(), 13u);
    EXPECT_EQ(ParseBin(build(BinFlaw::TruncatedHeader)).error, "header cut short");

    Bytes cutHeader = build(BinFlaw::TruncatedRecordHeader, 1, 8);
    EXPECT_EQ(cutHeader.size(), 15 + 12 + 100 + 8);
    EXPECT_EQ(ParseBin(cutHeader).error, "record header cut short");

    Bytes cutData = build(BinFlaw::TruncatedRecordData, 1, 13);
    EXPECT_EQ(cutData.size(), 15 + 12 + 100 + 12 + 13);
    ParsedBin pd = ParseBin(cutData);
    EXPECT_EQ(pd.error, "record data cut short");
    EXPECT_EQ(pd.records.size(), 1u);

    Bytes badSum = build(BinFlaw::BadChecksum, 2);
    EXPECT_EQ(badSum.size(), good.size());
    ParsedBin pb = ParseBin(badSum);
    EXPECT_EQ(pb.error, "checksum");
    ASSERT_EQ(pb.checksums.size(), 3u);
    EXPECT_EQ(pb.checksums[2], 0xFFu);  // 0xFE + 1

    Bytes noEnd = build(BinFlaw::MissingEnd);
    EXPECT_EQ(noEnd.size(), good.size() - 12);
    EXPECT_EQ(ParseBin(noEnd).error, "record header cut short");

    Bytes extra = build(BinFlaw::ExtraAfterEnd, 0, 64);
    EXPECT_EQ(extra.size(), good.size() + 64);
    ParsedBin pe = ParseBin(extra);
    EXPECT_EQ(pe.error, "");
    EXPECT_EQ(pe.endOffset, good.size());
}

TEST(ImageKitBin, OsImageSplitsIntoRecords)
{
    Bytes f = OsImageBin(0x80000000, 0x28000);
    ParsedBin p = ParseBin(f);
    ASSERT_EQ(p.error, "");
    EXPECT_EQ(p.length, 0x28000u);
    ASSERT_EQ(p.records.size(), 3u);
    EXPECT_EQ(p.records[0].address, 0x80000000u);
    EXPECT_EQ(p.records[2].address, 0x80020000u);
    EXPECT_EQ(p.records[2].data.size(), 0x8000u);
    Bytes joined;
    for (const BinRecord& r : p.records)
        joined.insert(joined.end(), r.data.begin(), r.data.end());
    EXPECT_EQ(joined, Pattern(0x28000, 7));
}

// The board writes its sound files itself: byte for byte what the tests'
// general writer makes of the same image, at a record boundary and without
// records too.
TEST(ImageKitBin, BoardsWriterAgreesWithTheGeneralOne)
{
    EXPECT_EQ(OsImageBin(0x80000000, 0x28000), OsImageBin(0x80000000, 0x28000, 7, BinOptions{}));
    const Bytes whole = Pattern(0x20000, 3);
    EXPECT_EQ(BinOfImage(0xBCA00000, whole), BinOfImage(0xBCA00000, whole, 0x10000));
    EXPECT_EQ(BinOfImage(0x1000, Bytes{}), BinOfImage(0x1000, Bytes{}, 0x10000));
}

TEST(ImageKitRom, LayoutAsTheFlashToolsReadIt)
{
    RomImageSpec s;
    s.length = 0x20000;
    s.baseAddress = 0x80001000;
    s.headerOffset = 0x2000;
    s.modules = {{"coredll.dll", 11}, {"nk.exe", FileTimeOf(2008, 2, 29)}};
    Bytes img = BuildRomImage(s);
    ASSERT_EQ(img.size(), 0x20000u);
    EXPECT_EQ(std::string(img.begin() + 0x40, img.begin() + 0x44), "ECEC");
    uint32_t h = Le32(img, 0x48) & ~3u;
    EXPECT_EQ(h, 0x2000u);
    uint32_t first = Le32(img, h + 8);
    EXPECT_EQ(first, 0x80001000u);
    EXPECT_EQ(Le32(img, 0x44) - Le32(img, 0x48), first);
    EXPECT_EQ(Le32(img, h + 12) - first + 4, 0x20000u);
    ASSERT_EQ(Le32(img, h + 16), 2u);
    uint32_t e = h + 0x54 + 32;
    uint64_t ft = uint64_t(Le32(img, e + 4)) | uint64_t(Le32(img, e + 8)) << 32;
    EXPECT_EQ(ft, FileTimeOf(2008, 2, 29));
    uint32_t name = Le32(img, e + 0x10) - first;
    EXPECT_STREQ(reinterpret_cast<const char*>(img.data() + name), "nk.exe");

    // Variants: low bits in the offset, a broken consistency rule, no room.
    s.headerOffsetLowBits = 3;
    s.headerAddressSkew = 4;
    Bytes odd = BuildRomImage(s);
    EXPECT_EQ(Le32(odd, 0x48), 0x2003u);
    EXPECT_NE(Le32(odd, 0x44) - Le32(odd, 0x48), Le32(odd, 0x2008));
    s.length = 0x2000 + 0x54 + 2 * 32 + 5;  // one byte short for the names
    EXPECT_TRUE(BuildRomImage(s).empty());
}

TEST(ImageKitBootloader, VersionBlockBannerAndToc)
{
    BootloaderSpec s;
    s.minorAndBuild = 0x00030002;
    s.buildTime = FileTimeOf(2007, 3, 5);
    Bytes b = BuildBootloader(s);
    ASSERT_EQ(b.size(), 0x40000u);
    EXPECT_EQ(Le32(b, s.versionOffset), 0x01234567u);
    EXPECT_EQ(Le32(b, s.versionOffset + 4), 1u);
    EXPECT_EQ(Le32(b, s.versionOffset + 8), 2u);
    EXPECT_EQ(Le32(b, s.versionOffset + 12), 0x00030002u);
    EXPECT_EQ(Le32(b, s.versionOffset + 16), 0x89ABCDEFu);
    EXPECT_STREQ(reinterpret_cast<const char*>(b.data() + s.bannerOffset),
                 "Microsoft Windows CE Ethernet Bootloader 2.2 for Malvint Kavrani Built Mar 5 2007");
    EXPECT_EQ(std::string(b.begin() + 0x40, b.begin() + 0x44), "ECEC");

    s.versionBlock = false;
    s.banner = false;
    s.romImage = false;
    Bytes bare = BuildBootloader(s);
    ASSERT_EQ(bare.size(), 0x40000u);
    EXPECT_NE(Le32(bare, s.versionOffset), 0x01234567u);
    EXPECT_NE(std::string(bare.begin() + 0x40, bare.begin() + 0x44), "ECEC");

    s.versionBlock = true;
    s.versionOffset = 0x202;  // not aligned
    EXPECT_TRUE(BuildBootloader(s).empty());
    EXPECT_EQ(BannerText(-1, 65535, 12, 31, 1999),
              "Microsoft Windows CE Ethernet Bootloader -1.65535 for Malvint Kavrani Built Dec 31 1999");
}
