// Image kit: the bytes of the board's flash and of image files, for the
// default board, tests and benchmarks. All fields are little-endian.
//  * .bin files: "B000FF\n", image start, image length, records {address,
//    length, checksum, data}, then an end record (address 0, checksum 0).
//  * ROM images: "ECEC" at +0x40, the ROM header's address (+0x44) and
//    offset (+0x48); the header (first/last address at +0x08/+0x0C, module
//    count at +0x10) and its table of contents from +0x54 (32-byte entries:
//    file time at +0x04, address of the module name at +0x10).
//  * Bootloaders: a ROM image with a version block (0x01234567, id, major,
//    minorAndBuild, 0x89ABCDEF) and the banner text.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace imagekit {

using Bytes = std::vector<uint8_t>;

// --- small helpers ----------------------------------------------------------

// Deterministic filler of n bytes for seed; no byte is 0xFF, so that
// written data is never taken for erased flash.
Bytes Pattern(size_t n, uint32_t seed = 1);
// Sum of the bytes as unsigned 8-bit values, wrapping at 2^32.
uint32_t ByteSum(const uint8_t* data, size_t n);
inline uint32_t ByteSum(const Bytes& b) { return ByteSum(b.data(), b.size()); }
// Little-endian access into a byte vector; Put* grows the vector as needed.
void Put32(Bytes& b, size_t offset, uint32_t value);
void Put64(Bytes& b, size_t offset, uint64_t value);
uint32_t Get32(const Bytes& b, size_t offset);  // 0 when out of range
// Writes bytes to a host file (replacing it). false on any error.
bool WriteFile(const std::string& path, const Bytes& bytes);
bool ReadFile(const std::string& path, Bytes* out);
// 64-bit file time (100 ns since 1601-01-01 UTC) of a UTC calendar time.
uint64_t FileTimeOf(int year, int month, int day, int hour = 0, int minute = 0, int second = 0);

// --- .bin image files -------------------------------------------------------

constexpr char kBinSignature[] = "B000FF\n";  // 7 bytes, no terminator in the file
constexpr size_t kBinHeaderSize = 15;
constexpr size_t kBinRecordHeaderSize = 12;

// A .bin of image placed at start: header length = image.size(), records
// of 64 KB (the last may be shorter) at ascending addresses.
Bytes BinOfImage(uint32_t start, const Bytes& image);

// An "OS image" .bin of n bytes at start: Pattern(n, seed) in 64 KB records.
Bytes OsImageBin(uint32_t start, uint32_t n, uint32_t seed = 7);

// --- ROM images -------------------------------------------------------------

constexpr uint32_t kRomSignature = 0x43454345;   // "ECEC" at +0x40
constexpr uint32_t kCompMarker = 0x504D4F43;     // "COMP" at +0
constexpr uint32_t kRomHeaderSize = 0x54;
constexpr uint32_t kTocEntrySize = 32;

struct RomModule {
    std::string name;       // narrow, stored zero-terminated inside the image
    uint64_t fileTime = 0;  // 100 ns since 1601 (UTC)
};

struct RomImageSpec {
    uint32_t length = 0x10000;        // bytes of the image; header/TOC/names must fit
    uint32_t baseAddress = 0x80000000;  // address of the image's first byte in its own space
    uint32_t headerOffset = 0x1000;   // ROM header offset from the first byte (word +0x48)
    std::vector<RomModule> modules;
    uint32_t seed = 3;                // filler (Pattern) seed
    // Test variants:
    uint32_t headerOffsetLowBits = 0; // OR-ed into +0x48 (readers ignore the two low bits)
    int32_t headerAddressSkew = 0;    // added to +0x44 (non-zero breaks the consistency rule)
    bool signature = true;            // false: no "ECEC"
};

// The image bytes. Fields beyond the listed ones are filler. Returns an
// empty vector when the header, TOC and names do not fit in spec.length.
Bytes BuildRomImage(const RomImageSpec& spec);

// --- bootloaders ------------------------------------------------------------

constexpr uint32_t kVersionMarkerHead = 0x01234567;
constexpr uint32_t kVersionMarkerTail = 0x89ABCDEF;
constexpr char kBannerPrefix[] = "Microsoft Windows CE Ethernet Bootloader ";

// "Microsoft Windows CE Ethernet Bootloader %d.%d for Malvint Kavrani Built
// %s %d %d" with month given as 1..12.
std::string BannerText(int major, int minor, int month, int day, int year);

struct BootloaderSpec {
    uint32_t length = 0x40000;          // the bootloader region
    uint32_t baseAddress = 0xBCA00000;
    bool romImage = true;               // ROM header with a TOC
    std::vector<RomModule> modules;     // empty: one "nk.exe" with buildTime
    uint64_t buildTime = 0;             // file time of the default "nk.exe" module
    bool versionBlock = true;
    uint32_t versionOffset = 0x200;     // 4-byte aligned, inside the first 128 KB
    uint32_t id = 1;
    int32_t major = 2;
    uint32_t minorAndBuild = 3;
    bool banner = true;
    uint32_t bannerOffset = 0x400;
    std::string bannerText;             // full text; empty: BannerText(major, minor, Mar 5 2007)
    uint32_t seed = 11;
};

// Bootloader bytes (spec.length). Empty when a part does not fit.
Bytes BuildBootloader(const BootloaderSpec& spec);

}  // namespace imagekit
