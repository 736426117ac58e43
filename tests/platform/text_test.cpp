#include <gtest/gtest.h>

#include <clocale>
#include <cstring>
#include <string>

#include "board/board.h"
#include "platform/common/utf16.h"
#include "platform/host/text.h"
#include "tests/support/temp_board.h"
#include "platform/text.h"

namespace {

constexpr wchar_t kFill = static_cast<wchar_t>(0xCCCC);  // neither zero nor text

class TextTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        const char* old = setlocale(LC_CTYPE, nullptr);
        saved_ = old ? old : "C";
    }
    void TearDown() override { setlocale(LC_CTYPE, saved_.c_str()); }
    std::string saved_;
};

TEST_F(TextTest, FormatsWideAndNarrowArguments)
{
    wchar_t buf[64];
    int n = OsFormat(buf, 64, L"%ls\\AutoRun\\%ls #%d %s", L"\\Storage Card", L"*.exe", 3, "nk");
    EXPECT_EQ(std::wstring(buf), L"\\Storage Card\\AutoRun\\*.exe #3 nk");
    EXPECT_EQ(n, static_cast<int>(wcslen(buf)));
}

TEST_F(TextTest, FormatNeverWritesPastItsCapacity)
{
    wchar_t buf[16];
    for (wchar_t& c : buf)
        c = kFill;
    // Exactly fitting: five characters and the terminator in six.
    EXPECT_EQ(OsFormat(buf, 6, L"%ls", L"abcde"), 5);
    EXPECT_EQ(std::wstring(buf), L"abcde");
    EXPECT_EQ(buf[6], kFill);

    // One character too many: cut, terminated, reported.
    for (wchar_t& c : buf)
        c = kFill;
    EXPECT_EQ(OsFormat(buf, 6, L"%ls!", L"abcde"), -1);
    EXPECT_EQ(buf[5], L'\0');
    EXPECT_EQ(std::wstring(buf), L"abcde");
    for (size_t i = 6; i < 16; ++i)
        EXPECT_EQ(buf[i], kFill) << i;

    // A long path into a device path buffer.
    wchar_t path[260];
    std::wstring longName(400, L'x');
    EXPECT_EQ(OsFormat(path, 260, L"%ls\\%ls", L"\\Card", longName.c_str()), -1);
    EXPECT_EQ(wcslen(path), 259u);

    EXPECT_EQ(OsFormat(buf, 0, L"abc"), -1);
    EXPECT_EQ(buf[0], L'a');  // capacity 0: nothing written at all
}

TEST_F(TextTest, FailedFormatLeavesATerminatedText)
{
    setlocale(LC_CTYPE, "C");
    wchar_t buf[8];
    for (wchar_t& c : buf)
        c = kFill;
    // A narrow argument that the code page cannot convert.
    EXPECT_EQ(OsFormat(buf, 8, L"%s", "a\xff"), -1);
    EXPECT_NE(wmemchr(buf, L'\0', 8), nullptr);
}

TEST_F(TextTest, WidenUsesTheBoardsCodePageNeverTheLocale)
{
    TempBoard board;
    wchar_t out[16];
    // The default: the device's western code page, whatever the locale.
    for (const char* locale : {"C", "C.UTF-8"}) {
        if (setlocale(LC_CTYPE, locale) == nullptr) continue;
        EXPECT_EQ(OsWiden("caf\xe9 \x80\x9f\x81", out, 16), 8u);
        EXPECT_EQ(std::wstring(out), L"caf\u00e9 \u20ac\u0178\u0081");
    }
    setlocale(LC_CTYPE, "C");
    ASSERT_TRUE(board::SetSetting("codepage", "28591"));
    EXPECT_EQ(OsWiden("\x80\xe9", out, 16), 2u);
    EXPECT_EQ(std::wstring(out), L"\u0080\u00e9");

    ASSERT_TRUE(board::SetSetting("codepage", "65001"));
    EXPECT_EQ(OsWiden("caf\xc3\xa9", out, 16), 4u);
    EXPECT_EQ(std::wstring(out), L"caf\u00e9");
    // Beyond U+FFFF: a surrogate pair, whatever the width of wchar_t.
    EXPECT_EQ(OsWiden("\xf0\x9f\x92\xbe!", out, 16), 3u);
    EXPECT_EQ(out[0], static_cast<wchar_t>(0xD83D));
    EXPECT_EQ(out[1], static_cast<wchar_t>(0xDCBE));
    EXPECT_EQ(out[2], L'!');
    // ...and never half of one: with room for one unit only, nothing.
    EXPECT_EQ(OsWiden("\xf0\x9f\x92\xbe", out, 2), 0u);
    // A byte that is not UTF-8 is the replacement character, never the
    // Latin-1 letter of its value, and the text goes on after it; so is
    // each byte of a sequence cut short, in the middle or at the end.
    EXPECT_EQ(OsWiden("a\xff" "b\x80\xe9" "c\xc3", out, 16), 7u);
    EXPECT_EQ(std::wstring(out), L"a\ufffdb\ufffd\ufffdc\ufffd");

    EXPECT_FALSE(board::SetSetting("codepage", "437"));
}

TEST_F(TextTest, WidenStopsAtItsCapacity)
{
    wchar_t out[8];
    for (wchar_t& c : out)
        c = kFill;
    EXPECT_EQ(OsWiden("abcdefgh", out, 4), 3u);
    EXPECT_EQ(std::wstring(out), L"abc");
    EXPECT_EQ(out[4], kFill);
    EXPECT_EQ(OsWiden("abc", out, 0), 0u);
    EXPECT_EQ(out[0], L'a');
    EXPECT_EQ(OsWiden("", out, 4), 0u);
    EXPECT_EQ(out[0], L'\0');
}

TEST_F(TextTest, NarrowsToUtf8WithoutSplittingCharacters)
{
    setlocale(LC_CTYPE, "C");  // independent of the locale
    char out[16];
    EXPECT_EQ(OsNarrowUtf8(L"\u00e9\u20ac\U0001F600", out, sizeof out), 9u);
    EXPECT_STREQ(out, "\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80");

    // Room for "é" and half of "€": the half is left out.
    memset(out, 0x5A, sizeof out);
    EXPECT_EQ(OsNarrowUtf8(L"\u00e9\u20ac", out, 4), 2u);
    EXPECT_STREQ(out, "\xc3\xa9");
    EXPECT_EQ(out[4], 0x5A);

    // A surrogate pair is one character, also with a 32-bit wchar_t.
    const wchar_t pair[] = {static_cast<wchar_t>(0xD83D), static_cast<wchar_t>(0xDCBE), 0};
    EXPECT_EQ(OsNarrowUtf8(pair, out, sizeof out), 4u);
    EXPECT_STREQ(out, "\xf0\x9f\x92\xbe");

    // Characters that UTF-8 cannot carry do not pass through unchanged.
    const wchar_t bad[] = {static_cast<wchar_t>(0xD800), L'x', 0};
    EXPECT_EQ(OsNarrowUtf8(bad, out, sizeof out), 4u);
    EXPECT_STREQ(out, "\xef\xbf\xbdx");
}

// The conversions as a 16-bit wchar_t sees them (the device, Windows):
// the same templates over char16_t.
TEST(Utf16, SixteenBitUnitsCarryEveryCharacterAsPairs)
{
    const char* utf8 = "\\Vol\xf0\x9f\x92\xbe\xc3\xa9\xff";
    const std::u16string wide = utf16::Widen<char16_t>(utf8, std::strlen(utf8));
    EXPECT_EQ(wide, u"\\Vol\U0001F4BE\u00e9\xDCFF");
    char back[32];
    EXPECT_EQ(utf16::ToUtf8(wide.c_str(), back, sizeof back), std::strlen(utf8));
    EXPECT_STREQ(back, utf8);

    // Never half a pair.
    const char16_t pair[] = u"\U0001F4BE";
    EXPECT_EQ(utf16::ToUtf8(pair, back, 4), 0u);
    // A lone high surrogate carries nothing: U+FFFD.
    const char16_t lone[] = {0xD83D, u'x', 0};
    EXPECT_EQ(utf16::ToUtf8(lone, back, sizeof back), 4u);
    EXPECT_STREQ(back, "\xef\xbf\xbdx");

    // The wide type of this build agrees unit for unit.
    const std::wstring native = utf16::Widen<wchar_t>(utf8, std::strlen(utf8));
    ASSERT_EQ(native.size(), 8u);
    for (size_t i = 0; i < 8; ++i) EXPECT_EQ(static_cast<uint32_t>(native[i]), wide[i]);
}

// The counted forms keep NULs inside and a pair cut at the end, and the
// board's own files take a stray byte as the character of its value.
TEST(Utf16, CountedFormsKeepEveryByteAndEveryUnit)
{
    const std::string bytes("a\0\xf0\x9f\x92\xbe\xe9\xf0\x9f", 9);
    const std::u16string wide = utf16::Widen<char16_t>(bytes.data(), bytes.size());
    EXPECT_EQ(wide, std::u16string(u"a\0\U0001F4BE\xDCE9\xDCF0\xDC9F", 7));
    EXPECT_EQ(utf16::Narrow(wide.data(), wide.size()), bytes);

    EXPECT_EQ(utf16::Widen<char16_t>("\xe9", 1, false), u"\u00e9");
    const char16_t stray[] = {0xDCE9, 0xD83D};   // a byte's stand-in, then half a pair
    EXPECT_EQ(utf16::Narrow(stray, 2, false), "\xef\xbf\xbd\xef\xbf\xbd");
    EXPECT_EQ(utf16::Narrow(stray, 2), "\xe9\xef\xbf\xbd");
}

}  // namespace
