// Registry text beyond U+FFFF: the store keeps UTF-8, programs see UTF-16
// (a surrogate pair), whatever the width of wchar_t.
#include <gtest/gtest.h>

#include <string>

#include "board/registry_store.h"
#include "platform/registry.h"
#include "tests/support/temp_board.h"

namespace {

TEST(RegistryText, CharactersBeyondUPlusFFFFAreSurrogatePairs)
{
    TempBoard board;
    const std::string key = "Software\\Drill";
    // U+1F4BE in a key name and in a value, both ways.
    ASSERT_TRUE(board::RegSetValue(key + "\\Disk\xf0\x9f\x92\xbe", "Name\xf0\x9f\x92\xbe",
                                   board::RegValue::String("\\Disk\xf0\x9f\x92\xbe")));
    const wchar_t sub[] = {L'S', L'o', L'f', L't', L'w', L'a', L'r', L'e', L'\\', L'D', L'r', L'i',
                           L'l', L'l', L'\\', L'D', L'i', L's', L'k', static_cast<wchar_t>(0xD83D),
                           static_cast<wchar_t>(0xDCBE), 0};
    const wchar_t name[] = {L'N', L'a', L'm', L'e', static_cast<wchar_t>(0xD83D),
                            static_cast<wchar_t>(0xDCBE), 0};
    RegKey opened = nullptr;
    ASSERT_EQ(OsRegOpenKeyEx(OS_HKEY_LOCAL_MACHINE, sub, 0, 0, &opened), OS_ERROR_SUCCESS);
    wchar_t text[16] = {};
    uint32_t type = 0;
    uint32_t size = sizeof text;
    ASSERT_EQ(OsRegQueryValueEx(opened, name, &type, text, &size), OS_ERROR_SUCCESS);
    OsRegCloseKey(opened);
    EXPECT_EQ(type, OS_REG_SZ);
    const wchar_t expected[] = {L'\\', L'D', L'i', L's', L'k', static_cast<wchar_t>(0xD83D),
                                static_cast<wchar_t>(0xDCBE), 0};
    EXPECT_EQ(std::wstring(text), std::wstring(expected));
}

// Bytes that are not UTF-8 reach the program as the characters of those
// bytes: an overlong '/' is no '/', and a form beyond U+10FFFF no pair.
TEST(RegistryText, BytesThatAreNotUtf8StandForThemselves)
{
    TempBoard board;
    ASSERT_TRUE(board::RegSetValue("Software\\Drill", "Odd", board::RegValue::String("a\xC0\xAF\xF4\x90\x80\x80")));
    RegKey opened = nullptr;
    ASSERT_EQ(OsRegOpenKeyEx(OS_HKEY_LOCAL_MACHINE, L"Software\\Drill", 0, 0, &opened), OS_ERROR_SUCCESS);
    wchar_t text[16] = {};
    uint32_t size = sizeof text;
    ASSERT_EQ(OsRegQueryValueEx(opened, L"Odd", nullptr, text, &size), OS_ERROR_SUCCESS);
    OsRegCloseKey(opened);
    EXPECT_EQ(std::wstring(text), std::wstring(L"a\xC0\xAF\xF4\x90\x80\x80"));
}

}  // namespace
