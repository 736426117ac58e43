// The record of what a program's own bus cycles changed in the flash: what
// the run report's closing line is made of.
#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "board/board.h"
#include "board/bus.h"
#include "board/flash_device.h"
#include "platform/clock.h"
#include "platform/host/clock.h"
#include "tests/support/temp_board.h"

using namespace board;

namespace {

constexpr uint32_t kBlock32 = 256u << 10;

uint32_t Both(uint16_t v) { return uint32_t(v) | (uint32_t(v) << 16); }
void Cmd(uint32_t phys, uint8_t cmd) { BusWrite32(phys, Both(cmd)); }

void BufferProgram(uint32_t phys, const std::vector<uint32_t>& words)
{
    Cmd(phys, kCmdWriteToBuffer);
    BusWrite32(phys, Both(uint16_t(words.size() - 1)));
    for (size_t i = 0; i < words.size(); ++i)
        BusWrite32(phys + uint32_t(i) * 4, words[i]);
    BusWrite32(phys + uint32_t(words.size() - 1) * 4, Both(kCmdConfirm));
}

class FlashChangesTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        OsUseVirtualClock(1000, 1);
        board_ = std::make_unique<TempBoard>(true);
        ASSERT_TRUE(SetSetting("timing", "none"));
        FlashResetProgramChanges();
    }
    void TearDown() override
    {
        board_.reset();
        OsUseRealClock();
    }
    std::unique_ptr<TempBoard> board_;
};

TEST_F(FlashChangesTest, ErasesAndProgramsAreCountedWithTheirSpans)
{
    FlashChanges none = FlashProgramChanges();
    EXPECT_EQ(none.erasedBytes + none.programmedBytes, 0u);
    EXPECT_GT(none.changedLow, none.changedHigh) << "an empty span";

    Cmd(kBlock32, kCmdBlockErase);
    Cmd(kBlock32, kCmdConfirm);
    FlashChanges erased = FlashProgramChanges();
    EXPECT_EQ(erased.erasedBytes, kBlock32) << "both devices' halves of one bus block";
    EXPECT_EQ(erased.programmedBytes, 0u);
    EXPECT_EQ(erased.changedLow, kBlock32);
    EXPECT_EQ(erased.changedHigh, 2 * kBlock32);

    // Three words of a buffer, then a single word past them.
    BufferProgram(kBlock32 + 0x40, {0x11112222u, 0x33334444u, 0x55556666u});
    Cmd(kBlock32 + 0x80, kCmdWordProgram);
    BusWrite32(kBlock32 + 0x80, 0x12345678u);
    FlashChanges written = FlashProgramChanges();
    EXPECT_EQ(written.programmedBytes, 3u * 4 + 4);
    EXPECT_EQ(written.programmedLow, kBlock32 + 0x40);
    EXPECT_EQ(written.programmedHigh, kBlock32 + 0x84);
    EXPECT_EQ(written.changedLow, kBlock32) << "the erase still counts";
}

TEST_F(FlashChangesTest, RefusedOperationsAndTheFirmwaresRewritesAreNotTheProgramsChanges)
{
    ASSERT_TRUE(SetSetting("fault-erase", "0"));
    ASSERT_TRUE(SetSetting("fault-program", "0"));
    Cmd(0, kCmdBlockErase);
    Cmd(0, kCmdConfirm);
    BufferProgram(0x40, {0});
    Cmd(0, kCmdClearStatus);
    Cmd(0, kCmdReadArray);

    const std::vector<uint8_t> bytes(64, 0x5A);
    ASSERT_TRUE(FlashRewrite(3 * kBlock32, bytes.data(), bytes.size(), 1000));
    uint8_t back = 0;
    ASSERT_TRUE(FlashPeek(&back, 3 * kBlock32, 1));
    EXPECT_EQ(back, 0x5A) << "the rewrite happened";

    FlashChanges c = FlashProgramChanges();
    EXPECT_EQ(c.erasedBytes, 0u);
    EXPECT_EQ(c.programmedBytes, 0u);
    EXPECT_GT(c.changedLow, c.changedHigh);
}

// On the 16-bit bus each buffer line is 16 cycles of one device, in
// order: the bytes land as given, around them the flash stays erased.
TEST_F(FlashChangesTest, TheFirmwaresRewriteOnTheSixteenBitBus)
{
    ASSERT_TRUE(SetSetting("bus", "16"));
    FlashRefreshSettings();
    std::vector<uint8_t> bytes(40);
    for (size_t i = 0; i < bytes.size(); ++i)
        bytes[i] = uint8_t(0x10 + i);
    FlashResetCounters();
    ASSERT_TRUE(FlashRewrite(0x20010, bytes.data(), bytes.size(), 1000));
    // Clear status, two lines of 0xE8, count, 16 words and confirm, then
    // read-array twice.
    EXPECT_EQ(FlashGetCounters().busWrites, 1u + 2 * 19 + 2);
    std::vector<uint8_t> back(0x40);
    ASSERT_TRUE(FlashPeek(back.data(), 0x20000, back.size()));
    for (size_t i = 0; i < back.size(); ++i) {
        const bool written = i >= 0x10 && i < 0x10 + bytes.size();
        EXPECT_EQ(back[i], written ? bytes[i - 0x10] : 0xFF) << "byte " << i;
    }
}

}  // namespace
