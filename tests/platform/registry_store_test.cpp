// The registry as the programs see it, the store's text form, and the
// saved copy in the flash registry area.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <iterator>
#include <thread>

#include "board/board.h"
#include "board/registry_store.h"
#include "platform/clock.h"
#include "platform/hal.h"
#include "platform/host/clock.h"
#include "platform/registry.h"
#include "tests/support/temp_board.h"

namespace {
std::vector<uint8_t> FlashBytes(const TempBoard& tb, uint32_t off, uint32_t n)
{
    std::ifstream f(tb.dir() + "/flash.img", std::ios::binary);
    f.seekg(off);
    std::vector<uint8_t> out(n);
    f.read(reinterpret_cast<char*>(out.data()), n);
    return out;
}
}  // namespace

TEST(RegistryApi, OpensAndReadsTheFlashDriverValues)
{
    TempBoard tb;
    RegKey key = nullptr;
    ASSERT_EQ(OsRegOpenKeyEx(OS_HKEY_LOCAL_MACHINE, L"Drivers\\BuiltIn\\StrataFMD", 0, 0xF003F, &key), 0);
    uint32_t value = 0xCCCCCCCC, size = 4, type = 0;
    EXPECT_EQ(OsRegQueryValueEx(key, L"MemBase", &type, &value, &size), 0);
    EXPECT_EQ(type, OS_REG_DWORD);
    EXPECT_EQ(value, 0x01480000u);
    EXPECT_EQ(size, 4u);
    size = 4;
    EXPECT_EQ(OsRegQueryValueEx(key, L"MEMLEN", nullptr, &value, &size), 0);
    EXPECT_EQ(value, 0x00B80000u);
    size = 4;
    EXPECT_EQ(OsRegQueryValueEx(key, L"Missing", nullptr, &value, &size), OS_ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(OsRegCloseKey(key), 0);
    EXPECT_EQ(OsRegCloseKey(key), OS_ERROR_INVALID_HANDLE);
    EXPECT_EQ(OsRegOpenKeyEx(OS_HKEY_LOCAL_MACHINE, L"Drivers\\Nothing", 0, 0, &key), OS_ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(OsRegOpenKeyEx(OS_HKEY_LOCAL_MACHINE, L"Drivers\\..\\System", 0, 0, &key), OS_ERROR_FILE_NOT_FOUND);
    int local = 0;
    EXPECT_EQ(OsRegCloseKey(reinterpret_cast<RegKey>(&local)), OS_ERROR_INVALID_HANDLE);
}

TEST(RegistryApi, StringsAreWideWithTerminatorAndTooSmallBuffersAreUntouched)
{
    TempBoard tb;
    RegKey key = nullptr;
    uint32_t disposition = 0;
    ASSERT_EQ(OsRegCreateKeyEx(OS_HKEY_LOCAL_MACHINE, L"System\\StorageManager\\Profiles\\MSFlash", &key,
                               &disposition), 0);
    EXPECT_EQ(disposition, 2u);
    wchar_t buf[260];
    uint32_t size = sizeof buf, type = 0;
    ASSERT_EQ(OsRegQueryValueEx(key, L"Folder", &type, buf, &size), 0);
    EXPECT_EQ(type, OS_REG_SZ);
    EXPECT_STREQ(buf, L"\\Flash Disk");
    EXPECT_EQ(size, (wcslen(L"\\Flash Disk") + 1) * sizeof(wchar_t));

    wchar_t small[4] = {L'x', L'y', L'z', 0};
    size = sizeof small;
    EXPECT_EQ(OsRegQueryValueEx(key, L"Folder", nullptr, small, &size), OS_ERROR_MORE_DATA);
    EXPECT_EQ(size, (wcslen(L"\\Flash Disk") + 1) * sizeof(wchar_t));
    EXPECT_STREQ(small, L"xyz");
    OsRegCloseKey(key);

    // Non-ASCII text survives the round trip through the store.
    ASSERT_TRUE(board::RegSetValue("Test", "Name", board::RegValue::String("Gr\xC3\xBC\xC3\x9F \"q\" \\")));
    ASSERT_EQ(OsRegOpenKeyEx(OS_HKEY_LOCAL_MACHINE, L"test", 0, 0, &key), 0);
    size = sizeof buf;
    ASSERT_EQ(OsRegQueryValueEx(key, L"name", nullptr, buf, &size), 0);
    EXPECT_STREQ(buf, L"Gr\u00FC\u00DF \"q\" \\");
    OsRegCloseKey(key);
}

TEST(RegistryApi, CreateMakesAnEmptyKeyOnce)
{
    TempBoard tb;
    RegKey key = nullptr, sub = nullptr;
    uint32_t disposition = 0;
    ASSERT_EQ(OsRegCreateKeyEx(OS_HKEY_LOCAL_MACHINE, L"A\\B\\C", &key, &disposition), 0);
    EXPECT_EQ(disposition, 1u);
    OsRegCloseKey(key);
    ASSERT_EQ(OsRegCreateKeyEx(OS_HKEY_LOCAL_MACHINE, L"a\\b\\c", &key, &disposition), 0);
    EXPECT_EQ(disposition, 2u);
    // Relative to an open key.
    ASSERT_EQ(OsRegOpenKeyEx(OS_HKEY_LOCAL_MACHINE, L"A", 0, 0, &sub), 0);
    RegKey rel = nullptr;
    EXPECT_EQ(OsRegOpenKeyEx(sub, L"B\\C", 0, 0, &rel), 0);
    OsRegCloseKey(rel);
    OsRegCloseKey(sub);
    OsRegCloseKey(key);
    uint32_t size = 0;
    EXPECT_EQ(OsRegQueryValueEx(key, L"x", nullptr, nullptr, &size), OS_ERROR_INVALID_HANDLE);
}

TEST(RegistryStore, TextRoundTripAndDamage)
{
    board::RegHive hive;
    std::string err;
    ASSERT_TRUE(board::RegParseText("REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\K]\n\"D\"=dword:0000002a\n"
                                    "\"S\"=\"a\\\\b\\\"c\\n\"\n\"B\"=hex:00,ff,10\n@=\"def\"\n; comment\n",
                                    &hive, &err)) << err;
    std::string text = board::RegSerialize(hive);
    board::RegHive again;
    ASSERT_TRUE(board::RegParseText(text, &again, &err)) << err;
    EXPECT_EQ(board::RegSerialize(again), text);
    const auto& values = again.keys.at("k").values;
    EXPECT_EQ(values.at("d").second.dword, 42u);
    EXPECT_EQ(values.at("s").second.text, "a\\b\"c\n");
    EXPECT_EQ(values.at("b").second.bytes, (std::vector<uint8_t>{0x00, 0xff, 0x10}));
    EXPECT_EQ(values.at("").second.text, "def");

    for (const char* bad : {"\"v\"=dword:1\n", "[HKEY_CURRENT_USER\\X]\n", "[HKEY_LOCAL_MACHINE\\X]\n\"v\"=dword:123456789\n",
                            "[HKEY_LOCAL_MACHINE\\X]\n\"v\"=dword:0x1\n", "[HKEY_LOCAL_MACHINE\\X]\n\"v\"=dword:\n",
                            "[HKEY_LOCAL_MACHINE\\X]\n\"v\"=hex:0g\n", "[HKEY_LOCAL_MACHINE\\X]\n\"v=\"x\"\n",
                            "[HKEY_LOCAL_MACHINE\\X]\n\"v\"=qword:1\n", "[HKEY_LOCAL_MACHINE\\..]\n"}) {
        board::RegHive h;
        EXPECT_FALSE(board::RegParseText(bad, &h, &err)) << bad;
    }
}

// What an editor may make of the file: a UTF-8 byte-order mark is read
// past; UTF-16 is refused as such, not as "value before any key"; a key
// line means exactly the root or a key under it, with nothing after it.
TEST(RegistryStore, KeyLinesAndEncodingMarksAreReadStrictly)
{
    board::RegHive hive;
    std::string err;
    ASSERT_TRUE(board::RegParseText("\xEF\xBB\xBFREGEDIT4\r\n[HKEY_LOCAL_MACHINE\\K] \r\n\"v\"=dword:1\r\n", &hive,
                                    &err)) << err;
    EXPECT_EQ(hive.keys.at("k").values.at("v").second.dword, 1u);
    EXPECT_FALSE(board::RegParseText(std::string("\xFF\xFER\0E\0G\0", 8), &hive, &err));
    EXPECT_EQ(err, "line 1: UTF-16 text; the registry file is UTF-8");
    for (const char* bad : {"[HKEY_LOCAL_MACHINEX\\K]\n", "[HKEY_LOCAL_MACHINE_2]\n",
                            "[HKEY_LOCAL_MACHINE\\K] \"v\"=dword:1\n"}) {
        board::RegHive h;
        EXPECT_FALSE(board::RegParseText(bad, &h, &err)) << bad;
        EXPECT_EQ(err.rfind("line 1: ", 0), 0u) << err;
    }
}

TEST(RegistryStore, ThreadedWritersLoseNothing)
{
    TempBoard tb;
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([t] {
            for (int i = 0; i < 10; ++i)
                board::RegSetValue("Load", "v" + std::to_string(t) + "_" + std::to_string(i),
                                   board::RegValue::Dword(uint32_t(t * 100 + i)));
        });
    for (auto& th : threads)
        th.join();
    for (int t = 0; t < 4; ++t)
        for (int i = 0; i < 10; ++i) {
            board::RegValue v;
            ASSERT_TRUE(board::RegGetValue("LOAD", "V" + std::to_string(t) + "_" + std::to_string(i), &v));
            EXPECT_EQ(v.dword, uint32_t(t * 100 + i));
        }
}

TEST(RegistryFlush, SavesIntoTheFlashAreaAndClearErasesIt)
{
    TempBoard tb;
    EXPECT_EQ(OsRegFlushKey(OS_HKEY_LOCAL_MACHINE), 0);
    std::vector<uint8_t> area = FlashBytes(tb, 0x1400000, 0x80000);
    uint32_t magic, len, sum, inv;
    std::memcpy(&magic, area.data(), 4);
    std::memcpy(&len, area.data() + 4, 4);
    std::memcpy(&sum, area.data() + 8, 4);
    std::memcpy(&inv, area.data() + 12, 4);
    EXPECT_EQ(magic, board::kRegFlashMagic);
    EXPECT_EQ(inv, ~len);
    ASSERT_LT(len, 0x80000u - 16);
    std::string text(reinterpret_cast<const char*>(area.data() + 16), len);
    EXPECT_NE(text.find("\"MemBase\"=dword:01480000"), std::string::npos);
    uint32_t s = 0;
    for (unsigned char c : text)
        s += c;
    EXPECT_EQ(s, sum);
    EXPECT_TRUE(std::all_of(area.begin() + 16 + len, area.end(), [](uint8_t b) { return b == 0xFF; }));
    // The region just past the area is untouched.
    EXPECT_EQ(FlashBytes(tb, 0x1480000, 1)[0], 0xFF);
    std::string saved;
    EXPECT_TRUE(board::RegReadFlash(&saved));
    EXPECT_EQ(saved, text);

    EXPECT_NE(OsHalRequest(0x01012010, nullptr, 0, nullptr, 0, nullptr), 0);
    area = FlashBytes(tb, 0x1400000, 0x80000);
    EXPECT_TRUE(std::all_of(area.begin(), area.end(), [](uint8_t b) { return b == 0xFF; }));
    EXPECT_FALSE(board::RegReadFlash(&saved));

    ASSERT_TRUE(board::SetSetting("hal-registry-clear", "fail"));
    EXPECT_EQ(OsHalRequest(0x01012010, nullptr, 0, nullptr, 0, nullptr), 0);
    EXPECT_EQ(board::Events(),
              (std::vector<std::string>{"registry-flush ok", "registry-clear ok", "registry-clear failed"}));
}

// The area is written through the flash devices: their faults fail the
// flush and the clear, and bytes that share a block with the area stay.
TEST(RegistryFlush, GoesThroughTheFlashDevices)
{
    TempBoard tb;
    ASSERT_TRUE(board::SetSetting("fault-locked", "0x1400000"));
    EXPECT_EQ(OsRegFlushKey(OS_HKEY_LOCAL_MACHINE), OS_ERROR_WRITE_FAULT);
    EXPECT_EQ(FlashBytes(tb, 0x1400000, 1)[0], 0xFF);
    ASSERT_TRUE(board::SetSetting("fault-locked", "none"));
    EXPECT_EQ(OsRegFlushKey(OS_HKEY_LOCAL_MACHINE), 0);
    ASSERT_TRUE(board::SetSetting("fault-erase", "0x1400000"));
    EXPECT_EQ(OsHalRequest(0x01012010, nullptr, 0, nullptr, 0, nullptr), 0);
    std::string saved;
    EXPECT_TRUE(board::RegReadFlash(&saved)) << "a failed erase leaves the saved registry";
    ASSERT_TRUE(board::SetSetting("fault-erase", "none"));
    // A stuck device ends the clear at its time-out.
    ASSERT_TRUE(board::SetSetting("fault-busy", "0x1400000"));
    OsUseVirtualClock(0, 1);
    EXPECT_EQ(OsHalRequest(0x01012010, nullptr, 0, nullptr, 0, nullptr), 0);
    EXPECT_GE(OsClockMicros(), 10000000u);
    OsUseRealClock();
    ASSERT_TRUE(board::SetSetting("fault-busy", "none"));
    // Worn cells report success; the read-back finds them.
    ASSERT_TRUE(board::SetSetting("fault-stuck", "0x1400000"));
    ASSERT_TRUE(board::RegSetValue("Worn", "v", board::RegValue::Dword(0)));
    EXPECT_EQ(OsRegFlushKey(OS_HKEY_LOCAL_MACHINE), OS_ERROR_WRITE_FAULT);
    ASSERT_TRUE(board::SetSetting("fault-stuck", "none"));
    EXPECT_EQ(board::Events(), (std::vector<std::string>{"registry-flush failed", "registry-flush ok",
                                                         "registry-clear failed", "registry-clear failed",
                                                         "registry-flush failed"}));

    // An area off the block boundaries: its neighbours in the same blocks
    // are programmed back after the erase.
    ASSERT_TRUE(board::SetSetting("hal-selector5", "80000,1410000,8000"));
    const std::vector<uint8_t> before = FlashBytes(tb, 0x1400000, 0x80000);
    EXPECT_EQ(OsRegFlushKey(OS_HKEY_LOCAL_MACHINE), 0);
    const std::vector<uint8_t> after = FlashBytes(tb, 0x1400000, 0x80000);
    EXPECT_TRUE(std::equal(before.begin(), before.begin() + 0x10000, after.begin()));
    EXPECT_TRUE(std::equal(before.begin() + 0x20000, before.end(), after.begin() + 0x20000));
    EXPECT_TRUE(board::RegReadFlash(&saved));
}

TEST(RegistryFlush, FailsWhenSetToFailOrTooSmall)
{
    TempBoard tb;
    ASSERT_TRUE(board::SetSetting("registry-flush", "fail"));
    EXPECT_EQ(OsRegFlushKey(OS_HKEY_LOCAL_MACHINE), OS_ERROR_WRITE_FAULT);
    ASSERT_TRUE(board::SetSetting("registry-flush", "ok"));
    // An area of 32 bytes cannot hold the registry: nothing is written.
    ASSERT_TRUE(board::SetSetting("hal-selector5", "80000,1400000,10"));
    EXPECT_EQ(OsRegFlushKey(OS_HKEY_LOCAL_MACHINE), OS_ERROR_WRITE_FAULT);
    EXPECT_EQ(FlashBytes(tb, 0x1400000, 1)[0], 0xFF);
    // An area reaching past the flash is refused too.
    ASSERT_TRUE(board::SetSetting("hal-selector5", "80000,1FF0000,10000"));
    EXPECT_EQ(OsRegFlushKey(OS_HKEY_LOCAL_MACHINE), OS_ERROR_WRITE_FAULT);
    EXPECT_EQ(board::Events(), (std::vector<std::string>{"registry-flush failed", "registry-flush failed",
                                                         "registry-flush failed"}));
}

namespace {

std::string ReadFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// One bad line must not cost the rest of the registry: the next writer
// (autorun creating its key) used to write back only what came before it.
TEST(RegistryStore, ADamagedFileIsRefusedAndLeftAsItIs)
{
    TempBoard tb;
    const std::string path = tb.dir() + "/registry.reg";
    std::string text = ReadFile(path);
    size_t at = 0;
    for (int i = 0; i < 5; ++i)
        at = text.find('\n', at) + 1;
    text.insert(at, "\"Broken=1\n");
    std::ofstream(path, std::ios::binary | std::ios::trunc) << text;

    RegKey key = nullptr;
    EXPECT_NE(OsRegCreateKeyEx(OS_HKEY_LOCAL_MACHINE, L"System\\StorageManager\\Profiles\\MSFlash", &key, nullptr), 0);
    EXPECT_NE(OsRegOpenKeyEx(OS_HKEY_LOCAL_MACHINE, L"Drivers\\BuiltIn\\StrataFMD", 0, 0, &key), 0);
    EXPECT_FALSE(board::RegSetValue("Other", "v", board::RegValue::Dword(1)));
    EXPECT_EQ(ReadFile(path), text);
    // Nothing of it is saved either.
    EXPECT_EQ(OsRegFlushKey(OS_HKEY_LOCAL_MACHINE), OS_ERROR_WRITE_FAULT);
    EXPECT_EQ(board::Events(), (std::vector<std::string>{"registry-flush failed"}));
    const std::string damage = board::RegDamage();
    EXPECT_NE(damage.find("registry.reg line 6"), std::string::npos) << damage;
    // Mended by hand, it is the whole registry again.
    text.erase(at, 10);
    std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
    EXPECT_EQ(board::RegDamage(), "");
    board::RegValue v;
    EXPECT_TRUE(board::RegGetValue("System\\StorageManager\\Profiles\\MSFlash", "Folder", &v));
}

// A change that would make the file larger than any read accepts is
// refused; written, it would have cost the whole registry from then on.
TEST(RegistryStore, AChangeNeverGrowsTheFileBeyondItsBound)
{
    TempBoard tb;
    std::string hex = "00";
    for (int i = 1; i < 1024; ++i)
        hex += ",00";
    std::string file = "REGEDIT4\n[HKEY_LOCAL_MACHINE\\K]\n";
    for (int i = 0; file.size() + hex.size() + 16 < board::kRegMaxFileBytes - 1024; ++i)
        file += "\"v" + std::to_string(i) + "\"=hex:" + hex + "\n";
    std::ofstream(tb.dir() + "/registry.reg", std::ios::binary | std::ios::trunc) << file;
    ASSERT_EQ(board::RegDamage(), "");
    EXPECT_FALSE(board::RegSetValue("K", "more", board::RegValue::Binary(std::vector<uint8_t>(4096))));
    EXPECT_EQ(ReadFile(tb.dir() + "/registry.reg"), file);
    EXPECT_EQ(board::RegDamage(), "");
    EXPECT_TRUE(board::RegSetValue("K", "small", board::RegValue::Dword(1)));
}

TEST(RegistryStore, NestingAndSizesAreBounded)
{
    TempBoard tb;
    std::string deep;
    for (size_t i = 0; i < board::kRegMaxDepth; ++i)
        deep += "k\\";
    EXPECT_TRUE(board::RegCreateKey(deep, nullptr));
    EXPECT_FALSE(board::RegCreateKey(deep + "one-more", nullptr));
    EXPECT_FALSE(board::RegCreateKey(std::string(board::kRegMaxKeyName + 1, 'n'), nullptr));
    EXPECT_FALSE(board::RegSetValue("K", std::string(board::kRegMaxValueName + 1, 'v'), board::RegValue::Dword(1)));
    EXPECT_FALSE(board::RegSetValue("K", "v", board::RegValue::String(std::string(board::kRegMaxValueData + 1, 'x'))));
    EXPECT_TRUE(board::RegSetValue("K", "v", board::RegValue::String(std::string(board::kRegMaxValueData, 'x'))));
    RegKey key = nullptr;
    std::wstring wide(deep.begin(), deep.end());
    EXPECT_NE(OsRegCreateKeyEx(OS_HKEY_LOCAL_MACHINE, (wide + L"x").c_str(), &key, nullptr), 0);

    // A key 20,000 levels deep in the file is refused at its line, at once,
    // and nothing is written back.
    std::string file = "REGEDIT4\n\n[HKEY_LOCAL_MACHINE";
    for (int i = 0; i < 20000; ++i)
        file += "\\a";
    file += "]\n";
    std::ofstream(tb.dir() + "/registry.reg", std::ios::binary | std::ios::trunc) << file;
    EXPECT_FALSE(board::RegCreateKey("System", nullptr));
    EXPECT_NE(board::RegDamage().find("line 3: bad key path: key nested deeper than 64 levels"), std::string::npos)
        << board::RegDamage();
    EXPECT_EQ(ReadFile(tb.dir() + "/registry.reg").size(), file.size());
}

}  // namespace
