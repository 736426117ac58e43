// The default board, read back from its files with a reader of its own
// (not the image kit), as the flash tools would read it.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstring>
#include <fstream>

#include "board/board.h"
#include "board/registry_store.h"
#include "tests/support/temp_board.h"

namespace {

std::vector<uint8_t> Slurp(const std::string& path)
{
    std::ifstream f(path, std::ios::binary | std::ios::ate);
    std::vector<uint8_t> out(size_t(std::max<std::streamoff>(f.tellg(), 0)));
    f.seekg(0);
    f.read(reinterpret_cast<char*>(out.data()), std::streamsize(out.size()));
    return out;
}

uint32_t W(const std::vector<uint8_t>& b, size_t at)
{
    if (at + 4 > b.size())
        return 0;
    uint32_t v;
    std::memcpy(&v, b.data() + at, 4);  // the host is little-endian, like the board
    return v;
}

// Whether n bytes at p are all 0xFF (erased).
bool Erased(const uint8_t* p, size_t n)
{
    return n == 0 || (p[0] == 0xFF && std::memcmp(p, p + 1, n - 1) == 0);
}

// The first module name of the ROM image at p whose TOC entry names nk.exe,
// and its file time; false when the image or entry is not found.
bool FindNk(const std::vector<uint8_t>& f, uint32_t p, uint64_t* fileTime)
{
    if (W(f, p + 0x40) != 0x43454345)
        return false;
    uint32_t h = p + (W(f, p + 0x48) & ~3u);
    uint32_t first = W(f, h + 8);
    if (W(f, p + 0x44) - W(f, p + 0x48) != first)
        return false;
    for (uint32_t i = 0; i < W(f, h + 16); ++i) {
        uint32_t e = h + 0x54 + 32 * i;
        uint32_t name = p + (W(f, e + 0x10) - first);
        if (name < f.size() && std::strcmp(reinterpret_cast<const char*>(f.data() + name), "nk.exe") == 0) {
            *fileTime = uint64_t(W(f, e + 4)) | uint64_t(W(f, e + 8)) << 32;
            return true;
        }
    }
    return false;
}

// The flash image a .bin file produces: every record at address + offset.
bool ApplyBin(const std::vector<uint8_t>& bin, uint32_t addressOffset, std::vector<uint8_t>* flash,
              uint32_t* start)
{
    if (bin.size() < 15 || std::memcmp(bin.data(), "B000FF\n", 7) != 0)
        return false;
    *start = W(bin, 7) + addressOffset;
    size_t pos = 15;
    for (;;) {
        if (pos + 12 > bin.size())
            return false;
        uint32_t addr = W(bin, pos), len = W(bin, pos + 4), sum = W(bin, pos + 8);
        pos += 12;
        if (addr == 0 && sum == 0)
            return true;
        if (len > bin.size() - pos)
            return false;
        uint32_t s = 0;
        for (uint32_t i = 0; i < len; ++i)
            s += bin[pos + i];
        if (s != sum)
            return false;
        uint32_t at = addr + addressOffset;
        if (at + uint64_t(len) > flash->size())
            return false;
        std::memcpy(flash->data() + at, bin.data() + pos, len);
        pos += len;
    }
}

}  // namespace

TEST(DefaultBoard, FlashHoldsBootloaderAndRunningImage)
{
    TempBoard tb;
    std::vector<uint8_t> f = Slurp(tb.dir() + "/flash.img");
    ASSERT_EQ(f.size(), size_t(32u << 20));

    // Version block {1, 2, 3}, 4-byte aligned, in the first 128 KB.
    int blocks = 0;
    for (uint32_t o = 0; o + 20 <= 0x20000; o += 4) {
        if (W(f, o) == 0x01234567 && W(f, o + 16) == 0x89ABCDEF) {
            EXPECT_EQ(W(f, o + 4), 1u);
            EXPECT_EQ(W(f, o + 8), 2u);
            EXPECT_EQ(W(f, o + 12), 3u);
            ++blocks;
        }
    }
    EXPECT_EQ(blocks, 1);
    const char banner[] = "Microsoft Windows CE Ethernet Bootloader 2.3 for Malvint Kavrani Built ";
    auto it = std::search(f.begin(), f.begin() + 0x20000, banner, banner + sizeof banner - 1);
    EXPECT_NE(it, f.begin() + 0x20000);

    uint64_t bootTime = 0, imageTime = 0;
    EXPECT_TRUE(FindNk(f, 0, &bootTime));
    EXPECT_TRUE(FindNk(f, 0x80000, &imageTime));
    EXPECT_NE(bootTime, 0u);
    EXPECT_NE(imageTime, 0u);

    // The running image is the first one of the 256 KB search, and lies
    // wholly before the registry area.
    for (uint32_t p = 0x40000; p < 0x80000; p += 0x40000)
        EXPECT_NE(W(f, p + 0x40), 0x43454345u);
    uint32_t h = 0x80000 + (W(f, 0x80048) & ~3u);
    uint32_t length = W(f, h + 12) - W(f, h + 8) + 4;
    EXPECT_GT(length, 0x10000u);
    EXPECT_LE(0x80000 + uint64_t(length), 0x1400000u);
    // Everything beyond the image is erased.
    EXPECT_TRUE(Erased(f.data() + 0x80000 + length, f.size() - 0x80000 - length));
}

TEST(DefaultBoard, BlankFlashIsErasedButTheRestExists)
{
    TempBoard tb(true);
    std::vector<uint8_t> f = Slurp(tb.dir() + "/flash.img");
    ASSERT_EQ(f.size(), size_t(32u << 20));
    EXPECT_TRUE(Erased(f.data(), f.size()));
    struct stat st;
    EXPECT_EQ(stat((tb.rootfs() + "/Windows/default.fdf").c_str(), &st), 0);
    board::RegValue v;
    EXPECT_TRUE(board::RegGetValue("Drivers\\BuiltIn\\StrataFMD", "MemBase", &v));
}

TEST(DefaultBoard, RegistryRootFsAndSettings)
{
    TempBoard tb;
    board::RegValue v;
    ASSERT_TRUE(board::RegGetValue("Drivers\\BuiltIn\\StrataFMD", "MemBase", &v));
    EXPECT_EQ(v.type, board::kRegDword);
    EXPECT_EQ(v.dword, 0x01480000u);
    ASSERT_TRUE(board::RegGetValue("drivers\\builtin\\stratafmd", "memlen", &v));
    EXPECT_EQ(v.dword, 0x00B80000u);
    ASSERT_TRUE(board::RegGetValue("System\\StorageManager\\Profiles\\MSFlash", "Folder", &v));
    EXPECT_EQ(v.type, board::kRegSz);
    EXPECT_EQ(v.text, "\\Flash Disk");

    struct stat st;
    ASSERT_EQ(stat((tb.rootfs() + "/Flash Disk").c_str(), &st), 0);
    EXPECT_TRUE(S_ISDIR(st.st_mode));
    ASSERT_EQ(stat((tb.rootfs() + "/Windows/default.fdf").c_str(), &st), 0);
    // The running image's build time, 2008-06-12 09:15:42 UTC.
    EXPECT_EQ(int64_t(st.st_mtime), 1213262142);

    EXPECT_EQ(board::GetSetting("timing-scale"), "0.001");  // (a run may choose the timing)
    EXPECT_EQ(board::GetSetting("stores"), "DSK0:");
}

TEST(DefaultBoard, SampleImagesLandWhereTheUpdaterPutsThem)
{
    TempBoard tb;
    // nk.bin: built for 0x80000000, placed at the OS offset 0x80000.
    std::vector<uint8_t> flash(32u << 20, 0xFF);
    uint32_t start = 0;
    ASSERT_TRUE(ApplyBin(Slurp(tb.rootfs() + "/nk.bin"), 0x80000 - 0x80000000u, &flash, &start));
    EXPECT_EQ(start, 0x80000u);
    uint64_t t = 0;
    EXPECT_TRUE(FindNk(flash, 0x80000, &t));
    // eboot.bin: built for 0xBCA00000, placed at offset 0, with its version block.
    std::vector<uint8_t> boot(32u << 20, 0xFF);
    ASSERT_TRUE(ApplyBin(Slurp(tb.rootfs() + "/eboot.bin"), 0u - 0xBCA00000u, &boot, &start));
    EXPECT_EQ(start, 0u);
    bool found = false;
    for (uint32_t o = 0; o + 20 <= 0x20000 && !found; o += 4)
        found = W(boot, o) == 0x01234567 && W(boot, o + 16) == 0x89ABCDEF;
    EXPECT_TRUE(found);
    EXPECT_TRUE(FindNk(boot, 0, &t));
}
