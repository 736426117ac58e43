// flashupdate's resources: the two templates control by control, their
// lookup, and the program icon as a file and as resources.
#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "platform/host/entry.h"
#include "resources/resources.h"

namespace {

struct Expected {
    int id;
    const wchar_t* className;
    const wchar_t* text;
    short x, y, cx, cy;
    uint32_t style;
};

void ExpectItems(const OsDialogTemplate& t, const std::vector<Expected>& want)
{
    ASSERT_EQ(t.itemCount, static_cast<int>(want.size()));
    for (size_t i = 0; i < want.size(); ++i) {
        const OsDialogItem& item = t.items[i];
        SCOPED_TRACE(i);
        EXPECT_EQ(item.id, want[i].id);
        EXPECT_STREQ(item.className, want[i].className);
        EXPECT_STREQ(item.text, want[i].text);
        EXPECT_EQ(item.x, want[i].x);
        EXPECT_EQ(item.y, want[i].y);
        EXPECT_EQ(item.cx, want[i].cx);
        EXPECT_EQ(item.cy, want[i].cy);
        EXPECT_EQ(item.style, want[i].style);
    }
}

TEST(ResourceTemplates, MainDialogInTemplateOrder)
{
    const OsDialogTemplate& t = MainDialogTemplate;
    EXPECT_STREQ(t.caption, L"Update Tool");
    EXPECT_EQ(t.style, 0x80C800C0u);
    EXPECT_EQ(t.cx, 119);
    EXPECT_EQ(t.cy, 119);
    EXPECT_STREQ(t.fontName, L"System");
    EXPECT_EQ(t.fontPoints, 8);
    ExpectItems(t, {
        {1001, L"BUTTON", L"Save Registry to Flash", 7, 7, 105, 19, 0x50010000},
        {1000, L"BUTTON", L"Clear Registry on Flash", 7, 28, 105, 19, 0x50010000},
        {1002, L"BUTTON", L"Update Bootloader/Image", 7, 49, 105, 19, 0x50010000},
        {1004, L"BUTTON", L"BSP Version", 7, 70, 105, 19, 0x50010000},
        {1003, L"BUTTON", L"Coldboot", 69, 93, 43, 19, 0x50010000},
        {1005, L"BUTTON", L"Warmboot", 7, 93, 43, 19, 0x50010000},
    });
}

TEST(ResourceTemplates, ProgressDialogInTemplateOrder)
{
    const OsDialogTemplate& t = ProgressDialogTemplate;
    EXPECT_STREQ(t.caption, L"Updating IMAGE");
    EXPECT_EQ(t.style, 0x80C800C0u);
    EXPECT_EQ(t.cx, 171);
    EXPECT_EQ(t.cy, 89);
    EXPECT_STREQ(t.fontName, L"System");
    EXPECT_EQ(t.fontPoints, 8);
    ExpectItems(t, {
        {2, L"BUTTON", L"Abort", 52, 71, 58, 11, 0x50010000},
        {1002, L"msctls_progress32", L"Progress1", 7, 20, 157, 13, 0x50800000},
        {1003, L"msctls_progress32", L"Progress2", 7, 52, 157, 14, 0x50800000},
        {1004, L"STATIC", L"", 7, 7, 157, 10, 0x50020000},
        {1005, L"STATIC", L"", 7, 39, 157, 10, 0x50020000},
    });
}

TEST(ResourceTemplates, FoundByIdAndDialogType)
{
    Instance module = OsModuleFor(&AppResources);
    Resource main = OsFindResource(module, 101, 5);
    Resource progress = OsFindResource(module, 102, 5);
    ASSERT_NE(main, nullptr);
    ASSERT_NE(progress, nullptr);
    EXPECT_EQ(OsLoadResource(module, main), &MainDialogTemplate);
    EXPECT_EQ(OsLoadResource(module, progress), &ProgressDialogTemplate);
    EXPECT_EQ(OsFindResource(module, 103, 5), nullptr);
    EXPECT_EQ(OsFindResource(module, 101, OS_RT_GROUP_ICON), nullptr);
    Resource icon = OsFindResource(module, 102, OS_RT_GROUP_ICON);
    ASSERT_NE(icon, nullptr) << "icon group 102 shares its number with the progress dialog";
    EXPECT_EQ(OsLoadResource(module, icon), AppIconGroup);
}

uint16_t U16(const unsigned char* p) { return static_cast<uint16_t>(p[0] | p[1] << 8); }
uint32_t U32(const unsigned char* p)
{
    return p[0] | p[1] << 8 | p[2] << 16 | static_cast<uint32_t>(p[3]) << 24;
}

// Checks one 4-bit image of size x size: its header and total length.
void ExpectImage(const unsigned char* data, size_t length, int size)
{
    ASSERT_GE(length, 40u);
    EXPECT_EQ(U32(data), 40u);                                  // header size
    EXPECT_EQ(static_cast<int32_t>(U32(data + 4)), size);       // width
    EXPECT_EQ(static_cast<int32_t>(U32(data + 8)), size * 2);   // colour rows + mask rows
    EXPECT_EQ(U16(data + 12), 1);                               // planes
    EXPECT_EQ(U16(data + 14), 4);                               // bits per pixel
    EXPECT_EQ(U32(data + 16), 0u);                              // uncompressed
    size_t colourRow = (size * 4 + 31) / 32 * 4;
    size_t maskRow = (size + 31) / 32 * 4;
    EXPECT_EQ(length, 40 + 16 * 4 + size * (colourRow + maskRow));
}

TEST(ResourceIcon, FileHoldsTwoSixteenColourImages)
{
    std::ifstream in(std::string(TEST_SOURCE_DIR) + "/resources/flashupdate.ico", std::ios::binary);
    ASSERT_TRUE(in.good());
    std::vector<unsigned char> ico((std::istreambuf_iterator<char>(in)), {});
    ASSERT_GE(ico.size(), 6u + 2 * 16);
    EXPECT_EQ(U16(&ico[0]), 0);
    EXPECT_EQ(U16(&ico[2]), 1) << "type 1: icon";
    ASSERT_EQ(U16(&ico[4]), 2);
    const int sizes[] = {32, 16};
    const unsigned char* images[] = {AppIcon32, AppIcon16};
    const size_t imageSizes[] = {AppIcon32Size, AppIcon16Size};
    for (int i = 0; i < 2; ++i) {
        const unsigned char* e = &ico[6 + 16 * i];
        SCOPED_TRACE(sizes[i]);
        EXPECT_EQ(e[0], sizes[i]);
        EXPECT_EQ(e[1], sizes[i]);
        EXPECT_EQ(e[2], 16) << "16 colours";
        EXPECT_EQ(U16(e + 4), 1);
        EXPECT_EQ(U16(e + 6), 4) << "4 bits a pixel";
        uint32_t length = U32(e + 8), offset = U32(e + 12);
        ASSERT_LE(static_cast<size_t>(offset) + length, ico.size());
        ExpectImage(&ico[offset], length, sizes[i]);
        // The resources carry the very same image.
        ASSERT_EQ(imageSizes[i], length);
        EXPECT_EQ(memcmp(images[i], &ico[offset], length), 0);
    }
}

TEST(ResourceIcon, GroupDirectoryNamesItsImagesById)
{
    ASSERT_EQ(AppIconGroupSize, 6u + 2 * 14);
    EXPECT_EQ(U16(AppIconGroup + 2), 1);
    ASSERT_EQ(U16(AppIconGroup + 4), 2);
    Instance module = OsModuleFor(&AppResources);
    for (int i = 0; i < 2; ++i) {
        const unsigned char* e = AppIconGroup + 6 + 14 * i;
        uint16_t id = U16(e + 12);
        Resource image = OsFindResource(module, id, OS_RT_ICON);
        ASSERT_NE(image, nullptr);
        const auto* data = static_cast<const unsigned char*>(OsLoadResource(module, image));
        ExpectImage(data, U32(e + 8), e[0]);
        EXPECT_EQ(U16(e + 6), 4);
    }
}

}  // namespace
