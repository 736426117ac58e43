// The update worker end to end: a .bin file in the board's file system, the
// board's flash devices, HAL and registry, and the test double's dialogs.
#include "update/image_update.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cstring>
#include <cwchar>
#include <string>
#include <vector>

#include "board/board.h"
#include "board/flash_device.h"
#include "board/hal.h"
#include "board/imagekit.h"
#include "flash/flash_access.h"
#include "flash/flash_layout.h"
#include "platform/clock.h"
#include "platform/host/clock.h"
#include "platform/sync.h"
#include "tests/support/bin_files.h"
#include "tests/support/temp_board.h"
#include "tests/support/ui_double.h"
#include "resources/resources.h"
#include "update/globals.h"

#ifdef _WIN32
// The Win32 build maps the flash image through the board's POSIX shim.
using board::mmap;
using board::munmap;
#endif

namespace {

// The region table as the program starts with it, saved before anything
// changes it.
const std::array<FlashRegion, FLASH_REGION_COUNT> kStartLayout = std::to_array(FlashLayout);

using imagekit::BinFlaw;
using imagekit::BinOptions;
using imagekit::Bytes;

const OsDialogItem kItems[] = {
    {1004, L"STATIC", L"", 5, 5, 200, 10, 0},
    {1002, L"msctls_progress32", L"", 5, 20, 200, 10, 0},
    {1005, L"STATIC", L"", 5, 35, 200, 10, 0},
    {1003, L"msctls_progress32", L"", 5, 50, 200, 10, 0},
    {2, L"BUTTON", L"Abort", 80, 65, 50, 14, 0},
};
const OsDialogTemplate kProgress = {L"Update", 0, 0, 0, 210, 85, L"", 8, 5, kItems};

const wchar_t kReset[] = L"To finish the update reset the system.\n Reset now?";
const wchar_t kUnexpectedEnd[] = L"Unexpected end of file!";
const wchar_t kAborted[] =
    L"Update aborted! The image in Flash is incomplete. Don't reboot Now! Run the update again.";

std::atomic<int> g_restarts{0};
std::atomic<bool> g_restartCold{false};
void RestartHook(bool cold)
{
    g_restartCold = cold;
    ++g_restarts;
}

Bytes Peek(uint32_t offset, size_t n)
{
    Bytes out(n);
    EXPECT_TRUE(board::FlashPeek(out.data(), offset, n));
    return out;
}

bool AllErased(uint32_t offset, size_t n)
{
    Bytes b = Peek(offset, n);
    return std::all_of(b.begin(), b.end(), [](uint8_t v) { return v == 0xFF; });
}

int CountEvents(const std::string& prefix)
{
    int n = 0;
    for (const std::string& e : board::Events())
        if (e.rfind(prefix, 0) == 0)
            ++n;
    return n;
}

class ImageUpdate : public ::testing::Test {
protected:
    void SetUp() override
    {
        std::copy(kStartLayout.begin(), kStartLayout.end(), FlashLayout);
        uidouble::Install();
        board::SetRestartHook(RestartHook);
        g_restarts = 0;
        dialog_ = uidouble::NewDialog(&kProgress);
        ASSERT_NE(dialog_, nullptr);
        AbortRequested = 0;
    }
    void TearDown() override
    {
        board::SetRestartHook(nullptr);
        uidouble::Uninstall();
        OsUseRealClock();
        AbortRequested = 0;
    }

    // Writes the file into the board's root and points ImagePath at it.
    void Place(const Bytes& file, const std::wstring& name = L"img.bin")
    {
        std::string narrow(name.begin(), name.end());
        ASSERT_TRUE(imagekit::WriteFile(board_.rootfs() + "/" + narrow, file));
        std::wstring path = L"\\" + name;
        std::wcsncpy(ImagePath, path.c_str(), IMAGE_PATH_CHARS - 1);
        ImagePath[IMAGE_PATH_CHARS - 1] = 0;
    }
    uint32_t Run(const Bytes& file)
    {
        Place(file);
        return ImageUpdateWorker(dialog_);
    }
    // Writes bytes into the blank flash through the devices (a stand-in for
    // what an earlier image left there).
    void Dirty(uint32_t offset, size_t n = 64)
    {
        uint8_t* w = MapFlashWindow(FLASH_WINDOW_FULL);
        ASSERT_NE(w, nullptr);
        Bytes src = imagekit::Pattern(n + 4, 99);
        ASSERT_EQ(ProgramFlash(src.data(), w + offset, static_cast<uint32_t>(n)), 1);
        ResetToReadArray(w);
        UnmapFlashWindow(w);
    }
    // The bytes Dirty() left at offset are still there.
    void ExpectUntouched(uint32_t offset)
    {
        Bytes dirt = imagekit::Pattern(64 + 4, 99);
        EXPECT_EQ(Peek(offset, 64), Bytes(dirt.begin(), dirt.begin() + 64)) << std::hex << offset;
    }
    // What must hold after every ending.
    // A device stuck busy cannot take the read-array command: readArray
    // false skips that check.
    void ExpectClosed(bool readArray = true)
    {
        EXPECT_EQ(ImagePath[0], L'\0');
        EXPECT_TRUE(uidouble::Ended(dialog_));
        EXPECT_EQ(uidouble::EndResult(dialog_), 0);
        if (readArray) {
            EXPECT_EQ(board::FlashGetDeviceInfo(0).mode, board::FlashMode::ReadArray);
            EXPECT_EQ(board::FlashGetDeviceInfo(1).mode, board::FlashMode::ReadArray);
        }
        EXPECT_TRUE(FlashLockIsFree());
    }
    // The one error box of a failed run, and no restart question.
    void ExpectFailure(uint32_t result, const std::wstring& text, const std::wstring& caption = L"ERROR",
                       bool readArray = true)
    {
        EXPECT_EQ(result, 0u);
        std::vector<uidouble::Box> boxes = uidouble::Boxes();
        ASSERT_EQ(boxes.size(), 1u);
        EXPECT_EQ(boxes[0].text, text);
        EXPECT_EQ(boxes[0].caption, caption);
        EXPECT_EQ(boxes[0].style, 0u);
        EXPECT_EQ(boxes[0].owner, dialog_);
        EXPECT_EQ(g_restarts.load(), 0);
        ExpectClosed(readArray);
    }
    void ExpectCompleted(uint32_t result)
    {
        EXPECT_EQ(result, 1u);
        std::vector<uidouble::Box> boxes = uidouble::Boxes();
        ASSERT_FALSE(boxes.empty());
        EXPECT_EQ(boxes.back().text, kReset);
        EXPECT_EQ(boxes.back().caption, L"RESET");
        EXPECT_EQ(boxes.back().style, 4u);
        ExpectClosed();
    }

    TempBoard board_{true};
    Window dialog_ = nullptr;
};

TEST(Relocation, RowsAndTheirBoundaries)
{
    TempBoard board(true);
    struct Row {
        uint32_t start;
        bool os;         // W - S
        bool boot;       // -S
    };
    const Row rows[] = {
        {0x00000000, false, false}, {0x7FFFFFFF, false, false}, {0x80000000, true, false},
        {0x9C9FFFFF, true, false},  {0x9CA00000, false, false}, {0x9FFFFFFF, false, false},
        {0xA0000000, true, false},  {0xBC9FFFFF, true, false},  {0xBCA00000, false, true},
        {0xBFFFFFFE, false, true},  {0xBFFFFFFF, false, false}, {0xFFFFFFFF, false, false},
    };
    for (const char* selector5 : {"silent", "100000,1400000,40000"}) {
        ASSERT_TRUE(board::SetSetting("hal-selector5", selector5));
        uint32_t w = std::string(selector5) == "silent" ? 0x80000 : 0x100000;
        for (const Row& row : rows) {
            SCOPED_TRACE(row.start);
            uint32_t expected = row.os ? w - row.start : row.boot ? 0u - row.start : 0u;
            EXPECT_EQ(RelocationOffset(row.start), expected);
        }
    }
    EXPECT_EQ(0xBCA00000u + RelocationOffset(0xBCA00000u), 0u);
    EXPECT_EQ(0x80001000u + RelocationOffset(0x80000000u), 0x101000u);
}

TEST(ByteSumTest, SumsOverChunksAndWraps)
{
    Bytes data = imagekit::Pattern(50000, 4);
    uint32_t whole = ByteSum(data.data(), static_cast<uint32_t>(data.size()));
    EXPECT_EQ(whole, imagekit::ByteSum(data));
    uint32_t chunked = 0;
    for (size_t at = 0; at < data.size(); at += IMAGE_CHUNK_BYTES) {
        uint32_t n = static_cast<uint32_t>(std::min<size_t>(IMAGE_CHUNK_BYTES, data.size() - at));
        chunked += ByteSum(data.data() + at, n);
    }
    EXPECT_EQ(chunked, whole);
    EXPECT_EQ(ByteSum(data.data(), 0), 0u);
    // Bytes taken unsigned; the accumulator wraps at 2^32.
    Bytes ones(16843010, 0xFF);
    EXPECT_EQ(ByteSum(ones.data(), static_cast<uint32_t>(ones.size())), 254u);
    // Any start and any length, with high bytes in every position.
    Bytes mixed(3000);
    for (size_t i = 0; i < mixed.size(); ++i)
        mixed[i] = static_cast<uint8_t>(0xF0 + (i * 7) % 16);
    for (uint32_t start = 0; start < 8; ++start) {
        for (uint32_t n : {0u, 1u, 7u, 8u, 9u, 15u, 16u, 17u, 31u, 32u, 33u, 1023u, 1024u, 1025u, 2031u, 2047u,
                           2048u, 2049u, 2990u}) {
            Bytes part(mixed.begin() + start, mixed.begin() + start + n);
            EXPECT_EQ(ByteSum(mixed.data() + start, n), imagekit::ByteSum(part)) << start << "+" << n;
        }
    }
}

TEST_F(ImageUpdate, OsImageLandsAtTheHalOffsetAndErasesOnlyItsBlocks)
{
    const uint32_t n = 0x48000;   // two blocks: 0x80000 and 0xC0000
    Dirty(0xD8000);                           // inside block 0xC0000, past the data
    Dirty(0x100000);                          // the next block: not the image's
    Bytes image = imagekit::Pattern(n, 7);
    uidouble::AnswerNext(OS_IDNO);
    uint32_t result = Run(imagekit::BinOfImage(0x80000000, image));
    ExpectCompleted(result);
    EXPECT_EQ(uidouble::Boxes().size(), 1u);   // nothing named in the way: no warning
    EXPECT_EQ(Peek(0x80000, n), image);
    EXPECT_TRUE(AllErased(0x80000 + n, 0x100000 - 0x80000 - n));
    EXPECT_FALSE(AllErased(0x100000, 64));
    EXPECT_EQ(g_restarts.load(), 0);
    EXPECT_EQ(CountEvents("config-set 0 "), 1);

    std::vector<std::wstring> section = uidouble::ControlTextHistory(dialog_, IDC_STEP_TEXT);
    ASSERT_GE(section.size(), 3u);
    EXPECT_EQ(section[0], L"Erasing Flash Sector at 00080000");
    EXPECT_EQ(section[1], L"Erasing Flash Sector at 000c0000");
    EXPECT_EQ(section[2], L"Section: 00080000  Len: 00010000(65536)");
    EXPECT_EQ(section.back(), L"Section: 000c0000  Len: 00008000(32768)");
    EXPECT_EQ(uidouble::ControlText(dialog_, IDC_IMAGE_TEXT), L"Image: 00080000  Len: 00048000(294912)");
    EXPECT_EQ(uidouble::BarRangeHigh(dialog_, IDC_IMAGE_BAR), 0x120);
    EXPECT_EQ(uidouble::BarPos(dialog_, IDC_IMAGE_BAR), 0x120);
    EXPECT_EQ(uidouble::BarRangeHigh(dialog_, IDC_STEP_BAR), 32);
    EXPECT_EQ(uidouble::BarPos(dialog_, IDC_STEP_BAR), 32);
}

TEST_F(ImageUpdate, HalOffsetAndBootloaderRelocation)
{
    ASSERT_TRUE(board::SetSetting("hal-selector5", "140000,1400000,40000"));
    Bytes image = imagekit::Pattern(0x2000, 8);
    uidouble::AnswerNext(OS_IDNO);
    ExpectCompleted(Run(imagekit::BinOfImage(0xA0000000, image)));
    EXPECT_EQ(Peek(0x140000, image.size()), image);

    uidouble::Install();
    dialog_ = uidouble::NewDialog(&kProgress);
    Bytes boot = imagekit::Pattern(0x3000, 9);
    uidouble::AnswerNext(OS_IDOK);   // overwrites the Bootloader region
    uidouble::AnswerNext(OS_IDNO);
    ExpectCompleted(Run(imagekit::BinOfImage(0xBCA00000, boot)));
    EXPECT_EQ(uidouble::Boxes()[0].caption, L"WARNING");
    EXPECT_EQ(Peek(0, boot.size()), boot);
}

TEST_F(ImageUpdate, ResetYesMakesAColdRestart)
{
    uidouble::AnswerNext(OS_IDYES);
    ExpectCompleted(Run(imagekit::OsImageBin(0x80000000, 0x1000)));
    EXPECT_EQ(g_restarts.load(), 1);
    EXPECT_TRUE(g_restartCold.load());
    EXPECT_EQ(CountEvents("restart cold"), 1);
}

TEST_F(ImageUpdate, FullBuffersCostNineteenWritesAndThreeCommandsPerChunk)
{
    uidouble::AnswerNext(OS_IDNO);
    board::FlashResetCounters();
    // One block, four records of 64 KB: 16 chunks of 16 KB, 4096 buffers.
    ExpectCompleted(Run(imagekit::OsImageBin(0x80000000, 0x40000)));
    board::FlashCounters c = board::FlashGetCounters();
    // blank block: one read-array; chunks: read status, clear and the
    // read-array of the read-back each; buffers: 19 writes each; closing:
    // one read-array.
    EXPECT_EQ(c.busWrites, 1u + 16u * 3u + 4096u * 19u + 1u);
    EXPECT_GE(c.busReads, 0x40000u / 4u + 0x40000u / 4u) << "the blank check and the read-back";
}

TEST_F(ImageUpdate, ShortImageGivesBarRangesOfOne)
{
    uidouble::AnswerNext(OS_IDNO);
    ExpectCompleted(Run(imagekit::OsImageBin(0x80000000, 2047)));
    EXPECT_EQ(uidouble::BarRangeHigh(dialog_, IDC_STEP_BAR), 1);
    EXPECT_EQ(uidouble::BarRangeHigh(dialog_, IDC_IMAGE_BAR), 1);
}

TEST_F(ImageUpdate, OddRecordLengthLeavesThePaddingErased)
{
    std::vector<imagekit::BinRecord> records(2);
    records[0].address = 0x80000000;
    records[0].data = imagekit::Pattern(5, 1);
    records[1].address = 0x80000010;
    records[1].data = {};   // empty record, checksum 0: accepted
    uidouble::AnswerNext(OS_IDNO);
    ExpectCompleted(Run(imagekit::BuildBin(0x80000000, 0x100, records)));
    Bytes got = Peek(0x80000, 16);
    EXPECT_EQ(Bytes(got.begin(), got.begin() + 5), records[0].data);
    EXPECT_TRUE(AllErased(0x80005, 0x1000 - 5));
}

TEST_F(ImageUpdate, EndRecordEndsWhateverItsLengthAndWhateverFollows)
{
    BinOptions o;
    o.flaw = BinFlaw::ExtraAfterEnd;
    o.endLength = 0x12345678;
    uidouble::AnswerNext(OS_IDNO);
    ExpectCompleted(Run(imagekit::OsImageBin(0x80000000, 0x800, 7, o)));
}

TEST_F(ImageUpdate, EmptyRecordWithChecksumFailsTheChecksum)
{
    std::vector<imagekit::BinRecord> records(1);
    records[0].address = 0x80000100;
    BinOptions o;
    o.flaw = BinFlaw::BadChecksum;
    ExpectFailure(Run(imagekit::BuildBin(0x80000000, 0x1000, records, o)),
                  L"BAD CRC, Image File seems to be corrupt. Don't reboot Now! Try updating with another file");
}

TEST_F(ImageUpdate, FileEndingsBeforeTheFlash)
{
    struct Case {
        const char* name;
        BinFlaw flaw;
        std::wstring text;
        std::wstring caption;
    };
    const Case cases[] = {
        {"wrong signature", BinFlaw::WrongSignature, L"Not a WinCE Binary Image file!", L"ERRER"},
        {"short file", BinFlaw::ShortFile, L"Not a WinCE Binary Image file!", L"ERRER"},
        {"header cut", BinFlaw::TruncatedHeader, kUnexpectedEnd, L"ERROR"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Dirty(0x80000);
        uidouble::Install();
        dialog_ = uidouble::NewDialog(&kProgress);
        BinOptions o;
        o.flaw = c.flaw;
        ExpectFailure(Run(imagekit::OsImageBin(0x80000000, 0x1000, 7, o)), c.text, c.caption);
        EXPECT_FALSE(AllErased(0x80000, 64));   // nothing erased
    }
}

TEST_F(ImageUpdate, MissingFileMessageKeepsTheWholePath)
{
    std::wstring path = L"\\";
    path.append(IMAGE_PATH_CHARS - 2, L'x');   // the longest path that fits
    std::wcscpy(ImagePath, path.c_str());
    uint32_t result = ImageUpdateWorker(dialog_);
    ExpectFailure(result, L"Cannot Open Image File " + path);
    EXPECT_EQ(CountEvents("config-set 0 "), 1);   // handed back on every ending
}

TEST_F(ImageUpdate, SilentSelectorZeroIsNotHandedBack)
{
    ASSERT_TRUE(board::SetSetting("hal-selector0", "silent"));
    std::wcscpy(ImagePath, L"\\missing.bin");
    ExpectFailure(ImageUpdateWorker(dialog_), L"Cannot Open Image File \\missing.bin");
    EXPECT_EQ(CountEvents("config-set"), 0);
}

TEST_F(ImageUpdate, RecordEndings)
{
    struct Case {
        const char* name;
        BinFlaw flaw;
        size_t arg;
        std::wstring text;
    };
    const Case cases[] = {
        {"record header cut", BinFlaw::TruncatedRecordHeader, 0, kUnexpectedEnd},
        {"record data cut", BinFlaw::TruncatedRecordData, 13, kUnexpectedEnd},
        {"no end record", BinFlaw::MissingEnd, 0, kUnexpectedEnd},
        {"bad checksum", BinFlaw::BadChecksum, 0,
         L"BAD CRC, Image File seems to be corrupt. Don't reboot Now! Try updating with another file"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        uidouble::Install();
        dialog_ = uidouble::NewDialog(&kProgress);
        BinOptions o;
        o.flaw = c.flaw;
        o.flawRecord = 1;
        o.flawArg = c.arg;
        Dirty(0x80000);
        Bytes image = imagekit::Pattern(0x20000, 3);
        ExpectFailure(Run(imagekit::BinOfImage(0x80000000, image, 0x10000, o)), c.text);
        // The flaw is in the second record, found by the check of the whole
        // file: nothing was erased or programmed, the old image is whole.
        ExpectUntouched(0x80000);
        EXPECT_TRUE(uidouble::ControlTextHistory(dialog_, IDC_STEP_TEXT).empty());
    }
}

// The file is read in chunks that bring the next record's header with
// them: a file cut anywhere near a header or a chunk boundary must still
// end before the flash, and the whole file must land byte for byte.
TEST_F(ImageUpdate, EveryCutNearAHeaderOrChunkEndsBeforeTheFlash)
{
    std::vector<imagekit::BinRecord> records(4);
    const size_t sizes[] = {IMAGE_CHUNK_BYTES + 20, 0, 6, IMAGE_CHUNK_BYTES};
    uint32_t address = 0x80000000;
    for (size_t i = 0; i < 4; ++i) {
        records[i].address = address;
        records[i].data = imagekit::Pattern(sizes[i], static_cast<uint32_t>(i + 2));
        address += static_cast<uint32_t>((sizes[i] + 15) & ~size_t(15));
    }
    const Bytes file = imagekit::BuildBin(0x80000000, 0x10000, records);
    std::vector<size_t> boundaries = {imagekit::kBinHeaderSize};
    size_t at = imagekit::kBinHeaderSize;
    for (size_t size : sizes) {
        at += imagekit::kBinRecordHeaderSize;
        boundaries.push_back(at);
        if (size > IMAGE_CHUNK_BYTES)
            boundaries.push_back(at + IMAGE_CHUNK_BYTES);
        at += size;
        boundaries.push_back(at);
    }
    boundaries.push_back(file.size());
    ASSERT_EQ(at + imagekit::kBinRecordHeaderSize, file.size());
    Dirty(0x80000);
    for (size_t b : boundaries) {
        for (size_t cut = b > 13 ? b - 13 : 0; cut <= b + 13 && cut < file.size(); ++cut) {
            SCOPED_TRACE(cut);
            uidouble::Install();
            dialog_ = uidouble::NewDialog(&kProgress);
            ExpectFailure(Run(Bytes(file.begin(), file.begin() + static_cast<std::ptrdiff_t>(cut))),
                          cut < imagekit::kBinHeaderSize - 8 ? L"Not a WinCE Binary Image file!" : kUnexpectedEnd,
                          cut < imagekit::kBinHeaderSize - 8 ? L"ERRER" : L"ERROR");
            ExpectUntouched(0x80000);
        }
    }
    uidouble::Install();
    dialog_ = uidouble::NewDialog(&kProgress);
    uidouble::AnswerNext(OS_IDNO);
    ExpectCompleted(Run(file));
    for (const imagekit::BinRecord& r : records)
        EXPECT_EQ(Peek(r.address - 0x80000000 + 0x80000, r.data.size()), r.data) << std::hex << r.address;
}

TEST_F(ImageUpdate, OverlapCancelStopsBeforeTheErase)
{
    Dirty(0x0);
    uidouble::AnswerNext(OS_IDCANCEL);
    uint32_t result = Run(imagekit::OsImageBin(0xBCA00000, 0x1000));
    EXPECT_EQ(result, 0u);
    ASSERT_EQ(uidouble::Boxes().size(), 1u);
    EXPECT_EQ(uidouble::Boxes()[0].caption, L"WARNING");
    EXPECT_FALSE(AllErased(0, 64));
    ExpectClosed();
}

// The image ends inside a block in which the HAL's registry area begins:
// the erase of that block reaches the registry, so the warning names it.
TEST_F(ImageUpdate, TheWarningNamesWhatTheEraseOfTheLastBlockReaches)
{
    ASSERT_TRUE(board::SetSetting("hal-selector5", "80000,c8000,100"));
    Dirty(0xC8000);
    uidouble::AnswerNext(OS_IDCANCEL);
    EXPECT_EQ(Run(imagekit::OsImageBin(0x80000000, 0x48000)), 0u);   // flash 0x80000..0xC8000
    std::vector<uidouble::Box> boxes = uidouble::Boxes();
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].caption, L"WARNING");
    EXPECT_NE(boxes[0].text.find(L"\nRegistry\n"), std::wstring::npos);
    ExpectUntouched(0xC8000);
    ExpectClosed();
}

TEST_F(ImageUpdate, EraseAndProgramFailures)
{
    Dirty(0xC0000);
    ASSERT_TRUE(board::SetSetting("fault-erase", "0xC0000"));
    ExpectFailure(Run(imagekit::OsImageBin(0x80000000, 0x80000)), L"Error Erasing Flash Sector");
    ASSERT_TRUE(board::SetSetting("fault-erase", "none"));

    uidouble::Install();
    dialog_ = uidouble::NewDialog(&kProgress);
    ASSERT_TRUE(board::SetSetting("fault-program", "0xC0000"));
    ExpectFailure(Run(imagekit::OsImageBin(0x80000000, 0x80000)), L"Error writing to Flash!");
    ASSERT_TRUE(board::SetSetting("fault-program", "none"));

    // The devices keep the failure's error bits; the next run is healthy.
    uidouble::Install();
    dialog_ = uidouble::NewDialog(&kProgress);
    uidouble::AnswerNext(OS_IDNO);
    Bytes image = imagekit::Pattern(0x80000, 5);
    ExpectCompleted(Run(imagekit::BinOfImage(0x80000000, image)));
    EXPECT_EQ(Peek(0x80000, image.size()), image);
}

TEST_F(ImageUpdate, StuckEraseEndsOnTheVirtualClock)
{
    Dirty(0x80000);
    ASSERT_TRUE(board::SetSetting("fault-busy", "0x80000"));
    OsUseVirtualClock(0, 1);
    uint32_t t0 = OsGetTickCount();
    ExpectFailure(Run(imagekit::OsImageBin(0x80000000, 0x1000)), L"Error Erasing Flash Sector", L"ERROR", false);
    EXPECT_GE(OsGetTickCount() - t0, FLASH_ERASE_TIMEOUT_MS);
    EXPECT_TRUE(board::FlashGetDeviceInfo(0).stuck);
}

// Each fault of the board met by the program (on a blank block, which the
// erase skips) or by the erase (the block holds data): its message, an
// ending within the time-outs on the virtual clock, the lock free after.
TEST_F(ImageUpdate, EveryFlashFaultEndsTheRunWithItsMessage)
{
    struct Case {
        const char* key;
        bool dirty;
        const wchar_t* text;
    };
    // Blank cases first: a refused or hanging program leaves the block blank.
    const Case cases[] = {
        {"fault-locked", false, L"Error writing to Flash!"}, {"fault-vpp", false, L"Error writing to Flash!"},
        {"fault-busy", false, L"Error writing to Flash!"},   {"fault-locked", true, L"Error Erasing Flash Sector"},
        {"fault-vpp", true, L"Error Erasing Flash Sector"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.key) + (c.dirty ? " on data" : " on a blank block"));
        uidouble::Install();
        dialog_ = uidouble::NewDialog(&kProgress);
        if (c.dirty)
            Dirty(0x80000);
        ASSERT_EQ(AllErased(0x80000, 64), !c.dirty);
        ASSERT_TRUE(board::SetSetting(c.key, "0x80000"));
        OsUseVirtualClock(0, 1);
        uint32_t t0 = OsGetTickCount();
        const bool stuck = std::string(c.key) == "fault-busy";
        ExpectFailure(Run(imagekit::OsImageBin(0x80000000, 0x1000)), c.text, L"ERROR", !stuck);
        EXPECT_LE(OsGetTickCount() - t0, FLASH_BUFFER_TIMEOUT_MS + 1000);
        if (stuck) {
            EXPECT_GE(OsGetTickCount() - t0, FLASH_BUFFER_TIMEOUT_MS);
        }
        OsUseRealClock();
        ASSERT_TRUE(board::SetSetting(c.key, "none"));
    }
}

TEST_F(ImageUpdate, ImagesThatCannotBeWrittenSafelyAreRefusedBeforeTheErase)
{
    struct Case {
        uint32_t start;
        uint32_t length;
        std::wstring text;
        bool data = true;
    };
    const Case cases[] = {
        // Nothing but an empty record: the erase and then the restart
        // question over an empty range.
        {0x80000000, 0x40000, L"The image file holds no data!", false},
        // Length 0 and the end record alone: nothing to write, so no
        // restart question either.
        {0x80000000, 0, L"The image file holds no data!", false},
        {0x01F00000, 0x200000, L"Image does not fit in Flash!"},
        {0xFFFFF000, 0x2000, L"Image does not fit in Flash!"},          // wraps past 2^32
        {0x80000000, 0x1FC0000, L"Image does not fit in Flash!"},        // W + length > 32 MB
        {0x00081000, 0x1000, L"Image does not start on a Flash block boundary!"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.start);
        Dirty(0x80000);
        Dirty(0x1F00000);
        uidouble::Install();
        dialog_ = uidouble::NewDialog(&kProgress);
        Bytes image = imagekit::Pattern(0x100, 2);
        std::vector<imagekit::BinRecord> records(c.length != 0 ? 1 : 0);
        if (c.length != 0)
            records[0].address = c.start;
        if (c.data)
            records[0].data = image;
        ExpectFailure(Run(imagekit::BuildBin(c.start, c.length, records)), c.text);
        EXPECT_FALSE(AllErased(0x80000, 64));
        EXPECT_FALSE(AllErased(0x1F00000, 64));
    }
}

// The file is copied over (in place) while the warning is up: the records
// that the programming pass then meets are not the ones that were checked.
// Its end record, met at once, once made an erased range look complete; a
// file cut short, or one whose record now lies outside the image, ended
// after the erase without a word of the image being gone.
TEST_F(ImageUpdate, AFileRewrittenAfterItsCheckIsNeverTakenForComplete)
{
    const Bytes good = imagekit::OsImageBin(0xBCA00000, 0x48000);
    std::vector<imagekit::BinRecord> outside(1);
    outside[0].address = 0xBCA50000;
    outside[0].data = imagekit::Pattern(0x100, 3);
    const Bytes replacements[] = {
        imagekit::BuildBin(0xBCA00000, 0x48000, {}),                      // the end record only
        Bytes(good.begin(), good.begin() + good.size() / 2),              // cut short
        imagekit::BuildBin(0xBCA00000, 0x48000, outside),                 // a record past the image
    };
    for (const Bytes& replacement : replacements) {
        SCOPED_TRACE(replacement.size());
        uidouble::Install();
        dialog_ = uidouble::NewDialog(&kProgress);
        Dirty(0x0);
        Place(good);   // over the bootloader: the warning asks
        const std::string host = board_.rootfs() + "/img.bin";
        uidouble::OnNextBox([&] { EXPECT_TRUE(imagekit::WriteFile(host, replacement)); });
        uidouble::AnswerNext(OS_IDOK);
        EXPECT_EQ(ImageUpdateWorker(dialog_), 0u);
        std::vector<uidouble::Box> boxes = uidouble::Boxes();
        ASSERT_EQ(boxes.size(), 2u);
        EXPECT_EQ(boxes[0].caption, L"WARNING");
        EXPECT_EQ(boxes[1].caption, L"ERROR");
        EXPECT_EQ(boxes[1].text, L"The image file changed during the update! The image in Flash is incomplete. "
                                 L"Don't reboot Now! Update again with a good file");
        EXPECT_EQ(g_restarts.load(), 0);
        ExpectClosed();
    }
}

TEST_F(ImageUpdate, RecordsOutsideTheImageOrOffTheBusWordAreNotProgrammed)
{
    struct Case {
        uint32_t address;
        std::wstring text;
    };
    const Case cases[] = {
        {0x7FFFFF00, L"Record outside the image!"},    // before the image
        {0x80000F80, L"Record outside the image!"},    // runs past its end
        {0x80100000, L"Record outside the image!"},    // far past it
        {0x80000002, L"Record not aligned to the Flash bus width!"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.address);
        Dirty(0x80000);
        Dirty(0x100000);
        uidouble::Install();
        dialog_ = uidouble::NewDialog(&kProgress);
        // A sound record first: the bad one is the file's last.
        std::vector<imagekit::BinRecord> records(2);
        records[0].address = 0x80000000;
        records[0].data = imagekit::Pattern(0x100, 5);
        records[1].address = c.address;
        records[1].data = imagekit::Pattern(0x100, 6);
        ExpectFailure(Run(imagekit::BuildBin(0x80000000, 0x1000, records)), c.text);
        ExpectUntouched(0x80000);   // found before the erase
        EXPECT_TRUE(AllErased(0x7FF00, 0x100));
        ExpectUntouched(0x100000);
    }
}

// Records may come in any order and touch each other; one that overlaps an
// earlier one would be programmed over it after the erase and fail its
// read-back as if the flash were at fault. A file of more scattered records
// than the check keeps track of is not refused for that.
TEST_F(ImageUpdate, OverlappingRecordsAreRefusedBeforeTheErase)
{
    auto record = [](uint32_t address, uint32_t length, uint8_t seed) {
        imagekit::BinRecord r;
        r.address = address;
        r.data = imagekit::Pattern(length, seed);
        return r;
    };
    // Middle, then the one before it, then the one after: all touching.
    std::vector<imagekit::BinRecord> records = {record(0x80000200, 0x100, 1), record(0x80000000, 0x200, 2),
                                                record(0x80000300, 0x100, 3)};
    uidouble::AnswerNext(OS_IDNO);
    ExpectCompleted(Run(imagekit::BuildBin(0x80000000, 0x1000, records)));
    EXPECT_EQ(Peek(0x80200, 0x100), records[0].data);
    EXPECT_EQ(Peek(0x80000, 0x200), records[1].data);

    for (uint32_t address : {0x80000000u, 0x800002FCu, 0x800001FCu}) {
        SCOPED_TRACE(address);
        uidouble::Install();
        dialog_ = uidouble::NewDialog(&kProgress);
        std::vector<imagekit::BinRecord> clash = records;
        clash.push_back(record(address, 8, 4));
        ExpectFailure(Run(imagekit::BuildBin(0x80000000, 0x1000, clash)),
                      L"Records of the Image File overlap, it seems to be corrupt. Try updating with another file");
        EXPECT_EQ(Peek(0x80000, 0x200), records[1].data);   // the image before, whole
    }

    uidouble::Install();
    dialog_ = uidouble::NewDialog(&kProgress);
    std::vector<imagekit::BinRecord> scattered;
    for (uint32_t i = 0; i < 5000; ++i)
        scattered.push_back(record(0x80000000 + 8 * i, 4, uint8_t(i)));
    uidouble::AnswerNext(OS_IDNO);
    ExpectCompleted(Run(imagekit::BuildBin(0x80000000, 0x40000, scattered)));
    EXPECT_EQ(Peek(0x80000 + 8 * 4999, 4), scattered[4999].data);
}

TEST_F(ImageUpdate, AbortBeforeTheEraseTouchesNothing)
{
    // Seen by the check of the file (at its first chunk): no message, no
    // restart question, the old image whole.
    Dirty(0x80000);
    AbortRequested = 1;
    EXPECT_EQ(Run(imagekit::OsImageBin(0x80000000, 0x1000)), 0u);
    EXPECT_TRUE(uidouble::Boxes().empty());
    ExpectUntouched(0x80000);
    ExpectClosed();
}

TEST_F(ImageUpdate, SixteenBitBusResetsBothDevicesAtTheEnd)
{
    ASSERT_TRUE(board::SetSetting("bus", "16"));
    BusWidth = 2;
    ASSERT_TRUE(board::SetSetting("hal-selector5", "1000000,1400000,40000"));   // on the second device
    Bytes image = imagekit::Pattern(0x30000, 12);   // two 128 KB blocks
    uidouble::AnswerNext(OS_IDNO);
    uint32_t result = Run(imagekit::BinOfImage(0x80000000, image));
    BusWidth = 4;
    ExpectCompleted(result);
    EXPECT_EQ(Peek(0x1000000, image.size()), image);
}

// A chunk that runs from the first 16-bit device into the second: error
// bits left in the second device by an earlier failure must not fail it.
TEST_F(ImageUpdate, SixteenBitBusChunkAcrossBothDevicesAfterAFailure)
{
    ASSERT_TRUE(board::SetSetting("bus", "16"));
    BusWidth = 2;
    uint8_t* w = MapFlashWindow(FLASH_WINDOW_FULL);
    ASSERT_NE(w, nullptr);
    Bytes junk = imagekit::Pattern(68, 3);
    ASSERT_TRUE(board::SetSetting("fault-program", "0x1020000"));
    EXPECT_EQ(ProgramFlash(junk.data(), w + 0x1020000, 64), 0);   // error bits stay in the second device
    ASSERT_TRUE(board::SetSetting("fault-program", "none"));
    UnmapFlashWindow(w);

    ASSERT_TRUE(board::SetSetting("hal-selector5", "fe0000,1400000,40000"));
    std::vector<imagekit::BinRecord> records(2);
    records[0].address = 0x80000000;
    records[0].data = imagekit::Pattern(0x10, 13);
    records[1].address = 0x80000010;   // chunks start off a 16 KB boundary
    records[1].data = imagekit::Pattern(0x30000, 14);
    uidouble::AnswerNext(OS_IDNO);
    uint32_t result = Run(imagekit::BuildBin(0x80000000, 0x40000, records));
    BusWidth = 4;
    ExpectCompleted(result);
    EXPECT_EQ(Peek(0xFE0010, 0x30000), records[1].data);
}

// The worker on its own thread, as the progress dialog starts it: the
// dialog's side sees the path emptied no later than the dialog's end, and
// the lock is free once the thread has ended.
TEST_F(ImageUpdate, ThreadedWorkerEmptiesThePathBeforeEndingTheDialog)
{
    uidouble::AnswerNext(OS_IDNO);
    Place(imagekit::OsImageBin(0x80000000, 0x8000));
    Handle thread = OsCreateThread(ImageUpdateWorker, dialog_);
    ASSERT_NE(thread, nullptr);
    while (!uidouble::Ended(dialog_)) {
        if (OsWaitForSingleObject(thread, 1) == OS_WAIT_OBJECT_0)
            break;
    }
    ASSERT_TRUE(uidouble::Ended(dialog_));
    EXPECT_EQ(ImagePath[0], L'\0');   // already empty when the dialog ended
    ASSERT_EQ(OsWaitForSingleObject(thread, OS_INFINITE), OS_WAIT_OBJECT_0);
    OsCloseHandle(thread);
    ExpectClosed();
}

// Another program holds the flash (an update waiting for its restart
// answer): the run says that it waits, and Abort gives the wait up with
// nothing touched. The wait once heard nothing but the lock.
TEST_F(ImageUpdate, AbortGivesUpTheWaitForAFlashInUse)
{
    Dirty(0x80000);
    Place(imagekit::OsImageBin(0x80000000, 0x8000));
    Handle other = OsCreateMutex(L"NorFlash");   // held by this thread, the worker runs on its own
    ASSERT_EQ(OsWaitForSingleObject(other, OS_INFINITE), OS_WAIT_OBJECT_0);
    uidouble::OnControlText([](int id, const std::wstring& text) {
        if (id == IDC_STEP_TEXT && text == L"Waiting for the Flash: another program is using it")
            AbortRequested = 1;
    });
    Handle thread = OsCreateThread(ImageUpdateWorker, dialog_);
    ASSERT_NE(thread, nullptr);
    EXPECT_EQ(OsWaitForSingleObject(thread, 30000), OS_WAIT_OBJECT_0) << "still waiting for the lock";
    OsReleaseMutex(other);
    OsCloseHandle(other);
    ASSERT_EQ(OsWaitForSingleObject(thread, OS_INFINITE), OS_WAIT_OBJECT_0);
    OsCloseHandle(thread);
    EXPECT_TRUE(uidouble::Boxes().empty());
    ExpectUntouched(0x80000);
    ExpectClosed();
}

// ---- The update never costs the running image -----------------------------

TEST_F(ImageUpdate, CheckOfTheFileShowsItsProgressOnlyWhenItTakesLong)
{
    // Every read of the virtual clock: 200 ms, so the check of the file
    // (one look at the clock a chunk) soon takes long enough to show.
    OsUseVirtualClock(0, 200000);
    Bytes image = imagekit::Pattern(0x20000, 4);
    uidouble::AnswerNext(OS_IDNO);
    ExpectCompleted(Run(imagekit::BinOfImage(0x80000000, image)));
    std::vector<std::wstring> section = uidouble::ControlTextHistory(dialog_, IDC_STEP_TEXT);
    ASSERT_GE(section.size(), 4u);
    EXPECT_EQ(section[0], L"Checking Section: 00080000  Len: 00010000(65536)");
    EXPECT_EQ(section[1], L"Checking Section: 00090000  Len: 00010000(65536)");
    EXPECT_EQ(section[2], L"Erasing Flash Sector at 00080000");
    EXPECT_EQ(section.back(), L"Section: 00090000  Len: 00010000(65536)");
    EXPECT_EQ(Peek(0x80000, image.size()), image);
}

TEST_F(ImageUpdate, AbortAtTheOverlapWarningErasesNothing)
{
    // Ctrl-C while the warning is up used to become an Abort that OK then
    // turned into an erase with nothing written.
    Dirty(0x0);
    uidouble::OnNextBox([] { AbortRequested = 1; });
    uidouble::AnswerNext(OS_IDOK);
    EXPECT_EQ(Run(imagekit::OsImageBin(0xBCA00000, 0x1000)), 0u);
    ASSERT_EQ(uidouble::Boxes().size(), 1u);
    EXPECT_EQ(uidouble::Boxes()[0].caption, L"WARNING");
    ExpectUntouched(0x0);
    EXPECT_EQ(g_restarts.load(), 0);
    ExpectClosed();
}

TEST_F(ImageUpdate, AbortOnceTheEraseHasBegunWarnsThatTheImageIsIncomplete)
{
    struct Case {
        const char* name;
        std::wstring trigger;   // the step at which Abort is pressed
    };
    const Case cases[] = {
        {"during the erase", L"Erasing Flash Sector at 00080000"},
        {"inside a record", L"Section: 00090000  Len: 00010000(65536)"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        uidouble::Install();
        dialog_ = uidouble::NewDialog(&kProgress);
        Dirty(0x80000);
        Dirty(0xC0000);
        AbortRequested = 0;
        const std::wstring trigger = c.trigger;
        uidouble::OnControlText([trigger](int id, const std::wstring& text) {
            if (id == IDC_STEP_TEXT && text == trigger)
                AbortRequested = 1;
        });
        Bytes image = imagekit::Pattern(0x48000, 5);
        ExpectFailure(Run(imagekit::BinOfImage(0x80000000, image)), kAborted);
        // The erase is never cut short.
        EXPECT_TRUE(AllErased(0xC0000, 0x40000));
        if (trigger[0] == L'S') {   // the first record was written, nothing of the second
            EXPECT_EQ(Peek(0x80000, 0x10000), Bytes(image.begin(), image.begin() + 0x10000));
            EXPECT_TRUE(AllErased(0x90000, 0x10000));
        }
    }
}

// A chip still erasing a block for a program that was killed (datasheet
// timing on the virtual clock): commands sent to it while busy are lost.
TEST_F(ImageUpdate, ABusyChipIsWaitedForBeforeItIsCommanded)
{
    Dirty(0x80000);   // the old image
    ASSERT_TRUE(board::SetSetting("timing", "datasheet"));
    OsUseVirtualClock(1000000, 1);
    uint8_t* w = MapFlashWindow(FLASH_WINDOW_FULL);
    ASSERT_NE(w, nullptr);
    Dirty(0x100000);
    FlashWriteWord(w + 0x100000, FLASH_CMD_BLOCK_ERASE);
    FlashWriteWord(w + 0x100000, FLASH_CMD_CONFIRM);
    UnmapFlashWindow(w);
    ASSERT_TRUE(board::FlashGetDeviceInfo(0).busy);

    Bytes image = imagekit::Pattern(0x1000, 8);
    uidouble::AnswerNext(OS_IDNO);
    ExpectCompleted(Run(imagekit::BinOfImage(0x80000000, image)));
    EXPECT_EQ(Peek(0x80000, image.size()), image) << "not the new data ANDed with the old";
    EXPECT_TRUE(AllErased(0x80000 + image.size(), 0x40000 - image.size()));
}

// A worn block: programs leave some bits set while the status reports
// success; only the read-back finds it.
TEST_F(ImageUpdate, ReadBackFindsAWornBlockThatReportsSuccess)
{
    Dirty(0x80000);
    ASSERT_TRUE(board::SetSetting("fault-stuck", "0xC0000"));
    Bytes image(0x48000, 0x00);   // every bit must be cleared
    ExpectFailure(Run(imagekit::BinOfImage(0x80000000, image)), L"Error writing to Flash!");
    EXPECT_EQ(Peek(0x80000, 0x40000), Bytes(image.begin(), image.begin() + 0x40000)) << "the sound block";
    ASSERT_TRUE(board::SetSetting("fault-stuck", "none"));
}

// A cell that an erase cannot set back to one, while the devices report
// success. A clock that clears the bit at every reading of the time (the
// erase's poll reads it after the erase), on a mapping of the board's flash
// image of its own, stands in for such a chip.
class StuckZeroClock {
public:
    explicit StuckZeroClock(uint32_t offset) : offset_(offset)
    {
        int fd = open(board::FlashImagePath().c_str(), O_RDWR | O_CLOEXEC);
        if (fd >= 0) {
            void* p = mmap(nullptr, board::kFlashSize, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
            close(fd);
            if (p != MAP_FAILED)
                image_ = static_cast<uint8_t*>(p);
        }
        ops_ = {Now, Sleep, this};
        OsSetClock(&ops_);
    }
    ~StuckZeroClock()
    {
        OsSetClock(nullptr);
        if (image_)
            munmap(image_, board::kFlashSize);
    }
    bool mapped() const { return image_ != nullptr; }

private:
    static uint64_t Now(void* ctx)
    {
        auto* c = static_cast<StuckZeroClock*>(ctx);
        if (c->image_)
            c->image_[c->offset_] &= 0xFB;
        return c->now_ += 1;
    }
    static void Sleep(void* ctx, uint64_t us) { static_cast<StuckZeroClock*>(ctx)->now_ += us; }

    uint32_t offset_;
    uint8_t* image_ = nullptr;
    uint64_t now_ = 1000000;
    OsClockOps ops_{};
};

TEST_F(ImageUpdate, ReadBackFindsAnEraseThatLeftAZero)
{
    Dirty(0x80000);
    ASSERT_TRUE(board::SetSetting("timing", "datasheet"));
    {
        StuckZeroClock clock(0x80123);
        ASSERT_TRUE(clock.mapped());
        ExpectFailure(Run(imagekit::OsImageBin(0x80000000, 0x2000)), L"Error Erasing Flash Sector");
    }
    ASSERT_TRUE(board::SetSetting("timing", "none"));
}

}  // namespace
