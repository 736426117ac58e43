// Flash access against the board's flash devices: command sequences, bus
// economy, status handling and time-outs.
#include "flash/flash_access.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "board/board.h"
#include "board/flash_device.h"
#include "board/flash_state.h"
#include "platform/clock.h"
#include "platform/host/clock.h"
#include "platform/mmio.h"
#include "platform/sync.h"
#include "tests/support/temp_board.h"

namespace {

constexpr uint32_t kBlock = 0x40000;

// Sets the faults of device d's block b in the shared device state (they
// hold until cleared; the settings' faults apply on top).
void SetFaults(int d, uint32_t b, uint8_t faults)
{
    board::flash::Guard g;
    ASSERT_NE(g.get(), nullptr);
    g.get()->state->dev[d].faults[b] = faults;
}

std::vector<uint8_t> Peek(uint32_t offset, size_t n)
{
    std::vector<uint8_t> out(n);
    EXPECT_TRUE(board::FlashPeek(out.data(), offset, n));
    return out;
}

bool AllErased(uint32_t offset, size_t n)
{
    for (uint8_t b : Peek(offset, n))
        if (b != 0xFF)
            return false;
    return true;
}

// Source bytes that cannot be mistaken for erased flash or zero, with
// spare readable bytes past the end.
std::vector<uint8_t> Fill(size_t n, uint8_t first = 0xC1)
{
    std::vector<uint8_t> v(n + 4, 0xFF);
    for (size_t i = 0; i < n; ++i)
        v[i] = static_cast<uint8_t>(first + i * 7) == 0xFF ? 0xCC : static_cast<uint8_t>(first + i * 7);
    return v;
}

class FlashAccess : public ::testing::Test {
protected:
    void SetUp() override
    {
        window_ = MapFlashWindow(FLASH_WINDOW_FULL);
        ASSERT_NE(window_, nullptr);
        board::FlashResetCounters();
    }
    void TearDown() override
    {
        UnmapFlashWindow(window_);
        BusWidth = 4;
        OsUseRealClock();
    }
    TempBoard board_{true};
    uint8_t* window_ = nullptr;
};

TEST_F(FlashAccess, BlankBlockGetsNoEraseCommand)
{
    ASSERT_EQ(EraseBlock(window_ + kBlock), 1);
    board::FlashCounters c = board::FlashGetCounters();
    EXPECT_EQ(c.busWrites, 1u);             // the read-array reset only
    EXPECT_EQ(c.busReads, kBlock / 4);      // one pass over the block
}

TEST_F(FlashAccess, OneDirtyWordAnywhereErasesTheWholeBlock)
{
    std::vector<uint8_t> src = Fill(8);
    ASSERT_EQ(ProgramFlash(src.data(), window_ + 2 * kBlock - 8, 8), 1);   // last word of block 1
    ASSERT_EQ(ProgramFlash(src.data(), window_ + 2 * kBlock, 8), 1);       // first word of block 2
    ASSERT_EQ(IsBlockErased(window_ + kBlock, kBlock), 0);
    board::FlashResetCounters();

    ASSERT_EQ(EraseBlock(window_ + kBlock), 1);
    board::FlashCounters c = board::FlashGetCounters();
    // read array, read status (idle?), clear status, erase, confirm, and
    // read array for the read-back
    EXPECT_EQ(c.busWrites, 6u);
    EXPECT_GE(c.busReads, 2u * (kBlock / 4)) << "the erased block is read back";
    EXPECT_TRUE(AllErased(kBlock, kBlock));
    EXPECT_EQ(Peek(2 * kBlock, 8), std::vector<uint8_t>(src.begin(), src.begin() + 8));  // next block kept
}

TEST_F(FlashAccess, EraseFailsOnEveryErrorBitAndTheNextEraseIsNotPoisoned)
{
    std::vector<uint8_t> src = Fill(64);
    for (uint32_t b = 1; b <= 4; ++b)
        ASSERT_EQ(ProgramFlash(src.data(), window_ + b * kBlock, 64), 1);
    ASSERT_TRUE(board::SetSetting("fault-erase", "0x40000"));
    ASSERT_TRUE(board::SetSetting("fault-locked", "0x80000"));
    ASSERT_TRUE(board::SetSetting("fault-vpp", "0xC0000"));
    EXPECT_EQ(EraseBlock(window_ + kBlock), 0);
    EXPECT_EQ(EraseBlock(window_ + 2 * kBlock), 0);
    EXPECT_EQ(EraseBlock(window_ + 3 * kBlock), 0);
    EXPECT_FALSE(AllErased(kBlock, 64));
    // Error bits stay in the devices until cleared: a healthy block after a
    // failed one must still erase.
    EXPECT_EQ(EraseBlock(window_ + 4 * kBlock), 1);
    EXPECT_TRUE(AllErased(4 * kBlock, kBlock));
}

TEST_F(FlashAccess, StuckEraseTimesOutAfterTenSecondsOfVirtualTime)
{
    std::vector<uint8_t> src = Fill(4);
    ASSERT_EQ(ProgramFlash(src.data(), window_ + kBlock, 4), 1);
    ASSERT_TRUE(board::SetSetting("fault-busy", "0x40000"));
    OsUseVirtualClock(0, 1);
    uint32_t t0 = OsGetTickCount();
    EXPECT_EQ(EraseBlock(window_ + kBlock), 0);
    uint32_t elapsed = OsGetTickCount() - t0;
    EXPECT_GE(elapsed, FLASH_ERASE_TIMEOUT_MS);
    EXPECT_LT(elapsed, FLASH_ERASE_TIMEOUT_MS + 2 * FLASH_ERASE_POLL_MS);
}

TEST_F(FlashAccess, ZeroBytesCostNoBusCycle)
{
    uint8_t src[4] = {1, 2, 3, 4};
    EXPECT_EQ(ProgramFlash(src, window_ + kBlock, 0), 1);
    board::FlashCounters c = board::FlashGetCounters();
    EXPECT_EQ(c.busWrites, 0u);
    EXPECT_EQ(c.busReads, 0u);
}

TEST_F(FlashAccess, FullBufferCostsNineteenWritesAndTwoStatusCommandsPerCall)
{
    std::vector<uint8_t> src = Fill(64 * 3);
    ASSERT_EQ(ProgramFlash(src.data(), window_ + kBlock, 64), 1);
    EXPECT_EQ(board::FlashGetCounters().busWrites, 2u + 19u);
    board::FlashResetCounters();
    // Three buffers in one call: still one read-status and one clear-status.
    ASSERT_EQ(ProgramFlash(src.data(), window_ + 2 * kBlock, 64 * 3), 1);
    EXPECT_EQ(board::FlashGetCounters().busWrites, 2u + 3u * 19u);
    EXPECT_EQ(Peek(2 * kBlock, 64 * 3), std::vector<uint8_t>(src.begin(), src.begin() + 64 * 3));
    // A chunk of the update worker: 256 full buffers.
    std::vector<uint8_t> chunk = Fill(16384);
    board::FlashResetCounters();
    ASSERT_EQ(ProgramFlash(chunk.data(), window_ + 3 * kBlock, 16384), 1);
    EXPECT_EQ(board::FlashGetCounters().busWrites, 2u + 256u * 19u);
    EXPECT_EQ(Peek(3 * kBlock, 16384), std::vector<uint8_t>(chunk.begin(), chunk.begin() + 16384));
}

TEST_F(FlashAccess, BuffersNeverCrossA64ByteBoundary)
{
    // 48 bytes past a boundary, 100 bytes: buffers of 4, 16 and 5 words.
    std::vector<uint8_t> src = Fill(100);
    ASSERT_EQ(ProgramFlash(src.data(), window_ + kBlock + 48, 100), 1);
    // read status + clear + 3 x (write-to-buffer, count, confirm) + 25 data words
    EXPECT_EQ(board::FlashGetCounters().busWrites, 2u + 3u * 3u + 25u);
    EXPECT_EQ(Peek(kBlock + 48, 100), std::vector<uint8_t>(src.begin(), src.begin() + 100));
    EXPECT_TRUE(AllErased(kBlock, 48));
    EXPECT_TRUE(AllErased(kBlock + 148, 64));
}

TEST_F(FlashAccess, PartialLastWordTakesTheSpareBytes)
{
    std::vector<uint8_t> src = Fill(5);   // spare bytes are 0xFF
    ASSERT_EQ(ProgramFlash(src.data(), window_ + kBlock, 5), 1);
    EXPECT_EQ(board::FlashGetCounters().busWrites, 2u + 3u + 2u);   // two bus words
    std::vector<uint8_t> got = Peek(kBlock, 12);
    EXPECT_EQ(std::vector<uint8_t>(got.begin(), got.begin() + 5), std::vector<uint8_t>(src.begin(), src.begin() + 5));
    for (int i = 5; i < 12; ++i)
        EXPECT_EQ(got[i], 0xFF) << i;
}

TEST_F(FlashAccess, ProgramErrorsFailTheCallAndDoNotPoisonTheNextOne)
{
    std::vector<uint8_t> src = Fill(128);
    const char* faults[] = {"fault-program", "fault-vpp", "fault-locked"};
    for (const char* fault : faults) {
        SCOPED_TRACE(fault);
        ASSERT_TRUE(board::SetSetting(fault, "0x40000"));
        EXPECT_EQ(ProgramFlash(src.data(), window_ + kBlock, 128), 0);
        ASSERT_TRUE(board::SetSetting(fault, "none"));
        // Another block, same devices: the error bits of the failure above
        // are still in the status registers until cleared.
        EXPECT_EQ(ProgramFlash(src.data(), window_ + 3 * kBlock, 4), 1);
        EXPECT_EQ(EraseBlock(window_ + 3 * kBlock), 1);
    }
}

// The first buffer that fails ends the program there: the buffers before
// it are written, nothing is sent after it.
TEST_F(FlashAccess, AFailedLineEndsTheProgramThere)
{
    std::vector<uint8_t> src = Fill(256);
    ASSERT_TRUE(board::SetSetting("fault-locked", "0x80000"));
    board::FlashResetCounters();
    EXPECT_EQ(ProgramFlash(src.data(), window_ + 2 * kBlock - 128, 256), 0);
    EXPECT_EQ(board::FlashGetCounters().busWrites, 2u + 3u * 19u) << "two lines, the failed one, no fourth";
    EXPECT_EQ(Peek(2 * kBlock - 128, 128), std::vector<uint8_t>(src.begin(), src.begin() + 128));
    EXPECT_EQ(Peek(2 * kBlock, 128), std::vector<uint8_t>(128, 0xFF));
}

TEST_F(FlashAccess, StaleErrorBitsFromAnEarlierRunAreCleared)
{
    std::vector<uint8_t> src = Fill(64);
    ASSERT_TRUE(board::SetSetting("fault-program", "0x40000"));
    ASSERT_EQ(ProgramFlash(src.data(), window_ + kBlock, 64), 0);
    ASSERT_TRUE(board::SetSetting("fault-program", "none"));
    // The device state lives with the board: a new program (new mapping)
    // finds the error bits still set.
    UnmapFlashWindow(window_);
    window_ = MapFlashWindow(FLASH_WINDOW_FULL);
    ASSERT_NE(window_, nullptr);
    EXPECT_EQ(ProgramFlash(src.data(), window_ + 2 * kBlock, 64), 1);
    EXPECT_EQ(Peek(2 * kBlock, 64), std::vector<uint8_t>(src.begin(), src.begin() + 64));
}

TEST_F(FlashAccess, StuckBufferTimesOutAfterTenSecondsOfVirtualTime)
{
    std::vector<uint8_t> src = Fill(64);
    ASSERT_TRUE(board::SetSetting("fault-busy", "0x40000"));
    OsUseVirtualClock(0, 1000);   // every read of the time: 1 ms
    uint32_t t0 = OsGetTickCount();
    EXPECT_EQ(ProgramFlash(src.data(), window_ + kBlock, 64), 0);
    EXPECT_GE(OsGetTickCount() - t0, FLASH_BUFFER_TIMEOUT_MS);
}

// A clock that lifts device 0's hang in block 1 at its third read: the
// start of the wait for idle devices, the 0xE8's start of the buffer's
// limit, and the first look at the limit after a status without a free
// buffer; the poll goes on until the hang ends.
struct LiftHangClock {
    uint64_t now = 0;
    int reads = 0;
    static uint64_t Now(void* ctx)
    {
        auto* c = static_cast<LiftHangClock*>(ctx);
        if (++c->reads == 3)
            SetFaults(0, 1, 0);
        return c->now += 1000;
    }
    static void Sleep(void* ctx, uint64_t us) { static_cast<LiftHangClock*>(ctx)->now += us; }
};

TEST_F(FlashAccess, BufferNotFreeAtOnceIsAskedForAgainOnlyWhereItIsNotFree)
{
    // Device 0 hangs at the 0xE8; when the hang is lifted it ends failed
    // (program error). While its buffer is not free, the 0xE8 goes again
    // with each status read, to device 0 alone: device 1, which took the
    // first one, would read another as its word count. Device 1 then
    // programs its halves and the call reports device 0's failure.
    std::vector<uint8_t> src(64 + 4, 0xCC);   // no byte of it is a command
    SetFaults(0, 1, board::kFaultBusy);
    LiftHangClock clock;
    const OsClockOps ops{LiftHangClock::Now, LiftHangClock::Sleep, &clock};
    OsSetClock(&ops);
    board::FlashResetCounters();
    EXPECT_EQ(ProgramFlash(src.data(), window_ + kBlock, 64), 0);
    OsSetClock(nullptr);
    EXPECT_GE(clock.reads, 3);
    board::FlashCounters c = board::FlashGetCounters();
    EXPECT_EQ(c.writes[1], 2u + 19u) << "device 1: read status, clear, one whole buffer sequence";
    EXPECT_GT(c.writes[0], c.writes[1]) << "device 0 was asked again";
    EXPECT_EQ(board::FlashGetDeviceInfo(1).status & 0x3A, 0) << "no bad sequence in device 1";
    ResetToReadArray(window_);
    std::vector<uint8_t> got = Peek(kBlock, 64);
    for (size_t i = 0; i < got.size(); ++i)
        EXPECT_EQ(got[i], (i % 4) < 2 ? 0xFF : 0xCC) << i;
}

// A device busy with an operation that this program did not start (an
// erase left running by a killed update, with datasheet timing on the
// virtual clock): every command sent to it while it is busy is lost.
class BusyChip : public FlashAccess {
protected:
    void StartForeignErase(uint32_t offset)
    {
        ASSERT_TRUE(board::SetSetting("timing", "datasheet"));
        OsUseVirtualClock(1000000, 1);
        FlashWriteWord(window_ + offset, FLASH_CMD_BLOCK_ERASE);
        FlashWriteWord(window_ + offset, FLASH_CMD_CONFIRM);
        ASSERT_TRUE(board::FlashGetDeviceInfo(0).busy);
    }
};

TEST_F(BusyChip, EraseWaitsUntilTheDevicesAreIdle)
{
    std::vector<uint8_t> src = Fill(64);
    ASSERT_EQ(ProgramFlash(src.data(), window_ + kBlock, 64), 1);
    ASSERT_EQ(ProgramFlash(src.data(), window_ + 4 * kBlock, 64), 1);
    StartForeignErase(4 * kBlock);
    EXPECT_EQ(EraseBlock(window_ + kBlock), 1);
    EXPECT_TRUE(AllErased(kBlock, kBlock)) << "the erase commands must not go to a busy chip";
}

TEST_F(BusyChip, ProgramWaitsUntilTheDevicesAreIdle)
{
    std::vector<uint8_t> src = Fill(256);
    ASSERT_EQ(ProgramFlash(src.data(), window_ + 4 * kBlock, 64), 1);
    StartForeignErase(4 * kBlock);
    EXPECT_EQ(ProgramFlash(src.data(), window_ + kBlock, 256), 1);
    ResetToReadArray(window_);
    EXPECT_EQ(Peek(kBlock, 256), std::vector<uint8_t>(src.begin(), src.begin() + 256))
        << "no buffer may start while the chip is busy";
}

// One device busy and the other ready is not ready: a status of 0x00800000
// or 0x00000080 must hold the program back as well.
TEST_F(BusyChip, ProgramWaitsWhileEitherDeviceIsBusy)
{
    std::vector<uint8_t> src = Fill(128);
    for (uint32_t device = 0; device < 2; ++device) {
        SCOPED_TRACE(device);
        const uint32_t target = (1 + device) * kBlock;
        ASSERT_EQ(ProgramFlash(src.data(), window_ + 4 * kBlock, 4), 1);
        ASSERT_TRUE(board::SetSetting("timing", "datasheet"));
        OsUseVirtualClock(1000000, 1);
        // An erase of one device alone: 16-bit cycles on its half of the bus.
        OsWrite16(window_ + 4 * kBlock + 2 * device, static_cast<uint16_t>(FLASH_CMD_BLOCK_ERASE));
        OsWrite16(window_ + 4 * kBlock + 2 * device, static_cast<uint16_t>(FLASH_CMD_CONFIRM));
        ASSERT_TRUE(board::FlashGetDeviceInfo(int(device)).busy);
        ASSERT_FALSE(board::FlashGetDeviceInfo(int(1 - device)).busy);
        EXPECT_EQ(ProgramFlash(src.data(), window_ + target, 128), 1);
        ResetToReadArray(window_);
        EXPECT_EQ(Peek(target, 128), std::vector<uint8_t>(src.begin(), src.begin() + 128));
    }
}

TEST_F(BusyChip, AChipBusyForGoodIsTheOperationsTimeOut)
{
    std::vector<uint8_t> src = Fill(64);
    ASSERT_EQ(ProgramFlash(src.data(), window_ + kBlock, 64), 1);
    ASSERT_TRUE(board::SetSetting("fault-busy", "0x100000"));
    StartForeignErase(4 * kBlock);   // hangs
    uint32_t t0 = OsGetTickCount();
    EXPECT_EQ(EraseBlock(window_ + kBlock), 0);
    uint32_t elapsed = OsGetTickCount() - t0;
    EXPECT_GE(elapsed, FLASH_ERASE_TIMEOUT_MS);
    EXPECT_LT(elapsed, FLASH_ERASE_TIMEOUT_MS + 2 * FLASH_ERASE_POLL_MS);
    t0 = OsGetTickCount();
    EXPECT_EQ(ProgramFlash(src.data(), window_ + 2 * kBlock, 64), 0);
    EXPECT_GE(OsGetTickCount() - t0, FLASH_BUFFER_TIMEOUT_MS);
    EXPECT_FALSE(AllErased(kBlock, 64));
    EXPECT_TRUE(AllErased(2 * kBlock, 64));
}

TEST_F(FlashAccess, SixteenBitBusWritesLowHalvesOnEachDevice)
{
    ASSERT_TRUE(board::SetSetting("bus", "16"));
    UnmapFlashWindow(window_);
    window_ = MapFlashWindow(FLASH_WINDOW_FULL);
    ASSERT_NE(window_, nullptr);
    BusWidth = 2;
    EXPECT_EQ(FlashBlockSize(), 0x20000u);
    const uint32_t second = 0x1000000 + 0x20000;   // a block of the second device
    std::vector<uint8_t> src = Fill(40);
    board::FlashResetCounters();
    // 32-byte buffers: 40 bytes at a boundary are buffers of 16 and 4 words.
    ASSERT_EQ(ProgramFlash(src.data(), window_ + second, 40), 1);
    board::FlashCounters c = board::FlashGetCounters();
    EXPECT_EQ(c.busWrites, 2u + 2u * 3u + 20u);
    EXPECT_EQ(c.writes[0], 0u);
    EXPECT_EQ(c.writes[1], c.busWrites);
    EXPECT_EQ(Peek(second, 40), std::vector<uint8_t>(src.begin(), src.begin() + 40));

    ASSERT_EQ(EraseBlock(window_ + second), 1);
    EXPECT_TRUE(AllErased(second, 0x20000));
    ResetToReadArray(window_ + second);
    EXPECT_EQ(board::FlashGetDeviceInfo(1).mode, board::FlashMode::ReadArray);
}

TEST(FlashLockThreaded, LockIsDeviceWideAndReleasedByUnlock)
{
    TempBoard board(true);
    Handle lock = LockFlash();
    ASSERT_NE(lock, nullptr);
    EXPECT_EQ(FlashLockProbe(), OS_WAIT_TIMEOUT);

    UnlockFlash(lock);
    EXPECT_EQ(FlashLockProbe(), OS_WAIT_OBJECT_0);
}

}  // namespace
