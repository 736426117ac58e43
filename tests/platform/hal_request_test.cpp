// The HAL as the programs reach it: records, sizes, silent answers,
// events, restarts.
#include <gtest/gtest.h>

#include <cstring>

#include "board/board.h"
#include "board/hal.h"
#include "device/hal_requests.h"
#include "platform/hal.h"
#include "tests/support/temp_board.h"
#include "update/restart.h"

namespace {
int g_restarts = 0;
bool g_lastCold = false;
void OnRestart(bool cold)
{
    ++g_restarts;
    g_lastCold = cold;
}
struct HookGuard {
    HookGuard()
    {
        g_restarts = 0;
        board::SetRestartHook(OnRestart);
    }
    ~HookGuard() { board::SetRestartHook(nullptr); }
};
}  // namespace

TEST(HalConfig, SelectorsAnswerFromSettings)
{
    TempBoard tb;
    uint32_t block5[6];
    std::memset(block5, 0xCC, sizeof block5);
    ASSERT_EQ(ConfigGet(CONFIG_SELECTOR_FLASH, block5, 24), 24u);
    EXPECT_EQ(block5[0], 0x80000u);
    EXPECT_EQ(block5[1], 0x1400000u);
    EXPECT_EQ(block5[2], 0x40000u);
    EXPECT_EQ(block5[3], 0u);
    EXPECT_EQ(block5[5], 0u);

    ASSERT_TRUE(board::SetSetting("hal-selector0", "0123456789abcdef"));
    ASSERT_TRUE(board::SetSetting("hal-selector5", "100000,1800000,0x20000"));
    uint8_t block0[8];
    ASSERT_EQ(ConfigGet(CONFIG_SELECTOR_SAVED, block0, 8), 8u);
    const uint8_t want[8] = {0x01, 0x23, 0x45, 0x67, 0x89, 0xab, 0xcd, 0xef};
    EXPECT_EQ(0, std::memcmp(block0, want, 8));
    ASSERT_EQ(ConfigGet(CONFIG_SELECTOR_FLASH, block5, 24), 24u);
    EXPECT_EQ(block5[0], 0x100000u);
    EXPECT_EQ(block5[1], 0x1800000u);
    EXPECT_EQ(block5[2], 0x20000u);

    // Silent selectors return no bytes and leave the block alone.
    ASSERT_TRUE(board::SetSetting("hal-selector0", "silent"));
    ASSERT_TRUE(board::SetSetting("hal-selector5", "silent"));
    std::memset(block0, 0xCC, 8);
    std::memset(block5, 0xCC, sizeof block5);
    EXPECT_EQ(ConfigGet(CONFIG_SELECTOR_SAVED, block0, 8), 0u);
    EXPECT_EQ(ConfigGet(CONFIG_SELECTOR_FLASH, block5, 24), 0u);
    EXPECT_EQ(block0[0], 0xCC);
    EXPECT_EQ(block5[0], 0xCCCCCCCCu);
}

TEST(HalConfig, RefusesRecordsThatDoNotMatch)
{
    TempBoard tb;
    uint8_t block[24];
    uint8_t other[24];
    auto get = [&](ConfigRecord rec, uint32_t inSize, void* out, uint32_t outSize) {
        std::memset(block, 0xCC, sizeof block);
        std::memset(other, 0xCC, sizeof other);
        uint32_t returned = 77;
        int ok = OsHalRequest(HAL_CONFIG_GET, &rec, inSize, out, outSize, &returned);
        EXPECT_EQ(returned, 0u);
        EXPECT_EQ(block[0], 0xCC);
        EXPECT_EQ(other[0], 0xCC);
        return ok;
    };
    EXPECT_EQ(get({0, block, 8}, sizeof(ConfigRecord) - 4, block, 8), 0);   // short record
    EXPECT_EQ(get({0, block, 24}, sizeof(ConfigRecord), block, 24), 0);     // wrong size for 0
    EXPECT_EQ(get({5, block, 8}, sizeof(ConfigRecord), block, 8), 0);       // wrong size for 5
    EXPECT_EQ(get({0, block, 8}, sizeof(ConfigRecord), other, 8), 0);       // out is not the block
    EXPECT_EQ(get({0, block, 8}, sizeof(ConfigRecord), block, 7), 0);       // outSize differs
    EXPECT_EQ(get({3, block, 8}, sizeof(ConfigRecord), block, 8), 0);       // unknown selector
    EXPECT_EQ(get({0, nullptr, 8}, sizeof(ConfigRecord), nullptr, 8), 0);  // no block
    uint32_t returned = 5;
    EXPECT_EQ(OsHalRequest(HAL_CONFIG_GET, nullptr, sizeof(ConfigRecord), block, 8, &returned), 0);
    EXPECT_EQ(returned, 0u);
    EXPECT_EQ(OsHalRequest(0x01012099, nullptr, 0, nullptr, 0, &returned), 0);
    EXPECT_TRUE(board::Events().empty());
}

TEST(HalConfig, SetRecordsTheBlockHandedBack)
{
    TempBoard tb;
    uint8_t block[8] = {0xde, 0xad, 0xbe, 0xef, 0x00, 0x01, 0x02, 0x03};
    ConfigSet(CONFIG_SELECTOR_SAVED, block, 8);
    ConfigRecord bad{0, block, 8};
    EXPECT_EQ(OsHalRequest(HAL_CONFIG_SET, &bad, sizeof bad, block, 4, nullptr), 0);
    EXPECT_EQ(board::Events(), (std::vector<std::string>{"config-set 0 deadbeef00010203"}));
}

TEST(HalVersion, FillsTheRecordWithOutputSizeZero)
{
    TempBoard tb;
    BuildVersion v{0xCCCCCCCC, -1, 0xCCCCCCCC};
    EXPECT_NE(OsHalRequest(HAL_IMAGE_VERSION, nullptr, 0, &v, 0, nullptr), 0);
    EXPECT_EQ(v.id, 1u);
    EXPECT_EQ(v.major, 5);
    EXPECT_EQ(v.minorAndBuild, 0x0000000Cu);
    ASSERT_TRUE(board::SetSetting("hal-version", "2,-2147483648,0xFFFFFFFF"));
    OsHalRequest(HAL_IMAGE_VERSION, nullptr, 0, &v, 0, nullptr);
    EXPECT_EQ(v.id, 2u);
    EXPECT_EQ(v.major, int32_t(0x80000000u));
    EXPECT_EQ(v.minorAndBuild, 0xFFFFFFFFu);
    // An output that states too small a size is refused, not overrun.
    uint32_t shortOut[2] = {0xCCCCCCCC, 0xCCCCCCCC};
    EXPECT_EQ(OsHalRequest(HAL_IMAGE_VERSION, nullptr, 0, shortOut, sizeof shortOut, nullptr), 0);
    EXPECT_EQ(shortOut[0], 0xCCCCCCCCu);
    ASSERT_TRUE(board::SetSetting("hal-version", "silent"));
    BuildVersion kept{7, 8, 9};
    OsHalRequest(HAL_IMAGE_VERSION, nullptr, 0, &kept, 0, nullptr);
    EXPECT_EQ(kept.id, 7u);
    EXPECT_EQ(kept.major, 8);
    EXPECT_EQ(kept.minorAndBuild, 9u);
}

TEST(HalRestart, WarmColdAndFailedInOrder)
{
    TempBoard tb;
    HookGuard hook;
    EXPECT_EQ(OsHalRequest(HAL_RESTART, nullptr, 0, nullptr, 0, nullptr), 1);
    EXPECT_FALSE(g_lastCold);
    ColdRestart();  // clean-boot mark, then the restart
    EXPECT_TRUE(g_lastCold);
    RestartDevice();  // the mark was used up
    EXPECT_FALSE(g_lastCold);
    ASSERT_TRUE(board::SetSetting("hal-restart", "fail"));
    EXPECT_EQ(OsHalRequest(HAL_RESTART, nullptr, 0, nullptr, 0, nullptr), 0);
    EXPECT_EQ(g_restarts, 3);
    EXPECT_EQ(board::Events(), (std::vector<std::string>{"restart warm", "clean-boot-mark", "restart cold",
                                                         "restart warm", "restart failed"}));
}

TEST(HalRestartDeathTest, EndsTheProgramWithStatusOne)
{
    TempBoard tb;
    board::SetRestartHook(nullptr);
    EXPECT_EXIT(OsHalRequest(HAL_RESTART, nullptr, 0, nullptr, 0, nullptr), testing::ExitedWithCode(1), "");
    EXPECT_EQ(board::Events(), (std::vector<std::string>{"restart warm"}));
}
