// Bootloader identification on copies of the flash's first 128 KB: version
// block, banner, ROM header and table of contents, and what stays inside
// the window when the contents are damaged.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "board/imagekit.h"
#include "version/bsp_version.h"

namespace {

using imagekit::Bytes;

// Copies src into dst at offset, growing dst (with 0xFF) when needed.
void PlaceAt(Bytes& dst, size_t offset, const Bytes& src)
{
    if (dst.size() < offset + src.size())
        dst.resize(offset + src.size(), 0xFF);
    if (!src.empty())
        std::memcpy(dst.data() + offset, src.data(), src.size());
}

// Filler that can be mistaken neither for erased flash nor for zeros.
Bytes Window(uint8_t fill = 0xCC)
{
    return Bytes(VERSION_WINDOW_SIZE, fill);
}

void PutVersionBlock(Bytes& w, uint32_t at, uint32_t id, int32_t major, uint32_t minorAndBuild)
{
    imagekit::Put32(w, at, VERSION_MARKER_HEAD);
    imagekit::Put32(w, at + 4, id);
    imagekit::Put32(w, at + 8, (uint32_t)major);
    imagekit::Put32(w, at + 12, minorAndBuild);
    imagekit::Put32(w, at + 16, VERSION_MARKER_TAIL);
}

void PutText(Bytes& w, uint32_t at, const std::string& text, bool terminate = true)
{
    std::memcpy(w.data() + at, text.data(), text.size());
    if (terminate)
        w[at + text.size()] = 0;
}

// The first 128 KB of a bootloader built by the kit.
Bytes BootWindow(const imagekit::BootloaderSpec& spec)
{
    Bytes b = imagekit::BuildBootloader(spec);
    EXPECT_FALSE(b.empty());
    b.resize(VERSION_WINDOW_SIZE, 0xFF);
    return b;
}

// The report's dates are read in the C locale.
class Identify : public ::testing::Test {
protected:
    void SetUp() override
    {
        const char* v = std::getenv("LC_ALL");
        hadLcAll_ = v != nullptr;
        savedLcAll_ = v != nullptr ? v : "";
        setenv("LC_ALL", "C", 1);
    }
    void TearDown() override
    {
        if (hadLcAll_)
            setenv("LC_ALL", savedLcAll_.c_str(), 1);
        else
            unsetenv("LC_ALL");
    }
    std::wstring Boot(const Bytes& w, BuildVersion* record)
    {
        wchar_t date[DATE_TEXT_CHARS];
        wmemset(date, L'#', DATE_TEXT_CHARS);
        IdentifyBootloader(w.data(), record, date);
        return date;
    }
    bool hadLcAll_ = false;
    std::string savedLcAll_;
};

TEST_F(Identify, VersionBlockOnlyAtAlignedPositionsWithBothMarkersInside)
{
    Bytes w = Window();
    BuildVersion r{9, 9, 9};
    EXPECT_EQ(FindVersionBlock(w.data(), &r), 0);
    EXPECT_EQ(r.id, 9u);   // untouched when absent

    // Unaligned: not a block.
    PutVersionBlock(w, 0x102, 1, 4, 5);
    EXPECT_EQ(FindVersionBlock(w.data(), &r), 0);

    // The first aligned block wins.
    PutVersionBlock(w, 0x1000, 2, -3, 0x00030002);
    PutVersionBlock(w, 0x2000, 1, 8, 8);
    ASSERT_EQ(FindVersionBlock(w.data(), &r), 1);
    EXPECT_EQ(r.id, 2u);
    EXPECT_EQ(r.major, -3);
    EXPECT_EQ(r.minorAndBuild, 0x00030002u);

    // Last full block of the window: found. One word later its tail would
    // lie outside, so the head in the last four words is never taken.
    Bytes end = Window();
    PutVersionBlock(end, VERSION_WINDOW_SIZE - 20, 1, 7, 7);
    ASSERT_EQ(FindVersionBlock(end.data(), &r), 1);
    EXPECT_EQ(r.major, 7);
    for (uint32_t back = 16; back >= 4; back -= 4) {
        Bytes tail = Window();
        imagekit::Put32(tail, VERSION_WINDOW_SIZE - back, VERSION_MARKER_HEAD);
        imagekit::Put32(tail, VERSION_WINDOW_SIZE - 4, VERSION_MARKER_TAIL);
        BuildVersion untouched{5, 5, 5};
        EXPECT_EQ(FindVersionBlock(tail.data(), &untouched), 0) << back;
        EXPECT_EQ(untouched.major, 5);
    }
}

TEST_F(Identify, FindTextAndItsRestartRule)
{
    Bytes w = Window();
    uint32_t after = 0;
    EXPECT_EQ(FindText(w.data(), "Bootloader", &after), 0);
    EXPECT_EQ(FindText(w.data(), "", &after), 0);

    PutText(w, 0x500, "MMicrosoft Windows CE Ethernet Bootloader 1.2");
    ASSERT_EQ(FindText(w.data(), "Microsoft Windows CE Ethernet Bootloader ", &after), 1);
    EXPECT_EQ(after, 0x501u + 41u);

    // An occurrence that begins inside a failed partial match is missed.
    Bytes q = Window();
    PutText(q, 0x10, "aab");
    EXPECT_EQ(FindText(q.data(), "ab", &after), 1);
    EXPECT_EQ(after, 0x13u);
    EXPECT_EQ(FindText(q.data(), "aab", &after), 1);
    Bytes r = Window();
    PutText(r, 0x10, "aaab");
    EXPECT_EQ(FindText(r.data(), "aab", &after), 0);

    // A text that ends with the window's last byte is found; one that the
    // window cuts is not.
    Bytes e = Window();
    PutText(e, VERSION_WINDOW_SIZE - 5, "Hello", false);
    ASSERT_EQ(FindText(e.data(), "Hello", &after), 1);
    EXPECT_EQ(after, VERSION_WINDOW_SIZE);
    EXPECT_EQ(FindText(e.data(), "Hello!", &after), 0);
}

TEST_F(Identify, MonthNames)
{
    for (int m = 0; m < 12; ++m)
        EXPECT_EQ(MonthFromName(MonthNames[m]), m + 1);
    EXPECT_EQ(MonthFromName("mar"), 3);
    EXPECT_EQ(MonthFromName("DEC"), 12);
    EXPECT_EQ(MonthFromName(""), 0);
    EXPECT_EQ(MonthFromName("Ma"), 0);
    EXPECT_EQ(MonthFromName("March"), 0);
    EXPECT_EQ(MonthFromName("???"), 0);
}

TEST_F(Identify, RomHeaderMustBeConsistentAndInsideTheWindow)
{
    imagekit::RomImageSpec spec;
    spec.length = 0x8000;
    spec.baseAddress = 0x9FC00000;
    spec.headerOffset = 0x2000;
    spec.modules = {{"nk.exe", 1}};
    Bytes w = Window();
    PlaceAt(w, 0, imagekit::BuildRomImage(spec));
    uint32_t header = 0;
    uint32_t offset = 0;
    ASSERT_EQ(FindRomHeader(w.data(), &header, &offset), 1);
    EXPECT_EQ(header, 0x2000u);
    EXPECT_EQ(0x9FC00040u + offset, 0x40u);   // an image address maps into the window

    // The offset word's low bits are dropped to locate the header, but the
    // consistency rule takes the word as it stands: with them in the header
    // address too it holds, without them it does not.
    spec.headerOffsetLowBits = 3;
    spec.headerAddressSkew = 3;
    w = Window();
    PlaceAt(w, 0, imagekit::BuildRomImage(spec));
    ASSERT_EQ(FindRomHeader(w.data(), &header, &offset), 1);
    EXPECT_EQ(header, 0x2000u);
    EXPECT_EQ(0x9FC00040u + offset, 0x40u);
    spec.headerAddressSkew = 0;
    w = Window();
    PlaceAt(w, 0, imagekit::BuildRomImage(spec));
    EXPECT_EQ(FindRomHeader(w.data(), &header, &offset), 0);

    spec.headerOffsetLowBits = 0;
    spec.headerAddressSkew = 4;     // header address disagrees with its offset
    w = Window();
    PlaceAt(w, 0, imagekit::BuildRomImage(spec));
    EXPECT_EQ(FindRomHeader(w.data(), &header, &offset), 0);

    spec.headerAddressSkew = 0;
    spec.signature = false;
    w = Window();
    PlaceAt(w, 0, imagekit::BuildRomImage(spec));
    EXPECT_EQ(FindRomHeader(w.data(), &header, &offset), 0);

    // Header offsets whose fields leave the window are no header, however
    // consistent the words are.
    const uint32_t outside[] = {VERSION_WINDOW_SIZE - 0x10, VERSION_WINDOW_SIZE, 0xFFFFFFF0u};
    for (uint32_t at : outside) {
        Bytes x = Window();
        imagekit::Put32(x, 0x40, 0x43454345);
        imagekit::Put32(x, 0x44, 0x80000000u + at);
        imagekit::Put32(x, 0x48, at);
        if (at + 0x0C <= VERSION_WINDOW_SIZE)
            imagekit::Put32(x, at + 8, 0x80000000u);
        EXPECT_EQ(FindRomHeader(x.data(), &header, &offset), 0) << std::hex << at;
    }
}

TEST_F(Identify, VersionBlockWinsOverBannerAndTheTocDatesIt)
{
    imagekit::BootloaderSpec spec;
    spec.id = 1;
    spec.major = 4;
    spec.minorAndBuild = 0x00030002;
    spec.modules = {{"boot.dll", imagekit::FileTimeOf(1999, 1, 1)},
                    {"nk.exe", imagekit::FileTimeOf(2007, 3, 5, 14, 30, 0)},
                    {"nk.exe", imagekit::FileTimeOf(2010, 1, 1)}};
    spec.bannerText = imagekit::BannerText(9, 9, 2, 29, 2008);
    BuildVersion r{0, 0, 0};
    EXPECT_EQ(Boot(BootWindow(spec), &r), L"05 Mar 2007 14:30:00 (GMT)");
    EXPECT_EQ(r.id, 1u);
    EXPECT_EQ(r.major, 4);
    EXPECT_EQ(r.minorAndBuild, 0x00030002u);

    // Module names are compared without regard to letter case.
    spec.modules = {{"NK.EXE", imagekit::FileTimeOf(2001, 12, 31, 23, 59, 59)}};
    EXPECT_EQ(Boot(BootWindow(spec), &r), L"31 Dec 2001 23:59:59 (GMT)");

    // No nk.exe, or no modules: no date, only the time of day.
    spec.modules = {{"nk.exe.bak", imagekit::FileTimeOf(2001, 1, 1)}, {"nk", 5}};
    EXPECT_EQ(Boot(BootWindow(spec), &r), L"00:00:00 (GMT)");
}

TEST_F(Identify, VersionBlockWithoutRomHeaderIsUnknownDate)
{
    imagekit::BootloaderSpec spec;
    spec.romImage = false;
    spec.major = 6;
    BuildVersion r{0, 0, 0};
    EXPECT_EQ(Boot(BootWindow(spec), &r), L"Unknown Date");
    EXPECT_EQ(r.major, 6);
}

TEST_F(Identify, TocWalkStaysInsideTheWindow)
{
    // A huge module count and entries running to the window's end: the walk
    // stops there (ASan would see any read beyond).
    Bytes w = Window();
    const uint32_t base = 0x80000000u;
    const uint32_t header = VERSION_WINDOW_SIZE - 0x54 - 2 * 32 - 8;
    imagekit::Put32(w, 0x40, 0x43454345);
    imagekit::Put32(w, 0x44, base + header);
    imagekit::Put32(w, 0x48, header);
    imagekit::Put32(w, header + 8, base);
    imagekit::Put32(w, header + 0x10, 0xFFFFFFFFu);
    PutVersionBlock(w, 0x100, 1, 1, 1);
    // Entry 0: a name that is never terminated before the window's end.
    uint32_t e0 = header + 0x54;
    imagekit::Put64(w, e0 + 4, imagekit::FileTimeOf(2003, 3, 3));
    PutText(w, VERSION_WINDOW_SIZE - 6, "nk.exe", false);
    imagekit::Put32(w, e0 + 0x10, base + VERSION_WINDOW_SIZE - 6);
    // Entry 1: a name far outside the window.
    uint32_t e1 = e0 + 32;
    imagekit::Put32(w, e1 + 0x10, base + 0x7FFFFFF0u);
    BuildVersion r{0, 0, 0};
    EXPECT_EQ(Boot(w, &r), L"00:00:00 (GMT)");

    // The same walk finds a terminated name that lies inside.
    PutText(w, 0x300, "nk.exe");
    imagekit::Put64(w, e1 + 4, imagekit::FileTimeOf(2004, 4, 4, 4, 4, 4));
    imagekit::Put32(w, e1 + 0x10, base + 0x300);
    EXPECT_EQ(Boot(w, &r), L"04 Apr 2004 04:04:04 (GMT)");
}

TEST_F(Identify, BannerGivesVersionAndMidnightDate)
{
    imagekit::BootloaderSpec spec;
    spec.versionBlock = false;
    spec.bannerText = imagekit::BannerText(3, 12, 2, 29, 2008);
    BuildVersion r{0, 0, 0};
    EXPECT_EQ(Boot(BootWindow(spec), &r), L"29 Feb 2008 00:00:00 (GMT)");
    EXPECT_EQ(r.id, 1u);
    EXPECT_EQ(r.major, 3);
    EXPECT_EQ(r.minorAndBuild, 12u);

    // Another board name: id and version numbers, no date.
    spec.bannerText = "Microsoft Windows CE Ethernet Bootloader 2.7 for Other Board Built Mar 5 2007";
    r = BuildVersion{0, 0, 0};
    EXPECT_EQ(Boot(BootWindow(spec), &r), L"00:00:00 (GMT)");
    EXPECT_EQ(r.id, 1u);
    EXPECT_EQ(r.major, 2);
    EXPECT_EQ(r.minorAndBuild, 7u);

    // Blanks in the pattern match any run of white space, none included.
    spec.bannerText =
        "Microsoft Windows CE Ethernet Bootloader  -2147483648.65535 for\tMalvint  Kavrani "
        "Built Dec\n31 1999";
    r = BuildVersion{0, 0, 0};
    EXPECT_EQ(Boot(BootWindow(spec), &r), L"31 Dec 1999 00:00:00 (GMT)");
    EXPECT_EQ(r.major, INT32_MIN);
    EXPECT_EQ(r.minorAndBuild, 65535u);
}

TEST_F(Identify, LongMonthTokenIsRejectedNotOverrun)
{
    imagekit::BootloaderSpec spec;
    spec.versionBlock = false;
    spec.bannerText = "Microsoft Windows CE Ethernet Bootloader 1.2 for Malvint Kavrani Built "
                      "Marzipan_and_a_very_long_token_indeed 5 2007";
    BuildVersion r{0, 0, 0};
    EXPECT_EQ(Boot(BootWindow(spec), &r), L"00:00:00 (GMT)");
    EXPECT_EQ(r.major, 1);
    EXPECT_EQ(r.minorAndBuild, 2u);
}

TEST_F(Identify, BannerCutByTheWindowEnd)
{
    // The text runs to the window's last byte with no terminator: the scan
    // stops there, keeping what it read.
    Bytes w = Window();
    std::string text = "Microsoft Windows CE Ethernet Bootloader 5.6 for Malvint Kavrani Built Jun 1";
    PutText(w, VERSION_WINDOW_SIZE - (uint32_t)text.size(), text, false);
    BuildVersion r{0, 0, 0};
    EXPECT_EQ(Boot(w, &r), L"00:00:00 (GMT)");
    EXPECT_EQ(r.id, 1u);
    EXPECT_EQ(r.major, 5);
    EXPECT_EQ(r.minorAndBuild, 6u);

    // Digits to the very end: a number is read up to the window's end.
    Bytes d = Window();
    std::string digits = "Microsoft Windows CE Ethernet Bootloader 77";
    PutText(d, VERSION_WINDOW_SIZE - (uint32_t)digits.size(), digits, false);
    r = BuildVersion{0, 0, 0};
    Boot(d, &r);
    EXPECT_EQ(r.major, 77);
    EXPECT_EQ(r.minorAndBuild, 0u);
}

TEST_F(Identify, NeitherBlockNorBannerKeepsTheRecord)
{
    BuildVersion r{0, 0, 0};
    EXPECT_EQ(Boot(Window(0xFF), &r), L"00:00:00 (GMT)");
    EXPECT_EQ(r.id, 0u);
    EXPECT_EQ(r.major, 0);
    EXPECT_EQ(r.minorAndBuild, 0u);
}

TEST_F(Identify, FormatBuildDateShapes)
{
    wchar_t date[DATE_TEXT_CHARS];
    SystemTime t{};
    t.year = 2007;
    t.month = 3;
    t.day = 5;
    t.hour = 14;
    t.minute = 30;
    FormatBuildDate(&t, date);
    EXPECT_STREQ(date, L"05 Mar 2007 14:30:00 (GMT)");
    SystemTime zero{};
    FormatBuildDate(&zero, date);
    EXPECT_STREQ(date, L"00:00:00 (GMT)");
    // A date whose time of day is no time: the date alone, with no blank
    // left hanging and nothing unterminated.
    SystemTime noTime = t;
    noTime.hour = 25;
    FormatBuildDate(&noTime, date);
    EXPECT_STREQ(date, L"05 Mar 2007 (GMT)");
    noTime.month = 0;
    FormatBuildDate(&noTime, date);
    EXPECT_STREQ(date, L" (GMT)");
}

}  // namespace
