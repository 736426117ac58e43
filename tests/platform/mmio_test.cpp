// Device memory: reservations, windows onto the flash, bus-cycle
// accessors and the data abort of a stray access.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <thread>
#include <vector>

#include "board/board.h"
#include "board/bus.h"
#include "board/flash_device.h"
#include "platform/clock.h"
#include "platform/host/clock.h"
#include "platform/mmio.h"
#include "platform/testing/temp_board.h"

namespace {

constexpr uint32_t kWindowProtect = OS_PAGE_READWRITE | OS_PAGE_NOCACHE | OS_PAGE_PHYSICAL;

class MmioTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        OsUseVirtualClock(0, 1);
        board_ = std::make_unique<TempBoard>(true);
        ASSERT_TRUE(board::SetSetting("timing", "none"));  // whatever timing the run goes under
    }
    void TearDown() override
    {
        for (void* p : reserved_)
            OsVirtualFree(p, 0, OS_MEM_RELEASE);
        board_.reset();
        OsUseRealClock();
    }
    // A window onto the flash from phys, as a program maps it.
    uint8_t* Map(uint32_t phys, uint32_t size)
    {
        void* p = OsVirtualAlloc(size, OS_MEM_RESERVE, OS_PAGE_NOACCESS);
        EXPECT_NE(p, nullptr);
        if (!p)
            return nullptr;
        reserved_.push_back(p);
        EXPECT_EQ(OsVirtualCopy(p, phys, size, kWindowProtect), 1);
        return static_cast<uint8_t*>(p);
    }
    std::unique_ptr<TempBoard> board_;
    std::vector<void*> reserved_;
};

TEST_F(MmioTest, AccessesReachTheFlashAtTheWindowsPhysicalAddress)
{
    uint8_t* whole = Map(0, board::kFlashSize);
    uint8_t* high = Map(0x40000, 0x20000);
    ASSERT_TRUE(whole && high);
    EXPECT_NE(whole, high);

    // A buffered program through the high window, read back through both.
    OsWrite32(high + 0x20, 0x00E800E8);
    EXPECT_EQ(OsRead32(high + 0x20), 0x00FE00FEu);  // extended status: a buffer is free
    OsWrite32(high + 0x20, 0x00010001);
    OsWrite32(high + 0x20, 0xCCCC1234);
    OsWrite32(high + 0x24, 0x5678CCCC);
    OsWrite32(high + 0x24, 0x00D000D0);
    EXPECT_EQ(OsRead32(high + 0x24), 0x00800080u);
    OsWrite16(whole, 0x00FF);  // device 0 only
    EXPECT_EQ(OsRead32(whole + 0x40020), 0x00801234u);
    OsWrite16(whole + 2, 0x00FF);
    EXPECT_EQ(OsRead32(whole + 0x40020), 0xCCCC1234u);
    EXPECT_EQ(OsRead16(high + 0x26), 0x5678u);

    uint8_t buf[7];
    OsReadBulk(buf, high + 0x20, sizeof buf);
    const uint8_t want[7] = {0x34, 0x12, 0xCC, 0xCC, 0xCC, 0xCC, 0x78};
    EXPECT_EQ(std::memcmp(buf, want, sizeof buf), 0);
}

TEST_F(MmioTest, BulkWritesReachTheWindowsPhysicalAddressCycleByCycle)
{
    uint8_t* high = Map(0x40000, 0x20000);
    ASSERT_NE(high, nullptr);
    const uint32_t data[4] = {0xCC01CC10, 0xCC02CC20, 0xCC03CC30, 0xCC04CC40};
    OsWrite32(high + 0x40, 0x00E800E8);
    OsWrite32(high + 0x40, 0x00030003);
    board::FlashResetCounters();
    OsWriteBulk32(high + 0x40, data, 4);
    EXPECT_EQ(board::FlashGetCounters().busWrites, 4u);
    OsWrite32(high + 0x4C, 0x00D000D0);
    EXPECT_EQ(OsRead32(high), 0x00800080u);
    uint32_t got[4] = {};
    EXPECT_TRUE(board::FlashPeek(got, 0x40040, sizeof got));
    EXPECT_EQ(std::memcmp(got, data, sizeof got), 0);

    // 16-bit cycles from an odd source address; on the 32-bit bus the
    // halves reach the two devices by turns (here: word program on both).
    uint8_t halves[1 + 8] = {0, 0x40, 0x00, 0x40, 0x00, 0x34, 0xCC, 0x12, 0xCC};
    board::FlashResetCounters();
    OsWriteBulk16(high + 0x80, halves + 1, 2);
    OsWriteBulk16(high + 0x80, halves + 5, 2);
    EXPECT_EQ(board::FlashGetCounters().busWrites, 4u);
    OsWrite32(high, 0x00FF00FF);
    EXPECT_EQ(OsRead32(high + 0x80), 0xCC12CC34u);
    OsWriteBulk32(high, data, 0);   // nothing: no cycle
    OsWriteBulk16(high, data, 0);
    EXPECT_EQ(board::FlashGetCounters().busWrites, 5u);
}

// A transfer: its runs' write cycles in order (one of them in a window
// other than the one used last, one empty), then one read; what breaks its
// contract is a data abort.
TEST_F(MmioTest, TransferIsItsRunsInOrderThenOneRead)
{
    uint8_t* whole = Map(0, board::kFlashSize);
    uint8_t* high = Map(0x40000, 0x20000);
    ASSERT_TRUE(whole && high);
    const uint32_t words[3] = {0xCC01CC10, 0xCC02CC20, 0xCC03CC30};
    uint8_t odd[1 + sizeof words];
    std::memcpy(odd + 1, words, sizeof words);
    const uint32_t count = 0x00020002, confirm = 0x00D000D0;
    OsWrite32(high + 0x44, 0x00E800E8);
    (void)OsRead32(whole);   // the last window is another one now (a read changes no state)
    board::FlashResetCounters();
    const OsWriteRun runs[] = {
        {high + 0x44, &count, 1}, {high + 0x44, odd + 1, 3}, {nullptr, nullptr, 0}, {high + 0x4C, &confirm, 1}};
    EXPECT_EQ(OsWriteRunsRead32(runs, 4, high + 0x4C), 0x00800080u);
    board::FlashCounters n = board::FlashGetCounters();
    EXPECT_EQ(n.busWrites, 5u);
    EXPECT_EQ(n.busReads, 1u);
    uint32_t got[3] = {};
    EXPECT_TRUE(board::FlashPeek(got, 0x40044, sizeof got));
    EXPECT_EQ(std::memcmp(got, words, sizeof got), 0);

    // 16-bit cycles: read array at device 0 only, then a read of both.
    const uint16_t readArray = 0x00FF;
    const OsWriteRun one[] = {{high + 0x44, &readArray, 1}};
    EXPECT_EQ(OsWriteRunsRead16(one, 1, high + 0x44), 0xCC10u);
    EXPECT_EQ(OsWriteRunsRead16(one, 0, high + 0x46), 0x0080u);   // no write: device 1's status

    const OsWriteRun five[] = {runs[0], runs[0], runs[0], runs[0], runs[0]};
    EXPECT_DEATH(OsWriteRunsRead32(five, 5, high), "data abort: transfer32 .*too many runs");
    std::vector<uint32_t> many(OS_TRANSFER_MAX_CYCLES);
    const OsWriteRun tooLong[] = {{high, many.data(), OS_TRANSFER_MAX_CYCLES}, {high, &count, 1}};
    EXPECT_DEATH(OsWriteRunsRead32(tooLong, 2, high), "data abort: transfer32 .*too many cycles");
    const OsWriteRun misaligned[] = {{high + 2, &count, 1}};
    EXPECT_DEATH(OsWriteRunsRead32(misaligned, 1, high), "data abort: transfer32 .*not aligned");
    EXPECT_DEATH(OsWriteRunsRead16(misaligned, 1, high + 1), "data abort: transfer16 .*not aligned");
    const OsWriteRun pastTheEnd[] = {{high + 0x20000 - 4, words, 2}};
    EXPECT_DEATH(OsWriteRunsRead32(pastTheEnd, 1, high), "data abort: transfer32 .*no device memory");

    void* ro = OsVirtualAlloc(0x1000, OS_MEM_RESERVE, OS_PAGE_NOACCESS);
    ASSERT_NE(ro, nullptr);
    reserved_.push_back(ro);
    ASSERT_EQ(OsVirtualCopy(ro, 0x40000, 0x1000, OS_PAGE_PHYSICAL | OS_PAGE_NOCACHE), 1);
    (void)OsRead32(ro);   // the thread's last window is the read-only one
    const OsWriteRun readOnly[] = {{ro, &count, 1}};
    EXPECT_DEATH(OsWriteRunsRead32(readOnly, 1, ro), "data abort: transfer32 .*read-only");
}

// A command transfer: the command and its status read, then the transfer
// only when the status passes the test; the runs may lie in another window
// than the command, and its limits are data aborts.
TEST_F(MmioTest, CommandTransferRunsOnlyAfterAReadyStatus)
{
    uint8_t* whole = Map(0, board::kFlashSize);
    uint8_t* high = Map(0x40000, 0x20000);
    ASSERT_TRUE(whole && high);
    const uint32_t words[2] = {0xCC05CC50, 0xCC06CC60};
    const uint32_t count = 0x00010001, confirm = 0x00D000D0;
    const OsWriteRun runs[] = {{high + 0x80, &count, 1}, {high + 0x80, words, 2}, {high + 0x84, &confirm, 1}};
    uint32_t status = 0;
    board::FlashResetCounters();
    // A test the ready status never passes: only the command and its read.
    EXPECT_EQ(OsCommandTransfer32(high + 0x80, 0x00E800E8, 0x00800080, 0, runs, 3, high + 0x84, &status), 0);
    EXPECT_EQ(status, 0x00FE00FEu);
    board::FlashCounters n = board::FlashGetCounters();
    EXPECT_EQ(n.busWrites, 1u);
    EXPECT_EQ(n.busReads, 1u);
    OsWrite32(high, 0x00500050);   // taken as a count out of range: a bad sequence, status mode
    OsWrite32(high, 0x00500050);   // now a clear status
    // Ready: the whole buffer, the command given through the other window.
    board::FlashResetCounters();
    EXPECT_EQ(OsCommandTransfer32(whole + 0x40080, 0x00E800E8, 0x00800080, 0x00800080, runs, 3, high + 0x84, &status),
              1);
    EXPECT_EQ(status, 0x00800080u);
    n = board::FlashGetCounters();
    EXPECT_EQ(n.busWrites, 5u);
    EXPECT_EQ(n.busReads, 2u);
    uint32_t got[2] = {};
    EXPECT_TRUE(board::FlashPeek(got, 0x40080, sizeof got));
    EXPECT_EQ(std::memcmp(got, words, sizeof got), 0);

    // 16-bit cycles: 0x70 to device 0, its status, then one half more.
    const uint16_t readArray = 0x00FF;
    const OsWriteRun half[] = {{high + 0x80, &readArray, 1}};
    uint16_t s16 = 0;
    EXPECT_EQ(OsCommandTransfer16(high + 0x80, 0x0070, 0x0080, 0x0080, half, 1, high + 0x80, &s16), 1);
    EXPECT_EQ(s16, 0xCC50u);

    const OsWriteRun five[] = {runs[0], runs[0], runs[0], runs[0], runs[0]};
    EXPECT_DEATH(OsCommandTransfer32(high, 0x00700070, 0, 0, five, 5, high, &status),
                 "data abort: command transfer32 .*too many runs");
    EXPECT_DEATH(OsCommandTransfer32(high + 2, 0x00700070, 0, 0, runs, 3, high, &status),
                 "data abort: command transfer32 .*not aligned");
    EXPECT_DEATH(OsCommandTransfer16(high, 0x0070, 0, 0, half, 1, high + 1, &s16),
                 "data abort: command transfer16 .*not aligned");
    const OsWriteRun outside[] = {{high + 0x20000 - 4, words, 2}};   // runs past the window's end
    EXPECT_DEATH(OsCommandTransfer32(high, 0x00700070, 0, 0, outside, 1, high, &status),
                 "data abort: command transfer32 .*no device memory");
    // A run of buffer lines: the same limits, the whole run in the window.
    int ran = 0;
    const uint8_t data[64] = {};
    EXPECT_DEATH(OsBufferLines32(high, 16, 257, 0x00E800E8, count, data, confirm, 0, 0, 0, 0, &status, &ran),
                 "data abort: buffer lines32 .*too many lines");
    EXPECT_DEATH(OsBufferLines32(high, 255, 1, 0x00E800E8, count, data, confirm, 0, 0, 0, 0, &status, &ran),
                 "data abort: buffer lines32 .*too many cycles");
    EXPECT_DEATH(OsBufferLines32(high + 0x20000 - 64, 16, 2, 0x00E800E8, count, data, confirm, 0, 0, 0, 0, &status,
                                 &ran),
                 "data abort: buffer lines32 .*no device memory");
}

TEST_F(MmioTest, MappingIsRefusedWithoutDeviceMemoryOrReservation)
{
    void* p = OsVirtualAlloc(0x20000, OS_MEM_RESERVE, OS_PAGE_NOACCESS);
    ASSERT_NE(p, nullptr);
    reserved_.push_back(p);
    EXPECT_EQ(OsVirtualCopy(p, board::kFlashSize, 0x10000, kWindowProtect), 0);
    EXPECT_EQ(OsVirtualCopy(p, board::kFlashSize - 0x10000, 0x20000, kWindowProtect), 0);
    EXPECT_EQ(OsVirtualCopy(p, 0, 0x20000, OS_PAGE_READWRITE), 0);   // not physical
    EXPECT_EQ(OsVirtualCopy(p, 0, 0x30000, kWindowProtect), 0);      // larger than reserved
    int local = 0;
    EXPECT_EQ(OsVirtualCopy(&local, 0, 4, kWindowProtect), 0);       // not reserved
    EXPECT_EQ(OsVirtualCopy(p, 0, 0x20000, kWindowProtect), 1);
    EXPECT_EQ(OsVirtualCopy(p, 0, 0x20000, kWindowProtect), 0);      // already mapped
    EXPECT_EQ(OsVirtualFree(static_cast<uint8_t*>(p) + 4096, 0, OS_MEM_RELEASE), 0);
    EXPECT_EQ(OsVirtualFree(p, 0x20000, OS_MEM_RELEASE), 0);
    EXPECT_EQ(OsVirtualAlloc(0, OS_MEM_RESERVE, OS_PAGE_NOACCESS), nullptr);
}

TEST_F(MmioTest, NewMappingSeesChangedSettings)
{
    uint8_t* w = Map(0, 0x20000);
    ASSERT_NE(w, nullptr);
    EXPECT_EQ(board::FlashBusWidth(), 4u);
    ASSERT_TRUE(board::SetSetting("bus", "16"));
    uint8_t* w2 = Map(0, 0x20000);
    ASSERT_NE(w2, nullptr);
    // One 32-bit access is now two bus cycles.
    board::FlashResetCounters();
    OsRead32(w2);
    EXPECT_EQ(board::FlashGetCounters().busReads, 2u);
}

// A window released and a new one made at the same address (the kernel
// usually hands the same range out again) reaches the new physical range:
// nothing remembered of the old window survives the change.
TEST_F(MmioTest, ReplacedWindowReachesItsOwnPhysicalRange)
{
    uint8_t* high = Map(0x40000, 0x1000);
    ASSERT_NE(high, nullptr);
    OsWrite32(high + 0x100, 0x00400040);  // word program, both devices
    OsWrite32(high + 0x100, 0xCCCC5AA5);
    EXPECT_EQ(OsRead32(high + 0x100), 0x00800080u);
    OsWrite32(high + 0x100, 0x00FF00FF);

    void* low = OsVirtualAlloc(0x1000, OS_MEM_RESERVE, OS_PAGE_NOACCESS);
    ASSERT_NE(low, nullptr);
    ASSERT_EQ(OsVirtualCopy(low, 0, 0x1000, kWindowProtect), 1);
    EXPECT_EQ(OsRead32(static_cast<uint8_t*>(low) + 0x100), 0xFFFFFFFFu);
    ASSERT_EQ(OsVirtualFree(low, 0, OS_MEM_RELEASE), 1);

    void* again = OsVirtualAlloc(0x1000, OS_MEM_RESERVE, OS_PAGE_NOACCESS);
    ASSERT_NE(again, nullptr);
    reserved_.push_back(again);
    ASSERT_EQ(OsVirtualCopy(again, 0x40000, 0x1000, kWindowProtect), 1);
    EXPECT_EQ(OsRead32(static_cast<uint8_t*>(again) + 0x100), 0xCCCC5AA5u);
}

using MmioDeathTest = MmioTest;

TEST_F(MmioDeathTest, StrayAccessesAreDataAborts)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    uint8_t* w = Map(0, 0x20000);
    ASSERT_NE(w, nullptr);
    EXPECT_DEATH(OsRead32(w + 0x20000), "data abort: read32 at 0x[0-9a-f]+");
    EXPECT_DEATH(OsWrite32(w - 4, 0xCCCCCCCC), "data abort: write32");
    EXPECT_DEATH(OsRead32(w + 2), "data abort: read32 .*not aligned");
    EXPECT_DEATH(OsWrite16(w + 1, 0xCCCC), "data abort: write16");
    EXPECT_DEATH(OsReadBulk(nullptr, w + 0x1FFFC, 5), "data abort: bulk read");
    const uint32_t words[2] = {0xCCCCCCCC, 0xCCCCCCCC};
    // A bulk write must lie wholly in the mapping and be aligned to its width.
    EXPECT_DEATH(OsWriteBulk32(w + 0x1FFFC, words, 2), "data abort: bulk write32");
    EXPECT_DEATH(OsWriteBulk32(w + 2, words, 1), "data abort: bulk write32 .*not aligned");
    EXPECT_DEATH(OsWriteBulk16(w + 0x1FFFE, words, 2), "data abort: bulk write16");
    EXPECT_DEATH(OsWriteBulk16(w + 1, words, 1), "data abort: bulk write16 .*not aligned");
    int local = 0;
    EXPECT_DEATH(OsRead32(&local), "data abort");
    EXPECT_EQ(OsRead32(w + 0x100), 0xFFFFFFFFu);  // the window in use just before
    void* p = w;
    OsVirtualFree(p, 0, OS_MEM_RELEASE);
    reserved_.clear();
    EXPECT_DEATH(OsRead32(p), "data abort");
}

TEST_F(MmioTest, ThreadedAccessWhileAnotherWindowIsMapped)
{
    uint8_t* w = Map(0, 0x40000);
    ASSERT_NE(w, nullptr);
    std::atomic<bool> stop{false};
    std::atomic<int> wrong{0};
    std::thread reader([&] {
        while (!stop.load()) {
            if (OsRead32(w + 0x100) != 0xFFFFFFFFu)
                ++wrong;
        }
    });
    for (int i = 0; i < 50; ++i) {
        void* p = OsVirtualAlloc(0x1000, OS_MEM_RESERVE, OS_PAGE_NOACCESS);
        ASSERT_NE(p, nullptr);
        EXPECT_EQ(OsVirtualCopy(p, 0x1000, 0x1000, kWindowProtect), 1);
        EXPECT_EQ(OsRead32(static_cast<uint8_t*>(p) + 0x100), 0xFFFFFFFFu);
        EXPECT_EQ(OsVirtualFree(p, 0, OS_MEM_RELEASE), 1);
    }
    stop = true;
    reader.join();
    EXPECT_EQ(wrong.load(), 0);
}

}  // namespace
