// The flash devices as the bus sees them: command state machines, status
// register, faults, timing, counters and the state kept across programs.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "board/board.h"
#include "board/bus.h"
#include "board/flash_device.h"
#include "board/flash_state.h"
#include "platform/clock.h"
#include "platform/host/clock.h"
#include "tests/support/temp_board.h"

using namespace board;

namespace {

constexpr uint32_t kBlock32 = 256u << 10;  // bus block on the 32-bit bus

uint32_t Both(uint16_t v) { return uint32_t(v) | (uint32_t(v) << 16); }
// What both devices read while busy (only SR7 valid), and after 0xE8 with a
// buffer free (only XSR7 defined).
const uint32_t kBusy = Both(kStatusUndefined);
const uint32_t kBufferFree = Both(kStatusReady | kStatusUndefined);
void Cmd(uint32_t phys, uint8_t cmd) { BusWrite32(phys, Both(cmd)); }
uint32_t ReadStatus(uint32_t phys)
{
    Cmd(phys, kCmdReadStatus);
    return BusRead32(phys);
}

// The sequence a buffered program of n bus words sends on the 32-bit bus.
void BufferProgram(uint32_t phys, const std::vector<uint32_t>& words)
{
    Cmd(phys, kCmdWriteToBuffer);
    BusWrite32(phys, Both(uint16_t(words.size() - 1)));
    for (size_t i = 0; i < words.size(); ++i)
        BusWrite32(phys + uint32_t(i) * 4, words[i]);
    BusWrite32(phys + uint32_t(words.size() - 1) * 4, Both(kCmdConfirm));
}

// Sets the faults of device d's block b in the shared device state (they
// hold until cleared; the settings' faults apply on top).
void SetFaults(int d, uint32_t b, uint8_t faults)
{
    board::flash::Guard g;
    ASSERT_NE(g.get(), nullptr);
    g.get()->state->dev[d].faults[b] = faults;
}

// The devices' lock bits and faults as the shared device state holds them
// (no bus cycle).
void SetLockBit(int d, uint32_t b)
{
    flash::Guard g;
    ASSERT_NE(g.get(), nullptr);
    g.get()->state->dev[d].locked[b] = 1;
}

bool BlockLocked(int d, uint32_t b)
{
    flash::Guard g;
    return g.get() && flash::Locked(*g.get(), d, b);
}

uint8_t BlockFaults(int d, uint32_t b)
{
    flash::Guard g;
    return g.get() ? flash::Faults(*g.get(), d, b) : 0;
}

uint32_t Peek32(uint32_t off)
{
    uint32_t v = 0;
    EXPECT_TRUE(FlashPeek(&v, off, 4));
    return v;
}

// A fresh erased board whose devices take no time (the tests of timing
// choose their own).
std::unique_ptr<TempBoard> NewBoard()
{
    auto board = std::make_unique<TempBoard>(true);
    EXPECT_TRUE(SetSetting("timing", "none"));
    return board;
}

class FlashDeviceTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        OsUseVirtualClock(1000, 1);
        board_ = NewBoard();
        FlashResetCounters();
    }
    void TearDown() override
    {
        board_.reset();
        OsUseRealClock();
    }
    std::unique_ptr<TempBoard> board_;
};

TEST_F(FlashDeviceTest, EraseAndBufferProgramChangeTheArray)
{
    std::vector<uint32_t> data(16);
    for (size_t i = 0; i < data.size(); ++i)
        data[i] = 0xCCCC0000u | uint32_t(0x5A00 + i);
    BufferProgram(kBlock32, data);
    EXPECT_EQ(ReadStatus(kBlock32), 0x00800080u);
    // Status mode until a read-array command.
    EXPECT_EQ(BusRead32(kBlock32), 0x00800080u);
    Cmd(0, kCmdReadArray);
    for (size_t i = 0; i < data.size(); ++i)
        EXPECT_EQ(BusRead32(kBlock32 + uint32_t(i) * 4), data[i]) << i;
    EXPECT_EQ(Peek32(kBlock32 + 60), data[15]);
    EXPECT_EQ(BusRead32(kBlock32 + 64), 0xFFFFFFFFu);

    Cmd(kBlock32, kCmdBlockErase);
    Cmd(kBlock32 + 0x100, kCmdConfirm);
    EXPECT_EQ(BusRead32(kBlock32), 0x00800080u);
    EXPECT_EQ(Peek32(kBlock32), 0xFFFFFFFFu);
    EXPECT_EQ(Peek32(kBlock32 + 60), 0xFFFFFFFFu);
}

TEST_F(FlashDeviceTest, ProgrammingOnlyClearsBits)
{
    BufferProgram(0x100, {0xCCCCCCCCu});
    BufferProgram(0x100, {0x33333333u});  // would need 0 -> 1 in every bit
    BufferProgram(0x104, {0xF0F0CCCCu});
    BufferProgram(0x104, {0x3C3CFFFFu});
    Cmd(0, kCmdReadArray);
    EXPECT_EQ(BusRead32(0x100), 0x00000000u);
    EXPECT_EQ(BusRead32(0x104), 0x3030CCCCu);
    // Word programming follows the same rule, each device its own half.
    Cmd(0x108, kCmdWordProgram);
    BusWrite32(0x108, 0xA5A5CC33u);
    Cmd(0x108, kCmdWordProgramAlt);
    BusWrite32(0x108, 0xFFFF0FF0u);
    Cmd(0, kCmdReadArray);
    EXPECT_EQ(BusRead32(0x108), 0xA5A50C30u);
}

TEST_F(FlashDeviceTest, FullBufferTakesNineteenBusWrites)
{
    std::vector<uint32_t> data(16, 0xCC33CC33u);
    FlashResetCounters();
    BufferProgram(0x40, data);
    FlashCounters n = FlashGetCounters();
    EXPECT_EQ(n.busWrites, 19u);
    EXPECT_EQ(n.writes[0], 19u);
    EXPECT_EQ(n.writes[1], 19u);
    EXPECT_EQ(n.busReads, 0u);
    EXPECT_EQ(Peek32(0x40), 0xCC33CC33u);
    EXPECT_EQ(Peek32(0x7C), 0xCC33CC33u);
    EXPECT_EQ(Peek32(0x3C), 0xFFFFFFFFu);
    EXPECT_EQ(Peek32(0x80), 0xFFFFFFFFu);
}

TEST_F(FlashDeviceTest, BufferWordCountIsPerDevice)
{
    // Device 0 takes 2 words, device 1 takes 4.
    Cmd(0, kCmdWriteToBuffer);
    EXPECT_EQ(BusRead32(0), kBufferFree);
    BusWrite32(0, 0x00030001u);
    BusWrite32(0, 0x1111CCCCu);
    BusWrite32(4, 0x2222CCCDu);
    EXPECT_EQ(FlashGetDeviceInfo(0).mode, FlashMode::BufferConfirm);
    EXPECT_EQ(FlashGetDeviceInfo(1).mode, FlashMode::BufferData);
    BusWrite32(8, 0x3333u << 16 | kCmdConfirm);          // confirm for device 0
    BusWrite32(12, 0x4444u << 16 | kCmdReadArray);      // device 0 back to array
    BusWrite32(12, uint32_t(kCmdConfirm) << 16 | 0xFFFF);
    EXPECT_EQ(FlashGetDeviceInfo(0).mode, FlashMode::ReadArray);
    EXPECT_EQ(FlashGetDeviceInfo(1).mode, FlashMode::ReadStatus);
    EXPECT_EQ(FlashGetDeviceInfo(0).status, kStatusReady);
    EXPECT_EQ(FlashGetDeviceInfo(1).status, kStatusReady);
    EXPECT_EQ(Peek32(0), 0x1111CCCCu);
    EXPECT_EQ(Peek32(4), 0x2222CCCDu);
    EXPECT_EQ(Peek32(8), 0x3333FFFFu);
    EXPECT_EQ(Peek32(12), 0x4444FFFFu);
}

TEST_F(FlashDeviceTest, BadSequencesSetProgramAndEraseErrors)
{
    struct Case {
        const char* what;
        std::vector<std::pair<uint32_t, uint32_t>> writes;  // phys, value
    };
    const Case cases[] = {
        {"erase setup without confirm", {{0, Both(0x20)}, {0, Both(0xFF)}}},
        {"buffer count beyond 16 words", {{0, Both(0xE8)}, {0, Both(16)}}},
        {"buffer count in another block", {{0, Both(0xE8)}, {kBlock32, Both(3)}}},
        {"buffer data outside the line", {{0, Both(0xE8)}, {0, Both(1)}, {0x3C, Both(0xCC)}, {0x40, Both(0xCC)}}},
        {"buffer confirm not 0xD0", {{0, Both(0xE8)}, {0, Both(0)}, {0, Both(0xCC)}, {0, Both(0xFF)}}},
        {"lock setup without 0x01 or 0xD0", {{0, Both(0x60)}, {0, Both(0x20)}}},
        // The chips take buffer data only from the first word's address on,
        // as many as announced, each once.
        {"buffer data below the first word", {{0, Both(0xE8)}, {0, Both(1)}, {8, Both(0xCC)}, {4, Both(0xCC)}}},
        {"buffer data past the count", {{0, Both(0xE8)}, {0, Both(1)}, {0, Both(0xCC)}, {8, Both(0xCC)}}},
        {"buffer data written twice", {{0, Both(0xE8)}, {0, Both(1)}, {0, Both(0xCC)}, {0, Both(0xCC)}}},
        {"buffer data whose count runs past the line", {{0, Both(0xE8)}, {0, Both(3)}, {0x38, Both(0xCC)}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Cmd(0, kCmdClearStatus);
        for (auto [phys, value] : c.writes)
            BusWrite32(phys, value);
        EXPECT_EQ(BusRead32(0), 0x00B000B0u);
        EXPECT_EQ(FlashGetDeviceInfo(0).mode, FlashMode::ReadStatus);
        EXPECT_EQ(Peek32(0x3C), 0xFFFFFFFFu);  // nothing programmed
        EXPECT_EQ(Peek32(0), 0xFFFFFFFFu);
    }
}

TEST_F(FlashDeviceTest, ErrorBitsStayUntilClearStatusAcrossPrograms)
{
    BufferProgram(0x200, {0xCCCCCCCCu});
    SetLockBit(0, 0);
    SetLockBit(1, 0);
    Cmd(0, kCmdBlockErase);
    Cmd(0, kCmdConfirm);
    EXPECT_EQ(BusRead32(0), 0x00A200A2u);  // ready, erase error, block locked
    EXPECT_EQ(Peek32(0x200), 0xCCCCCCCCu);  // nothing erased

    // Another program on the board finds the devices as they were left.
    FlashClose();
    EXPECT_EQ(BusRead32(0), 0x00A200A2u);
    Cmd(0, kCmdReadArray);
    EXPECT_EQ(BusRead32(0x200), 0xCCCCCCCCu);
    EXPECT_EQ(ReadStatus(0), 0x00A200A2u);
    // While they are set a write to buffer is refused: the line stays
    // erased and the cycles meant for the buffer change nothing here.
    BufferProgram(kBlock32, {0xCCCCCCCCu});
    EXPECT_EQ(BusRead32(0), 0x00A200A2u);
    EXPECT_EQ(Peek32(kBlock32), 0xFFFFFFFFu);
    Cmd(0, kCmdClearStatus);
    EXPECT_EQ(BusRead32(0), 0x00800080u);
    BufferProgram(kBlock32, {0xCCCCCCCCu});
    EXPECT_EQ(Peek32(kBlock32), 0xCCCCCCCCu);
    EXPECT_EQ(ReadStatus(0), 0x00800080u);

    // A board restart clears status and mode but keeps the lock bits.
    Cmd(0, kCmdBlockErase);
    Cmd(0, kCmdConfirm);
    FlashResetDevices();
    EXPECT_EQ(BusRead32(0x200), 0xCCCCCCCCu);
    EXPECT_EQ(ReadStatus(0), 0x00800080u);
    EXPECT_TRUE(BlockLocked(0, 0));
}

TEST_F(FlashDeviceTest, LockCommandsAndLockedProgram)
{
    Cmd(kBlock32, kCmdLockSetup);
    Cmd(kBlock32 + 0x10, kCmdLockBlock);
    EXPECT_TRUE(BlockLocked(0, 1));
    EXPECT_TRUE(BlockLocked(1, 1));
    EXPECT_FALSE(BlockLocked(0, 2));
    // Identifier mode shows the lock at block base + 2 words.
    Cmd(0, kCmdReadIdentifier);
    EXPECT_EQ(BusRead32(0), Both(kFlashManufacturerId));
    EXPECT_EQ(BusRead32(4), Both(kFlashDeviceId));
    EXPECT_EQ(BusRead32(kBlock32 + 8), 0x00010001u);
    EXPECT_EQ(BusRead32(8), 0u);

    BufferProgram(kBlock32, {0xCCCCCCCCu});
    EXPECT_EQ(BusRead32(kBlock32), 0x00920092u);  // program error, locked
    Cmd(0, kCmdClearStatus);
    Cmd(kBlock32, kCmdWordProgram);
    BusWrite32(kBlock32, 0xCCCCCCCCu);
    EXPECT_EQ(BusRead32(kBlock32), 0x00920092u);
    EXPECT_EQ(Peek32(kBlock32), 0xFFFFFFFFu);

    Cmd(0, kCmdClearStatus);
    Cmd(kBlock32, kCmdLockSetup);
    Cmd(kBlock32, kCmdConfirm);
    EXPECT_FALSE(BlockLocked(0, 1));
    BufferProgram(kBlock32, {0xCCCCCCCCu});
    EXPECT_EQ(BusRead32(kBlock32), 0x00800080u);
    EXPECT_EQ(Peek32(kBlock32), 0xCCCCCCCCu);
}

TEST_F(FlashDeviceTest, CfiQueryDescribesTheDevice)
{
    Cmd(0, kCmdCfiQuery);
    EXPECT_EQ(BusRead32(0x10 * 4), Both('Q'));
    EXPECT_EQ(BusRead32(0x11 * 4), Both('R'));
    EXPECT_EQ(BusRead32(0x12 * 4), Both('Y'));
    EXPECT_EQ(BusRead32(0x27 * 4), Both(24));  // 2^24 bytes per device
    EXPECT_EQ(BusRead32(0x2A * 4), Both(5));   // 32-byte write buffer
    EXPECT_EQ(BusRead32(0x2C * 4), Both(1));
    EXPECT_EQ(BusRead32(0x2D * 4), Both(127));  // 128 blocks
    EXPECT_EQ(BusRead32(0x30 * 4), Both(2));    // of 512 * 256 bytes
    // A driver that takes its time-outs from the table must never give up
    // on a device that takes its longest times: each typical is the
    // board's, rounded up to a power of two, and each maximum covers it.
    auto field = [&](uint32_t at) { return uint64_t(BusRead32(at * 4) & 0xFF); };
    const struct { uint32_t at; uint64_t unit, typical, max; } times[] = {
        {0x1F, 1, kWordProgramMicros, kWordProgramMaxMicros},
        {0x20, 1, kBufferProgramMicros, kBufferProgramMaxMicros},
        {0x21, 1000, kEraseMicros, kEraseMaxMicros},
    };
    for (const auto& t : times) {
        const uint64_t typical = (uint64_t(1) << field(t.at)) * t.unit;
        EXPECT_GE(typical, t.typical) << std::hex << t.at;
        EXPECT_LT(typical, 2 * t.typical) << std::hex << t.at;
        EXPECT_GE(typical << field(t.at + 4), t.max) << std::hex << t.at;
    }
    // The extended table offers suspend, which the devices do.
    EXPECT_EQ(BusRead32(0x31 * 4), Both('P'));
    EXPECT_EQ(field(0x36) & 0x06, 0x06u);
    EXPECT_EQ(field(0x3A) & 0x01, 0x01u);
    Cmd(0, kCmdReadArray);
    EXPECT_EQ(BusRead32(0x10 * 4), 0xFFFFFFFFu);
}

TEST_F(FlashDeviceTest, OneBusyDeviceIsSeenInItsHalfOfTheStatus)
{
    SetFaults(0, 0, kFaultBusy);
    Cmd(0, kCmdBlockErase);
    Cmd(0, kCmdConfirm);
    EXPECT_EQ(BusRead32(0), 0x00800000u | kStatusUndefined);
    EXPECT_EQ(BusRead16(0), kStatusUndefined);
    EXPECT_EQ(BusRead16(2), 0x0080u);
    EXPECT_TRUE(FlashGetDeviceInfo(0).stuck);
    EXPECT_FALSE(FlashGetDeviceInfo(1).busy);
    FlashResetDevices();
    SetFaults(0, 0, 0);

    SetFaults(1, 3, kFaultBusy);
    Cmd(3 * kBlock32, kCmdWriteToBuffer);  // device 1 never frees a buffer
    EXPECT_EQ(BusRead32(3 * kBlock32), uint32_t(kStatusUndefined) << 16 | 0xFEu);
    EXPECT_EQ(BlockFaults(1, 3), kFaultBusy);
    EXPECT_EQ(BlockFaults(0, 3), 0);
}

TEST_F(FlashDeviceTest, StuckBusyStaysBusyWhileTheClockRuns)
{
    BufferProgram(kBlock32, {0xCCCCCCCCu});
    ASSERT_TRUE(SetSetting("fault-busy", "0x40010"));  // inside bus block 1
    Cmd(kBlock32, kCmdBlockErase);
    Cmd(kBlock32, kCmdConfirm);
    for (int i = 0; i < 5; ++i) {
        OsVirtualClockAdvance(30000000);
        EXPECT_EQ(BusRead32(kBlock32), kBusy);
    }
    Cmd(kBlock32, kCmdReadArray);  // ignored while busy
    Cmd(kBlock32, kCmdClearStatus);
    EXPECT_EQ(BusRead32(kBlock32), kBusy);
    EXPECT_EQ(Peek32(kBlock32), 0xCCCCCCCCu);
    // Lifting the fault ends the operation, failed.
    ASSERT_TRUE(SetSetting("fault-busy", "none"));
    EXPECT_EQ(BusRead32(kBlock32), 0x00A000A0u);
}

TEST_F(FlashDeviceTest, DatasheetTimingKeepsTheDeviceBusy)
{
    ASSERT_TRUE(SetSetting("timing", "datasheet"));
    Cmd(0, kCmdBlockErase);
    Cmd(0, kCmdConfirm);
    EXPECT_EQ(BusRead32(0), kBusy);
    OsVirtualClockAdvance(900000);
    EXPECT_EQ(BusRead32(0), kBusy);
    Cmd(0, kCmdReadArray);  // a running erase takes no commands
    OsVirtualClockAdvance(150000);
    EXPECT_EQ(BusRead32(0), 0x00800080u);
    EXPECT_EQ(BusRead32(0), 0x00800080u);

    // A full buffer takes about 218 us, a quarter buffer about 50 us.
    Cmd(0, kCmdReadArray);
    BufferProgram(0x40, std::vector<uint32_t>(16, 0xCCCCCCCCu));
    EXPECT_EQ(BusRead32(0x40), kBusy);
    OsVirtualClockAdvance(150);
    EXPECT_EQ(BusRead32(0x40), kBusy);
    OsVirtualClockAdvance(100);
    EXPECT_EQ(BusRead32(0x40), 0x00800080u);
    BufferProgram(0x80, std::vector<uint32_t>(4, 0xCCCCCCCCu));
    OsVirtualClockAdvance(60);
    EXPECT_EQ(BusRead32(0x80), 0x00800080u);
}

TEST_F(FlashDeviceTest, ScaledTimingShortensOperations)
{
    ASSERT_TRUE(SetSetting("timing", "scaled"));
    ASSERT_TRUE(SetSetting("timing-scale", "0.01"));
    Cmd(0, kCmdBlockErase);
    Cmd(0, kCmdConfirm);
    OsVirtualClockAdvance(8000);
    EXPECT_EQ(BusRead32(0), kBusy);
    OsVirtualClockAdvance(3000);
    EXPECT_EQ(BusRead32(0), 0x00800080u);
}

// Each timing gives each operation its time: typical, maximum, or drawn
// between them (the same for the same seed); a timing change shortens what
// is running.
TEST_F(FlashDeviceTest, TimingsTypicalMaxRandomAndATimingChange)
{
    // How long the devices stay busy after an erase and after a full buffer.
    auto busyFor = [](uint32_t at, bool erase) {
        if (erase) {
            Cmd(at, kCmdBlockErase);
            Cmd(at, kCmdConfirm);
        } else {
            BufferProgram(at, std::vector<uint32_t>(16, 0xCCCCCCCCu));
        }
        const uint64_t t0 = OsClockMicros();
        while (BusRead32(at) != 0x00800080u)
            OsVirtualClockAdvance(erase ? 1000 : 1);
        return OsClockMicros() - t0;
    };
    ASSERT_TRUE(SetSetting("timing", "max"));
    EXPECT_NEAR(double(busyFor(0, true)), double(kEraseMaxMicros), 2000);
    EXPECT_NEAR(double(busyFor(0x40, false)), double(kBufferProgramMaxMicros), 10);
    ASSERT_TRUE(SetSetting("timing", "typical"));
    EXPECT_NEAR(double(busyFor(0, true)), double(kEraseMicros), 2000);
    ASSERT_TRUE(SetSetting("timing", "random"));
    std::vector<uint64_t> seven, again, other;
    for (std::vector<uint64_t>* run : {&seven, &other, &again}) {
        ASSERT_TRUE(SetSetting("timing-seed", run == &other ? "8" : "7"));
        for (uint32_t i = 0; i < 4; ++i)
            run->push_back(busyFor(kBlock32 * (i + 1) + 0x40 * i, i % 2 == 0));
    }
    EXPECT_EQ(seven, again);
    EXPECT_NE(seven, other);
    for (size_t i = 0; i < seven.size(); ++i) {
        const bool erase = i % 2 == 0;
        EXPECT_GE(seven[i] + 2, erase ? kEraseMicros : kBufferProgramMicros) << i;
        EXPECT_LE(seven[i], (erase ? kEraseMaxMicros + 2000 : kBufferProgramMaxMicros + 10)) << i;
    }
    // An erase at a thousand times the typical time, then no timing at all.
    ASSERT_TRUE(SetSetting("timing", "scaled"));
    ASSERT_TRUE(SetSetting("timing-scale", "1000"));
    Cmd(0, kCmdBlockErase);
    Cmd(0, kCmdConfirm);
    EXPECT_TRUE(FlashGetDeviceInfo(0).busy);
    ASSERT_TRUE(SetSetting("timing", "none"));
    EXPECT_FALSE(FlashGetDeviceInfo(0).busy);
    EXPECT_EQ(BusRead32(0), 0x00800080u);
    // The floor of `scaled`: a buffer shorter than a microsecond is still
    // busy for the first status read.
    ASSERT_TRUE(SetSetting("timing", "scaled"));
    ASSERT_TRUE(SetSetting("timing-scale", "0.000001"));
    BufferProgram(0x80, {0xCCCCCCCCu});
    EXPECT_EQ(BusRead32(0x80), kBusy);
    EXPECT_EQ(BusRead32(0x80), 0x00800080u);
}

// Unlock clears every lock bit of the device, and both take time.
TEST_F(FlashDeviceTest, UnlockClearsAllLockBitsAndTakesTime)
{
    ASSERT_TRUE(SetSetting("timing", "typical"));
    Cmd(kBlock32, kCmdLockSetup);
    Cmd(kBlock32, kCmdLockBlock);
    EXPECT_EQ(BusRead32(kBlock32), kBusy);
    OsVirtualClockAdvance(kLockMicros);
    EXPECT_EQ(BusRead32(kBlock32), 0x00800080u);
    Cmd(5 * kBlock32, kCmdLockSetup);
    Cmd(5 * kBlock32, kCmdLockBlock);
    OsVirtualClockAdvance(kLockMicros);
    Cmd(kBlock32, kCmdLockSetup);
    Cmd(kBlock32, kCmdConfirm);
    OsVirtualClockAdvance(kUnlockMicros / 2);
    EXPECT_EQ(BusRead32(kBlock32), kBusy);
    OsVirtualClockAdvance(kUnlockMicros / 2);
    EXPECT_EQ(BusRead32(kBlock32), 0x00800080u);
    for (int d = 0; d < kFlashDevices; ++d) {
        EXPECT_FALSE(BlockLocked(d, 1));
        EXPECT_FALSE(BlockLocked(d, 5));
    }
}

// An erase suspended: SR6, the other blocks readable and programmable, the
// erasing block neither; a program suspended in turn: SR2; resumes finish
// both.
TEST_F(FlashDeviceTest, EraseSuspendAndResume)
{
    BufferProgram(0x100, {0x12345678u});
    BufferProgram(kBlock32, {0x12345678u});
    Cmd(0, kCmdReadArray);
    ASSERT_TRUE(SetSetting("timing", "typical"));
    Cmd(kBlock32, kCmdBlockErase);
    Cmd(kBlock32, kCmdConfirm);
    OsVirtualClockAdvance(kEraseMicros / 2);
    Cmd(kBlock32, kCmdSuspend);
    EXPECT_EQ(BusRead32(kBlock32), Both(kStatusReady | kStatusEraseSuspended));
    Cmd(0, kCmdReadArray);
    EXPECT_EQ(BusRead32(0x100), 0x12345678u);
    const uint32_t erasing = BusRead32(kBlock32);
    EXPECT_NE(erasing, 0x12345678u);
    EXPECT_NE(erasing, 0xFFFFFFFFu);
    Cmd(0, kCmdBlockErase);  // no erase while one is suspended
    EXPECT_EQ(BusRead32(0), Both(kStatusReady | kStatusEraseSuspended | kStatusEraseError | kStatusProgramError));
    Cmd(0, kCmdClearStatus);
    EXPECT_EQ(BusRead32(0), Both(kStatusReady | kStatusEraseSuspended));
    // A program elsewhere, suspended and resumed; one into the erasing block fails.
    BufferProgram(2 * kBlock32, std::vector<uint32_t>(16, 0xCCCCCCCCu));
    Cmd(0, kCmdSuspend);
    EXPECT_EQ(BusRead32(0), Both(kStatusReady | kStatusEraseSuspended | kStatusProgramSuspended));
    Cmd(0, kCmdConfirm);
    OsVirtualClockAdvance(kBufferProgramMicros);
    EXPECT_EQ(BusRead32(0), Both(kStatusReady | kStatusEraseSuspended));
    BufferProgram(kBlock32 + 0x40, {0xCCCCCCCCu});
    EXPECT_EQ(BusRead32(0), Both(kStatusReady | kStatusEraseSuspended | kStatusProgramError));
    Cmd(0, kCmdClearStatus);
    Cmd(0, kCmdConfirm);  // the erase goes on for the half it has left
    EXPECT_EQ(BusRead32(0), kBusy);
    OsVirtualClockAdvance(kEraseMicros / 2);
    EXPECT_EQ(BusRead32(0), 0x00800080u);
    EXPECT_EQ(Peek32(kBlock32), 0xFFFFFFFFu);
    EXPECT_EQ(Peek32(kBlock32 + 0x40), 0xFFFFFFFFu);
    EXPECT_EQ(Peek32(2 * kBlock32 + 0x3C), 0xCCCCCCCCu);
}

// Power lost in the middle of an erase and of a buffer program: the block
// and the line hold neither their old data nor all ones (nor the new
// data); the devices come back idle in read-array mode, lock bits kept.
TEST_F(FlashDeviceTest, PowerCutLeavesInterruptedAreasUnpredictable)
{
    std::vector<uint32_t> line;
    for (uint32_t i = 0; i < 16; ++i)
        line.push_back(0xCC00CC00u + i * 0x00130011u);
    BufferProgram(kBlock32, line);
    SetLockBit(0, 7);
    ASSERT_TRUE(SetSetting("timing", "typical"));
    // How many of the 16 bus words from at read as want or as all ones.
    auto plausible = [](uint32_t at, const std::vector<uint32_t>& want) {
        int n = 0;
        for (uint32_t i = 0; i < 16; ++i)
            n += Peek32(at + 4 * i) == want[i] || Peek32(at + 4 * i) == 0xFFFFFFFFu;
        return n;
    };
    Cmd(kBlock32, kCmdBlockErase);
    Cmd(kBlock32, kCmdConfirm);
    ASSERT_TRUE(FlashPowerCut());
    EXPECT_LT(plausible(kBlock32, line) + plausible(2 * kBlock32 - 0x40, line), 2);
    for (int d = 0; d < kFlashDevices; ++d) {
        EXPECT_EQ(FlashGetDeviceInfo(d).mode, FlashMode::ReadArray);
        EXPECT_FALSE(FlashGetDeviceInfo(d).busy);
    }
    EXPECT_TRUE(BlockLocked(0, 7));
    BufferProgram(2 * kBlock32, line);
    ASSERT_TRUE(FlashPowerCut());
    EXPECT_LT(plausible(2 * kBlock32, line), 2);
    EXPECT_EQ(Peek32(2 * kBlock32 + 0x40), 0xFFFFFFFFu);  // past the line: untouched
    EXPECT_EQ(Events().back(), "power-cut");
}

int g_powerLosses = 0;

// power-cut-after N: the next program to make bus cycles loses power after
// N of them, and ends as a restart ends it; the setting is then spent.
TEST_F(FlashDeviceTest, PowerCutAfterBusCyclesEndsTheProgram)
{
    ASSERT_TRUE(SetSetting("power-cut-after", "3"));
    EXPECT_EXIT(
        {
            FlashRefreshSettings();
            BusRead32(0);
            BusRead32(0);
            BusRead32(0);
            std::fprintf(stderr, "survived\n");
            std::exit(0);
        },
        ::testing::ExitedWithCode(1), "");
    EXPECT_EQ(GetSetting("power-cut-after"), "none");
    EXPECT_EQ(Events().back(), "power-cut after 3 bus cycles");

    // With the test hook: that cut, by another program, ends this one at
    // its next cycle; a cut after the cycles of a bulk write, too.
    FlashSetPowerLossHook([] { ++g_powerLosses; });
    BusRead32(0);
    EXPECT_EQ(g_powerLosses, 1);
    BusRead32(0);
    EXPECT_EQ(g_powerLosses, 1);
    ASSERT_TRUE(SetSetting("power-cut-after", "20"));
    FlashRefreshSettings();
    FlashResetCounters();
    std::vector<uint32_t> words(32, 0xCCCCCCCCu);
    BusWriteBulk32(0x100, words.data(), words.size());
    EXPECT_EQ(g_powerLosses, 2);
    EXPECT_EQ(FlashGetCounters().busWrites, 32u);
    EXPECT_EQ(Events().back(), "power-cut after 20 bus cycles");
    FlashSetPowerLossHook(nullptr);
}

TEST_F(FlashDeviceTest, FaultSettingsFailOperations)
{
    BufferProgram(0, {0xCCCCCCCCu});
    BufferProgram(kBlock32, {0xCCCCCCCCu});
    ASSERT_TRUE(SetSetting("fault-erase", "16"));
    ASSERT_TRUE(SetSetting("fault-vpp", "0x40000"));
    ASSERT_TRUE(SetSetting("fault-program", "0x80000"));
    ASSERT_TRUE(SetSetting("fault-locked", "0xC0000"));

    Cmd(0, kCmdBlockErase);
    Cmd(0, kCmdConfirm);
    EXPECT_EQ(BusRead32(0), 0x00A000A0u);
    Cmd(0, kCmdClearStatus);
    Cmd(kBlock32, kCmdBlockErase);
    Cmd(kBlock32, kCmdConfirm);
    EXPECT_EQ(BusRead32(0), 0x00A800A8u);
    Cmd(0, kCmdClearStatus);
    BufferProgram(2 * kBlock32, {0xCCCCCCCCu});
    EXPECT_EQ(BusRead32(0), 0x00900090u);
    Cmd(0, kCmdClearStatus);
    BufferProgram(3 * kBlock32, {0xCCCCCCCCu});
    EXPECT_EQ(BusRead32(0), 0x00920092u);
    Cmd(0, kCmdClearStatus);
    BufferProgram(4 * kBlock32, {0xCCCCCCCCu});
    EXPECT_EQ(BusRead32(0), 0x00800080u);

    EXPECT_EQ(Peek32(0), 0xCCCCCCCCu);
    EXPECT_EQ(Peek32(kBlock32), 0xCCCCCCCCu);
    EXPECT_EQ(Peek32(2 * kBlock32), 0xFFFFFFFFu);
    EXPECT_EQ(Peek32(3 * kBlock32), 0xFFFFFFFFu);
    EXPECT_EQ(Peek32(4 * kBlock32), 0xCCCCCCCCu);
}

TEST_F(FlashDeviceTest, SixteenBitBusTakesCommandsOnlyAtEachDevicesAddresses)
{
    ASSERT_TRUE(SetSetting("bus", "16"));
    EXPECT_EQ(FlashBusWidth(), 2u);
    EXPECT_EQ(FlashBusBlockBytes(), 128u << 10);
    const uint32_t dev1 = kFlashDeviceBytes;

    BusWrite16(0, kCmdReadStatus);
    EXPECT_EQ(BusRead16(0), 0x0080u);
    EXPECT_EQ(BusRead16(dev1), 0xFFFFu);  // device 1 still reads its array
    EXPECT_EQ(FlashGetDeviceInfo(1).mode, FlashMode::ReadArray);

    // A 32-byte buffer on device 1 only; device 0 keeps its array.
    BusWrite16(dev1, kCmdWriteToBuffer);
    BusWrite16(dev1, 15);
    for (uint32_t i = 0; i < 16; ++i)
        BusWrite16(dev1 + i * 2, uint16_t(0xCC00 + i));
    BusWrite16(dev1 + 30, kCmdConfirm);
    EXPECT_EQ(BusRead16(dev1), 0x0080u);
    BusWrite16(dev1, kCmdReadArray);
    BusWrite16(0, kCmdReadArray);
    EXPECT_EQ(BusRead32(dev1), 0xCC01CC00u);
    EXPECT_EQ(BusRead32(0), 0xFFFFFFFFu);
    EXPECT_EQ(Peek32(dev1 + 28), 0xCC0FCC0Eu);

    // An erase on device 0 erases 128 KB of device 0 only.
    BusWrite16(0, kCmdWordProgram);
    BusWrite16(0x1FFFE, 0xCC33);
    BusWrite16(0x20000, kCmdWordProgram);
    BusWrite16(0x20000, 0xCC44);
    EXPECT_EQ(Peek32(0x1FFFC) >> 16, 0xCC33u);
    BusWrite16(0, kCmdBlockErase);
    BusWrite16(0x100, kCmdConfirm);
    EXPECT_EQ(BusRead16(0), 0x0080u);
    EXPECT_EQ(Peek32(0x1FFFC), 0xFFFFFFFFu);
    EXPECT_EQ(Peek32(0x20000), 0xFFFFCC44u);
    EXPECT_EQ(Peek32(dev1), 0xCC01CC00u);

    // A 32-bit access is two 16-bit cycles.
    BusWrite16(0, kCmdReadArray);
    FlashResetCounters();
    BusRead32(dev1);
    FlashCounters n = FlashGetCounters();
    EXPECT_EQ(n.busReads, 2u);
    EXPECT_EQ(n.reads[1], 2u);
    EXPECT_EQ(n.reads[0], 0u);
}

TEST_F(FlashDeviceTest, FaultOffsetsNameBlocksOfTheArrangement)
{
    ASSERT_TRUE(SetSetting("fault-erase", "0x1000010,0x40000"));
    EXPECT_EQ(BlockFaults(0, 1), kFaultErase);  // 0x40000 = bus block 1 on both
    EXPECT_EQ(BlockFaults(1, 1), kFaultErase);
    EXPECT_EQ(BlockFaults(0, 64), kFaultErase);  // 16 MB: bus block 64
    EXPECT_EQ(BlockFaults(0, 2), 0);
    ASSERT_TRUE(SetSetting("bus", "16"));
    EXPECT_EQ(BlockFaults(1, 0), kFaultErase);  // 16 MB: device 1 block 0
    EXPECT_EQ(BlockFaults(0, 2), kFaultErase);  // 0x40000: device 0 block 2
    EXPECT_EQ(BlockFaults(1, 1), 0);
    EXPECT_EQ(BlockFaults(0, 1), 0);
}

TEST_F(FlashDeviceTest, CountersSeparateStatusAndArrayReads)
{
    Cmd(0, kCmdReadStatus);
    BusRead32(0);
    BusRead32(0);
    BusRead16(2);
    Cmd(0, kCmdReadArray);
    BusRead32(0);
    FlashCounters n = FlashGetCounters();
    EXPECT_EQ(n.busReads, 4u);
    EXPECT_EQ(n.busWrites, 2u);
    EXPECT_EQ(n.statusReads[0], 2u);
    EXPECT_EQ(n.statusReads[1], 3u);
    EXPECT_EQ(n.arrayReads[0], 1u);
    EXPECT_EQ(n.arrayReads[1], 1u);
    EXPECT_EQ(n.reads[1], 4u);
    FlashResetCounters();
    n = FlashGetCounters();
    EXPECT_EQ(n.busReads + n.busWrites + n.reads[0] + n.writes[1], 0u);
}

TEST_F(FlashDeviceTest, BulkReadCopiesArrayAndCountsWords)
{
    std::vector<uint32_t> data(16);
    for (size_t i = 0; i < data.size(); ++i)
        data[i] = 0xCC000000u + uint32_t(i) * 0x01010101u;
    BufferProgram(0x1000, data);
    Cmd(0, kCmdReadArray);
    FlashResetCounters();
    uint8_t buf[70];
    std::memset(buf, 0xEE, sizeof buf);
    BusReadBulk(buf, 0x1000, 63);
    EXPECT_EQ(std::memcmp(buf, data.data(), 63), 0);
    EXPECT_EQ(buf[63], 0xEE);
    EXPECT_EQ(FlashGetCounters().busReads, 16u);
    EXPECT_EQ(FlashGetCounters().arrayReads[1], 16u);

    // One device in status mode: the reads go cycle by cycle.
    BusWrite16(0x1000, kCmdReadStatus);
    FlashResetCounters();
    BusReadBulk(buf, 0x1000, 8);
    uint32_t w[2];
    std::memcpy(w, buf, 8);
    EXPECT_EQ(w[0], (data[0] & 0xFFFF0000u) | 0x80u);
    EXPECT_EQ(w[1], (data[1] & 0xFFFF0000u) | 0x80u);
    EXPECT_EQ(FlashGetCounters().statusReads[0], 2u);
    EXPECT_EQ(FlashGetCounters().arrayReads[1], 2u);

    // Beyond the end of the flash nothing answers.
    Cmd(0, kCmdReadArray);
    BusReadBulk(buf, kFlashSize - 4, 8);
    EXPECT_EQ(buf[4], 0xFF);
    EXPECT_EQ(buf[7], 0xFF);
}

TEST_F(FlashDeviceTest, ArrayPersistsInTheImageFile)
{
    BufferProgram(0x2000, {0xCAFECCCCu, 0x12345678u});
    FlashClose();
    FILE* f = std::fopen(FlashImagePath().c_str(), "rb");
    ASSERT_NE(f, nullptr);
    ASSERT_EQ(std::fseek(f, 0x2000, SEEK_SET), 0);
    uint32_t got[2] = {};
    ASSERT_EQ(std::fread(got, 4, 2, f), 2u);
    std::fseek(f, 0, SEEK_END);
    EXPECT_EQ(std::ftell(f), long(kFlashSize));
    std::fclose(f);
    EXPECT_EQ(got[0], 0xCAFECCCCu);
    EXPECT_EQ(got[1], 0x12345678u);
}

TEST_F(FlashDeviceTest, ANewBoardStartsWithFreshDevices)
{
    SetLockBit(0, 5);
    SetFaults(1, 6, kFaultVpp);
    Cmd(0, kCmdReadStatus);
    ASSERT_TRUE(Init(true));
    EXPECT_FALSE(BlockLocked(0, 5));
    EXPECT_EQ(BlockFaults(1, 6), 0);
    EXPECT_EQ(FlashGetDeviceInfo(0).mode, FlashMode::ReadArray);
}

// A bulk write against the same values written cycle by cycle: each
// scenario runs on a fresh board both ways, and everything a program or a
// test can see afterwards must agree.
struct BulkScenario {
    const char* what;
    bool bus16;                    // the devices one after the other
    std::function<void()> setup;   // bus cycles (or faults) before the run
    uint32_t at;                   // where the run starts
    std::vector<uint32_t> values;  // 16-bit runs use the low halves
    std::function<void()> finish;  // cycles after it that reveal the buffers
};

struct BulkOutcome {
    FlashDeviceInfo afterRun[kFlashDevices];
    FlashDeviceInfo afterFinish[kFlashDevices];
    FlashCounters counters;
    std::vector<uint8_t> array;
};

constexpr uint32_t kBulkArea = 0x80000;  // the array compared: 512 KB

BulkOutcome RunBulkScenario(const BulkScenario& sc, bool bulk)
{
    BulkOutcome out{};
    if (sc.bus16) {
        EXPECT_TRUE(SetSetting("bus", "16"));
    }
    sc.setup();
    FlashResetCounters();
    if (bulk) {
        BusWriteBulk32(sc.at, sc.values.data(), sc.values.size());
    } else {
        for (size_t i = 0; i < sc.values.size(); ++i)
            BusWrite32(sc.at + uint32_t(i) * 4, sc.values[i]);
    }
    out.counters = FlashGetCounters();
    for (int d = 0; d < kFlashDevices; ++d)
        out.afterRun[d] = FlashGetDeviceInfo(d);
    sc.finish();
    for (int d = 0; d < kFlashDevices; ++d)
        out.afterFinish[d] = FlashGetDeviceInfo(d);
    uint32_t from = sc.at >= kBulkArea / 2 ? sc.at - kBulkArea / 2 : 0;
    out.array.resize(kBulkArea);
    EXPECT_TRUE(FlashPeek(out.array.data(), from, kBulkArea));
    return out;
}

void ExpectSameDevice(const FlashDeviceInfo& a, const FlashDeviceInfo& b, const char* when, int d)
{
    SCOPED_TRACE(std::string(when) + ", device " + std::to_string(d));
    EXPECT_EQ(int(a.mode), int(b.mode));
    EXPECT_EQ(a.status, b.status);
    EXPECT_EQ(a.busy, b.busy);
    EXPECT_EQ(a.stuck, b.stuck);
}

TEST_F(FlashDeviceTest, BulkWritesEqualTheSameWritesOneByOne)
{
    auto none = [] {};
    auto confirm = [](uint32_t phys) { return [phys] { Cmd(phys, kCmdConfirm); }; };
    // Sixteen words that cannot be mistaken for erased flash or commands.
    std::vector<uint32_t> data;
    for (uint32_t i = 0; i < 16; ++i)
        data.push_back(0xCC00CC00u + i * 0x00110011u);
    std::vector<uint32_t> longer = data;
    longer.insert(longer.end(),
                  {0xCC3CCC3Cu, Both(kCmdConfirm), 0xCCC5CCC5u, Both(kCmdReadArray), 0x5A5ACCCCu});
    const BulkScenario scenarios[] = {
        {"read-array mode: every word is a command cycle (0x70, 0x50, 0xFF among them)", false, none,
         0x100,
         {0xCCCCCCCCu, Both(kCmdReadStatus), 0xCC33CC33u, Both(kCmdClearStatus), Both(kCmdReadArray)}, none},
        {"a full buffer", false,
         [] {
             Cmd(0x40, kCmdWriteToBuffer);
             BusWrite32(0x40, Both(15));
         },
         0x40, data, confirm(0x7C)},
        {"fewer words announced than given: the rest are confirm, status and array cycles", false,
         [] {
             Cmd(0x40, kCmdWriteToBuffer);
             BusWrite32(0x40, Both(3));
         },
         0x40,
         {0xCC01CC01u, 0xCC02CC02u, 0xCC03CC03u, 0xCC04CC04u, Both(kCmdConfirm), 0xCC06CC06u,
          Both(kCmdReadArray), 0xCC08CC08u},
         none},
        {"a run past the count without a confirm", false,
         [] {
             Cmd(0x80, kCmdWriteToBuffer);
             BusWrite32(0x80, Both(5));
         },
         0x80, longer, confirm(0x80)},
        {"different counts in the two devices", false,
         [] {
             Cmd(0, kCmdWriteToBuffer);
             BusWrite32(0, 0x000F0002u);
         },
         0, data, confirm(0x3C)},
        {"a slot written before the run: the run starts below the first word, a bad sequence", false,
         [] {
             Cmd(0x40, kCmdWriteToBuffer);
             BusWrite32(0x40, Both(15));
             BusWrite32(0x44, 0xF0F0CC0Fu);
         },
         0x40, data, confirm(0x7C)},
        {"a run that starts mid-line and crosses into the next line", false,
         [] {
             Cmd(0x60, kCmdWriteToBuffer);
             BusWrite32(0x60, Both(15));
         },
         0x60, data, confirm(0x60)},
        {"a run that crosses into another block", false,
         [] {
             Cmd(kBlock32 - 0x20, kCmdWriteToBuffer);
             BusWrite32(kBlock32 - 0x20, Both(15));
         },
         kBlock32 - 0x20, data, confirm(kBlock32 - 4)},
        {"status mode", false, [] { Cmd(0, kCmdReadStatus); }, 0x200, data, none},
        {"a hanging device never takes the words", false,
         [] {
             SetFaults(1, 1, kFaultBusy);
             Cmd(kBlock32, kCmdWriteToBuffer);
             BusWrite32(kBlock32, Both(15));
         },
         kBlock32, data, [] { SetFaults(1, 1, 0); Cmd(kBlock32 + 0x3C, kCmdConfirm); }},
        {"a program fault shows at the confirm", false,
         [] {
             SetFaults(0, 2, kFaultProgram);
             Cmd(2 * kBlock32, kCmdWriteToBuffer);
             BusWrite32(2 * kBlock32, Both(15));
         },
         2 * kBlock32, data, confirm(2 * kBlock32 + 0x3C)},
        {"a locked block", false,
         [] {
             SetLockBit(0, 3);
             Cmd(3 * kBlock32, kCmdWriteToBuffer);
             BusWrite32(3 * kBlock32, Both(15));
         },
         3 * kBlock32, data, confirm(3 * kBlock32 + 0x3C)},
        {"16-bit bus: 32-bit words are two cycles each", true,
         [] {
             BusWrite16(0x20, kCmdWriteToBuffer);
             BusWrite16(0x20, 9);
         },
         0x20, {0xCC11CC10u, 0xCC13CC12u, 0xCC15CC14u, 0xCC17CC16u, 0xCC19CC18u, 0x00D000D0u, 0xCCCCCCCCu},
         none},
    };
    for (const BulkScenario& sc : scenarios) {
        SCOPED_TRACE(sc.what);
        board_.reset();  // the old board goes before the new one is made
        board_ = NewBoard();
        BulkOutcome one = RunBulkScenario(sc, false);
        board_.reset();
        board_ = NewBoard();
        BulkOutcome bulk = RunBulkScenario(sc, true);
        for (int d = 0; d < kFlashDevices; ++d) {
            ExpectSameDevice(bulk.afterRun[d], one.afterRun[d], "after the run", d);
            ExpectSameDevice(bulk.afterFinish[d], one.afterFinish[d], "after the finish", d);
            EXPECT_EQ(bulk.counters.writes[d], one.counters.writes[d]) << d;
            EXPECT_EQ(bulk.counters.reads[d], 0u);
        }
        EXPECT_EQ(bulk.counters.busWrites, one.counters.busWrites);
        EXPECT_EQ(bulk.counters.busReads, 0u);
        EXPECT_TRUE(bulk.array == one.array) << "the flash contents differ";
    }
}

TEST_F(FlashDeviceTest, BulkBufferProgramsAndCountsNineteenWrites)
{
    std::vector<uint32_t> data(16);
    for (size_t i = 0; i < data.size(); ++i)
        data[i] = 0xCC5A00CCu + uint32_t(i);
    // Any alignment of the source.
    std::vector<uint8_t> bytes(data.size() * 4 + 1);
    std::memcpy(bytes.data() + 1, data.data(), data.size() * 4);
    Cmd(0x40, kCmdWriteToBuffer);
    BusWrite32(0x40, Both(15));
    BusWriteBulk32(0x40, bytes.data() + 1, data.size());
    Cmd(0x7C, kCmdConfirm);
    FlashCounters n = FlashGetCounters();
    EXPECT_EQ(n.busWrites, 19u);
    EXPECT_EQ(n.writes[0], 19u);
    EXPECT_EQ(n.writes[1], 19u);
    EXPECT_EQ(ReadStatus(0), 0x00800080u);
    for (size_t i = 0; i < data.size(); ++i)
        EXPECT_EQ(Peek32(0x40 + uint32_t(i) * 4), data[i]) << i;
    EXPECT_EQ(Peek32(0x80), 0xFFFFFFFFu);

    // A run past the end of the flash: the words beyond it are lost.
    Cmd(0, kCmdReadArray);
    FlashResetCounters();
    BusWriteBulk32(kFlashSize - 8, data.data(), 4);
    EXPECT_EQ(FlashGetCounters().busWrites, 2u);
}

// Sixteen bus words that cannot be mistaken for erased flash or commands.
std::vector<uint32_t> LineData(uint32_t seed)
{
    std::vector<uint32_t> data;
    for (uint32_t i = 0; i < 16; ++i)
        data.push_back(0xCC00CC00u + (seed + i) * 0x00110013u);
    return data;
}

// A full buffer as ProgramFlash sends it: 0xE8, status read, count, the
// data words in one run, confirm, status read (returned).
uint32_t ProgramLine32(uint32_t phys, const std::vector<uint32_t>& words)
{
    Cmd(phys, kCmdWriteToBuffer);
    (void)BusRead32(phys);
    BusWrite32(phys, Both(uint16_t(words.size() - 1)));
    BusWriteBulk32(phys, words.data(), words.size());
    Cmd(phys + uint32_t(words.size() - 1) * 4, kCmdConfirm);
    return BusRead32(phys);
}

// A worn block: programs report success, and only a read-back shows the
// bits its cells could not clear; an erase brings them back to ones.
TEST_F(FlashDeviceTest, StuckBitsShowOnlyInTheReadBack)
{
    ASSERT_TRUE(SetSetting("fault-stuck", "0x40004"));  // bus block 1
    const std::vector<uint32_t> zeros(16, 0);
    EXPECT_EQ(ProgramLine32(kBlock32, zeros), 0x00800080u);   // the data words in one run
    BufferProgram(kBlock32 + 0x40, zeros);                 // cycle by cycle
    Cmd(kBlock32 + 0x80, kCmdWordProgram);
    BusWrite32(kBlock32 + 0x80, 0);
    EXPECT_EQ(BusRead32(kBlock32), 0x00800080u);           // success, as far as the status goes
    BufferProgram(0x40, zeros);                            // a sound block
    for (uint32_t i = 0; i < 16; ++i) {
        const uint32_t stuck = Both(FlashStuckBits((kBlock32 / 4) + i));
        EXPECT_EQ(Peek32(kBlock32 + i * 4), stuck) << i;
        EXPECT_EQ(Peek32(kBlock32 + 0x40 + i * 4), stuck) << i;
        EXPECT_EQ(Peek32(0x40 + i * 4), 0u) << i;
    }
    EXPECT_EQ(Peek32(kBlock32 + 0x80), Both(FlashStuckBits(kBlock32 / 4)));
    EXPECT_NE(Both(FlashStuckBits(0)), Both(FlashStuckBits(1)));
    Cmd(kBlock32, kCmdBlockErase);
    Cmd(kBlock32, kCmdConfirm);
    EXPECT_EQ(BusRead32(kBlock32), 0x00800080u);
    EXPECT_EQ(Peek32(kBlock32), 0xFFFFFFFFu);
    // Bits the data leaves set show nothing.
    ProgramLine32(kBlock32, std::vector<uint32_t>(16, 0xFFFFFFFFu));
    EXPECT_EQ(Peek32(kBlock32 + 4), 0xFFFFFFFFu);
}

// The confirm of a full buffer writes exactly its line, with the devices'
// halves in their places.
TEST_F(FlashDeviceTest, FullBufferConfirmProgramsItsLineOnly)
{
    const std::vector<uint32_t> a = LineData(3);
    ProgramLine32(kBlock32 + 0x40, a);
    EXPECT_EQ(ReadStatus(kBlock32), 0x00800080u);
    for (size_t i = 0; i < a.size(); ++i)
        EXPECT_EQ(Peek32(kBlock32 + 0x40 + uint32_t(i) * 4), a[i]) << i;
    EXPECT_EQ(Peek32(kBlock32 + 0x3C), 0xFFFFFFFFu);
    EXPECT_EQ(Peek32(kBlock32 + 0x80), 0xFFFFFFFFu);
    // Programming the other line's values over it leaves the bits both clear.
    const std::vector<uint32_t> b = LineData(9);
    ProgramLine32(kBlock32 + 0x40, b);
    for (size_t i = 0; i < a.size(); ++i)
        EXPECT_EQ(Peek32(kBlock32 + 0x40 + uint32_t(i) * 4), a[i] & b[i]) << i;
    FlashCounters n = FlashGetCounters();
    EXPECT_EQ(n.busWrites, 2 * 19u + 1);  // the status command of ReadStatus
}

TEST_F(FlashDeviceTest, ThreadedBusCyclesAreCountedExactly)
{
    BufferProgram(0, {0xCCCCCCCCu});
    Cmd(0, kCmdReadArray);
    FlashResetCounters();
    constexpr int kThreads = 4, kReads = 2000;
    std::vector<std::thread> threads;
    std::atomic<int> wrong{0};
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < kReads; ++i) {
                if (BusRead32(0) != 0xCCCCCCCCu)
                    ++wrong;
            }
        });
    }
    for (auto& t : threads)
        t.join();
    EXPECT_EQ(wrong.load(), 0);
    EXPECT_EQ(FlashGetCounters().busReads, uint64_t(kThreads) * kReads);
}

}  // namespace
