// The region table: the running-image search, the refresh sources and the
// overlap warning, against the board's flash, HAL and registry.
#include "flash/flash_layout.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <string>
#include <vector>

#include "board/board.h"
#include "board/imagekit.h"
#include "board/registry_store.h"
#include "flash/flash_access.h"
#include "tests/support/temp_board.h"
#include "tests/support/ui_double.h"

namespace {

// The region table as the program starts with it, saved before anything
// changes it.
const std::array<FlashRegion, FLASH_REGION_COUNT> kStartLayout = std::to_array(FlashLayout);

const char kDriverKey[] = "Drivers\\BuiltIn\\StrataFMD";
const wchar_t kHeading[] = L"This Image will overwrite the following sections:\n";
const wchar_t kQuestion[] = L"\n\nAre you sure you want to continue?";

// Removes a value from the board's registry file (no program does).
void DeleteValue(const std::string& key, const std::string& name)
{
    std::string text;
    board::RegHive hive;
    ASSERT_TRUE(board::ReadBoardFile("registry.reg", &text, nullptr));
    ASSERT_TRUE(board::RegParseText(text, &hive, nullptr));
    ASSERT_EQ(hive.keys[board::AsciiLower(key)].values.erase(board::AsciiLower(name)), 1u);
    ASSERT_TRUE(board::ReplaceFile(board::Dir() + "/registry.reg", board::RegSerialize(hive)));
}

// A dialog to own the warning, as the progress dialog does.
const OsDialogTemplate kOwnerTemplate = {L"Owner", 0, 0, 0, 100, 50, L"", 8, 0, nullptr};

class FlashLayoutTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        std::copy(kStartLayout.begin(), kStartLayout.end(), FlashLayout);
        uidouble::Install();
        window_ = MapFlashWindow(FLASH_WINDOW_FULL);
        ASSERT_NE(window_, nullptr);
        owner_ = uidouble::NewDialog(&kOwnerTemplate);
        ASSERT_NE(owner_, nullptr);
    }
    void TearDown() override
    {
        UnmapFlashWindow(window_);
        uidouble::Uninstall();
    }
    // Writes bytes into the (blank) flash through the devices.
    void Write(uint32_t offset, const std::vector<uint8_t>& bytes)
    {
        std::vector<uint8_t> src(bytes);
        src.resize(bytes.size() + 4, 0xFF);
        ASSERT_EQ(ProgramFlash(src.data(), window_ + offset, static_cast<uint32_t>(bytes.size())), 1);
        ResetToReadArray(window_);
    }
    void WriteWord(uint32_t offset, uint32_t value)
    {
        std::vector<uint8_t> b(4);
        imagekit::Put32(b, 0, value);
        Write(offset, b);
    }
    // A ROM image's identifying words only: "ECEC", header offset, first
    // and last address.
    void WriteRomMarkers(uint32_t at, uint32_t headerOffset, uint32_t first, uint32_t last)
    {
        WriteWord(at + 0x40, 0x43454345);
        WriteWord(at + 0x48, headerOffset);
        uint32_t h = at + (headerOffset & ~3u);
        WriteWord(h + 0x08, first);
        WriteWord(h + 0x0C, last);
    }
    TempBoard board_{true};
    uint8_t* window_ = nullptr;
    Window owner_ = nullptr;
};

TEST_F(FlashLayoutTest, BlankFlashHoldsNoImage)
{
    uint32_t start = 1, length = 1;
    EXPECT_EQ(FindRunningImage(window_, FLASH_WINDOW_FULL, &start, &length), 0);
}

TEST_F(FlashLayoutTest, RomImageIsFoundWithItsLengthFromTheHeader)
{
    imagekit::RomImageSpec spec;
    spec.length = 0x30000;
    spec.baseAddress = 0x80000000;
    spec.headerOffsetLowBits = 3;   // ignored by readers
    imagekit::Bytes rom = imagekit::BuildRomImage(spec);
    ASSERT_FALSE(rom.empty());
    Write(0xC0000, rom);
    uint32_t start = 0, length = 0;
    ASSERT_EQ(FindRunningImage(window_, FLASH_WINDOW_FULL, &start, &length), 1);
    EXPECT_EQ(start, 0xC0000u);
    EXPECT_EQ(length, 0x30000u);
}

TEST_F(FlashLayoutTest, SearchStartsAt256KAndRomWinsOverComp)
{
    WriteWord(0x40000, 0x504D4F43);   // "COMP" and "ECEC" at one position
    WriteWord(0x40008, 0x1234);
    WriteRomMarkers(0x40000, 0x1000, 0x80000000, 0x80000FFC);
    WriteWord(0x0, 0x504D4F43);       // the bootloader's position is never examined
    uint32_t start = 0, length = 0;
    ASSERT_EQ(FindRunningImage(window_, FLASH_WINDOW_FULL, &start, &length), 1);
    EXPECT_EQ(start, 0x40000u);
    EXPECT_EQ(length, 0x1000u);
}

TEST_F(FlashLayoutTest, CompressedImageAtTheLastPosition)
{
    WriteWord(0x1FC0000, 0x504D4F43);
    WriteWord(0x1FC0008, 0x2345);
    uint32_t start = 0, length = 0;
    ASSERT_EQ(FindRunningImage(window_, FLASH_WINDOW_FULL, &start, &length), 1);
    EXPECT_EQ(start, 0x1FC0000u);
    EXPECT_EQ(length, 0x2345u);
}

TEST_F(FlashLayoutTest, HeaderOffsetBeyondTheFlashMeansNoImageThere)
{
    // A header that would lie past the window (and one whose fields would
    // straddle its end) are never read; the search goes on.
    WriteWord(0x40040, 0x43454345);
    WriteWord(0x40048, 0xFFFFFFF0);
    WriteWord(0x1FC0040, 0x43454345);
    WriteWord(0x1FC0048, 0x3FFF4);   // fields at +8 / +C cross the end
    uint32_t start = 0, length = 0;
    EXPECT_EQ(FindRunningImage(window_, FLASH_WINDOW_FULL, &start, &length), 0);
    WriteRomMarkers(0x100000, 0x800, 0x80000000, 0x8000FFFC);
    ASSERT_EQ(FindRunningImage(window_, FLASH_WINDOW_FULL, &start, &length), 1);
    EXPECT_EQ(start, 0x100000u);
    EXPECT_EQ(length, 0x10000u);
}

TEST_F(FlashLayoutTest, RefreshRoundsTheImageRowAndEmptiesItWhenNothingIsFound)
{
    WriteRomMarkers(0x80000, 0x1000, 0x80001000, 0x81234FFC);
    ASSERT_EQ(RefreshFlashLayout(), 1);
    EXPECT_EQ(FlashLayout[REGION_IMAGE].start, 0x80000u);
    EXPECT_EQ(FlashLayout[REGION_IMAGE].length, 0x1240000u);
    EXPECT_EQ(FlashLayout[REGION_IMAGE].imageLength, 0x1234000u);
    EXPECT_EQ(FlashLayout[REGION_IMAGE].flags, 3u);
}

TEST_F(FlashLayoutTest, RefreshEmptiesTheImageRowWhenNothingIsFound)
{
    ASSERT_EQ(RefreshFlashLayout(), 1);
    EXPECT_EQ(FlashLayout[REGION_IMAGE].start, 0u);
    EXPECT_EQ(FlashLayout[REGION_IMAGE].length, 0u);
    EXPECT_EQ(FlashLayout[REGION_IMAGE].imageLength, 0u);
}

TEST_F(FlashLayoutTest, RegistryRowFollowsTheHalOnlyWhenItAnswers)
{
    ASSERT_TRUE(board::SetSetting("hal-selector5", "silent"));
    RefreshFlashLayout();
    EXPECT_EQ(FlashLayout[REGION_REGISTRY].start, 0x1400000u);
    EXPECT_EQ(FlashLayout[REGION_REGISTRY].length, 0x80000u);

    ASSERT_TRUE(board::SetSetting("hal-selector5", "80000,1500000,30000"));
    RefreshFlashLayout();
    EXPECT_EQ(FlashLayout[REGION_REGISTRY].start, 0x1500000u);
    EXPECT_EQ(FlashLayout[REGION_REGISTRY].length, 0x60000u);   // halves doubled

    // A later silent refresh keeps the last answer.
    ASSERT_TRUE(board::SetSetting("hal-selector5", "silent"));
    RefreshFlashLayout();
    EXPECT_EQ(FlashLayout[REGION_REGISTRY].start, 0x1500000u);
    EXPECT_EQ(FlashLayout[REGION_REGISTRY].length, 0x60000u);
}

TEST_F(FlashLayoutTest, FileSystemRowTakesEachRegistryValueThatIsPresent)
{
    ASSERT_TRUE(board::RegSetValue(kDriverKey, "MemBase", board::RegValue::Dword(0x1600000)));
    DeleteValue(kDriverKey, "MemLen");
    RefreshFlashLayout();
    EXPECT_EQ(FlashLayout[REGION_FILESYSTEM].start, 0x1600000u);
    EXPECT_EQ(FlashLayout[REGION_FILESYSTEM].length, 0x0B800000u);   // kept

    ASSERT_TRUE(board::RegSetValue(kDriverKey, "MemLen", board::RegValue::Dword(0x200000)));
    RefreshFlashLayout();
    EXPECT_EQ(FlashLayout[REGION_FILESYSTEM].start, 0x1600000u);
    EXPECT_EQ(FlashLayout[REGION_FILESYSTEM].length, 0x200000u);
}

TEST_F(FlashLayoutTest, WithSilentSourcesNoImageInsideTheFlashListsFileSystem)
{
    ASSERT_TRUE(board::SetSetting("hal-selector5", "silent"));
    DeleteValue(kDriverKey, "MemBase");
    DeleteValue(kDriverKey, "MemLen");
    uidouble::AnswerNext(OS_IDOK);
    EXPECT_EQ(CheckImageOverlap(0, FLASH_WINDOW_FULL, owner_), 1);
    ASSERT_EQ(uidouble::Boxes().size(), 1u);
    EXPECT_EQ(uidouble::Boxes()[0].text, std::wstring(kHeading) + L"Bootloader\nConfigBlock\nRegistry\n" + kQuestion);
    EXPECT_EQ(FlashLayout[REGION_FILESYSTEM].start, 0x14800000u);
    EXPECT_EQ(FlashLayout[REGION_REGISTRY].start, 0x1400000u);
}

TEST_F(FlashLayoutTest, TouchingRangesDoNotOverlap)
{
    WriteRomMarkers(0x80000, 0x1000, 0x80000000, 0x8003FFFC);   // IMAGE 0x80000..0xC0000
    // Ends where ConfigBlock starts; starts where IMAGE ends.
    EXPECT_EQ(CheckImageOverlap(0x0, 0x40000, owner_), 0);   // unanswered: Cancel, the default
    ASSERT_EQ(uidouble::Boxes().size(), 1u);
    EXPECT_EQ(uidouble::Boxes()[0].text, std::wstring(kHeading) + L"Bootloader\n" + kQuestion);
    uidouble::AnswerNext(OS_IDOK);
    EXPECT_EQ(CheckImageOverlap(0x0, 0x40001, owner_), 1);
    ASSERT_EQ(uidouble::Boxes().size(), 2u);
    EXPECT_EQ(uidouble::Boxes()[1].text, std::wstring(kHeading) + L"Bootloader\nConfigBlock\n" + kQuestion);

    EXPECT_EQ(CheckImageOverlap(0xC0000, 0x40000, owner_), 1);   // between IMAGE and Registry
    EXPECT_EQ(uidouble::Boxes().size(), 2u);                      // no box at all
}

// A ROM header's addresses are the flash's to say: a last address below
// the first gives a length that wrapped (rounding it up made it 0), or one
// that wraps the row's end past 4 GB; either way the row dropped out and
// the image was overwritten without a word.
TEST_F(FlashLayoutTest, AnImageRowWithAWrappedLengthStillWarns)
{
    WriteRomMarkers(0x1000000, 0x1000, 0x80000000, 0x7FEFFFFC);   // length 0xFFF00000
    EXPECT_EQ(CheckImageOverlap(0x1100000, 0x40000, owner_), 0);
    ASSERT_EQ(uidouble::Boxes().size(), 1u);
    EXPECT_EQ(uidouble::Boxes()[0].text, std::wstring(kHeading) + L"IMAGE\n" + kQuestion);

    // Found first: length 0xFFFFFFFC.
    WriteRomMarkers(0x80000, 0x1000, 0x80001000, 0x80000FF8);
    EXPECT_EQ(CheckImageOverlap(0x80000, 0x100000, owner_), 0);
    ASSERT_EQ(uidouble::Boxes().size(), 2u);
    EXPECT_EQ(uidouble::Boxes()[1].text, std::wstring(kHeading) + L"IMAGE\n" + kQuestion);
    EXPECT_EQ(FlashLayout[REGION_IMAGE].length, 0xFFFC0000u);
}

TEST_F(FlashLayoutTest, AllFiveRowsAndTheAnswers)
{
    WriteRomMarkers(0x80000, 0x1000, 0x80000000, 0x8003FFFC);
    uidouble::AnswerNext(OS_IDCANCEL);
    EXPECT_EQ(CheckImageOverlap(0, FLASH_WINDOW_FULL, owner_), 0);
    uidouble::AnswerNext(OS_IDOK);
    EXPECT_EQ(CheckImageOverlap(0, FLASH_WINDOW_FULL, owner_), 1);
    std::vector<uidouble::Box> boxes = uidouble::Boxes();
    ASSERT_EQ(boxes.size(), 2u);
    std::wstring all = std::wstring(kHeading) + L"Bootloader\nConfigBlock\nIMAGE\nRegistry\nFileSystem\n" + kQuestion;
    EXPECT_EQ(all.size(), 135u);
    for (const uidouble::Box& box : boxes) {
        EXPECT_EQ(box.text, all);
        EXPECT_EQ(box.caption, L"WARNING");
        EXPECT_EQ(box.style, 0x131u);
        EXPECT_EQ(box.owner, owner_);
    }
}

}  // namespace
