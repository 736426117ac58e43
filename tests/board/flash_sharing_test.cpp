// The flash as several programs share it: one flash.img and one device
// state for every process of the board, and no hang when a program dies
// in the middle of a bus cycle.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <csignal>
#include <cstring>
#include <memory>

#include "board/board.h"
#include "board/bus.h"
#include "board/flash_device.h"
#include "board/flash_state.h"
#include "platform/clock.h"
#include "platform/host/clock.h"
#include "tests/support/temp_board.h"

using namespace board;

namespace {

class FlashSharingTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        OsUseVirtualClock(0, 1);
        board_ = std::make_unique<TempBoard>(true);
        ASSERT_TRUE(board::SetSetting("timing", "none"));  // whatever timing the run goes under
    }
    void TearDown() override
    {
        board_.reset();
        OsUseRealClock();
    }
    // Runs body in a child process (another program on the board).
    template <class F>
    void InChild(F body)
    {
        pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            body();
            _exit(0);
        }
        int status = 0;
        ASSERT_EQ(waitpid(pid, &status, 0), pid);
        ASSERT_TRUE(WIFEXITED(status) || WIFSIGNALED(status));
    }
    std::unique_ptr<TempBoard> board_;
};

TEST_F(FlashSharingTest, AnotherProgramSeesTheArrayAndTheDeviceState)
{
    // The child opens the flash on its own (nothing mapped before the fork).
    FlashClose();
    InChild([] {
        BusWrite32(0x80, 0x00E800E8);
        BusWrite32(0x80, 0x00000000);
        BusWrite32(0x80, 0xCCCC5AA5);
        BusWrite32(0x80, 0x00D000D0);
        BusWrite16(0x100002, 0x0090);  // device 1 only: read identifier
    });
    // Device 0 still in status mode, device 1 answering identifier reads.
    EXPECT_EQ(BusRead32(0x80), 0x00000080u);
    EXPECT_EQ(BusRead32(4), 0x00180080u);
    EXPECT_EQ(FlashGetDeviceInfo(0).mode, FlashMode::ReadStatus);
    EXPECT_EQ(FlashGetDeviceInfo(1).mode, FlashMode::ReadIdentifier);
    BusWrite32(0, 0x00FF00FF);
    EXPECT_EQ(BusRead32(0x80), 0xCCCC5AA5u);
}

TEST_F(FlashSharingTest, AProgramKilledMidwayLeavesTheFlashAsFarAsItGot)
{
    FlashClose();
    InChild([] {
        BusWrite32(0, 0x00E800E8);
        BusWrite32(0, 0x000F000F);
        for (uint32_t i = 0; i < 16; ++i)
            BusWrite32(i * 4, 0xCCCC0000u + i);
        BusWrite32(60, 0x00D000D0);
        BusWrite32(64, 0x00E800E8);
        BusWrite32(64, 0x000F000F);
        BusWrite32(64, 0xCCCCCCCCu);  // killed before the buffer's confirm
        kill(getpid(), SIGKILL);
    });
    uint32_t words[17];
    ASSERT_TRUE(FlashPeek(words, 0, sizeof words));
    for (uint32_t i = 0; i < 16; ++i)
        EXPECT_EQ(words[i], 0xCCCC0000u + i);
    EXPECT_EQ(words[16], 0xFFFFFFFFu);  // never confirmed
    EXPECT_EQ(FlashGetDeviceInfo(1).mode, FlashMode::BufferData);
    FlashResetDevices();
    EXPECT_EQ(FlashGetDeviceInfo(1).mode, FlashMode::ReadArray);
}

TEST_F(FlashSharingTest, ADeviceLockLeftByADeadProgramIsTakenOver)
{
    pid_t dead = fork();
    ASSERT_GE(dead, 0);
    if (dead == 0)
        _exit(0);
    ASSERT_EQ(waitpid(dead, nullptr, 0), dead);

    BusRead32(0);  // creates and maps flash.state
    int fd = open((Dir() + "/flash.state").c_str(), O_RDWR);
    ASSERT_GE(fd, 0);
    void* p = mmap(nullptr, sizeof(flash::SharedState), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    close(fd);
    ASSERT_NE(p, MAP_FAILED);
    auto* st = static_cast<flash::SharedState*>(p);
    std::atomic_ref<uint32_t>(st->lock).store(uint32_t(dead));
    EXPECT_EQ(BusRead32(0), 0xFFFFFFFFu);  // returns instead of waiting forever
    EXPECT_EQ(std::atomic_ref<uint32_t>(st->lock).load(), 0u);
    munmap(p, sizeof(flash::SharedState));
}

TEST_F(FlashSharingTest, ACorruptStateFileIsStartedAfresh)
{
    BusWrite32(0, 0x00700070);
    FlashClose();
    int fd = open((Dir() + "/flash.state").c_str(), O_RDWR);
    ASSERT_GE(fd, 0);
    flash::SharedState junk;
    std::memset(static_cast<void*>(&junk), 0xCC, sizeof junk);
    ASSERT_EQ(pwrite(fd, &junk, sizeof junk, 0), ssize_t(sizeof junk));
    close(fd);
    EXPECT_EQ(BusRead32(0), 0xFFFFFFFFu);
    EXPECT_EQ(FlashGetDeviceInfo(0).mode, FlashMode::ReadArray);
    EXPECT_EQ(FlashDescribe().find("block 127"), std::string::npos) << "no lock bit, no fault";
}

TEST_F(FlashSharingTest, StateFieldsFromTheFileAreCheckedBeforeUse)
{
    // A state file that passes the header check but holds nonsense in the
    // device fields (another program died while writing them) must not
    // send a write outside the flash.
    BusWrite32(0, 0x00E800E8);
    BusWrite32(0, 0x00010001);
    BusWrite32(0, 0xCCCCCCCCu);
    BusWrite32(4, 0xCCCCCCCCu);
    ASSERT_EQ(FlashGetDeviceInfo(0).mode, FlashMode::BufferConfirm);
    int fd = open((Dir() + "/flash.state").c_str(), O_RDWR);
    ASSERT_GE(fd, 0);
    void* p = mmap(nullptr, sizeof(flash::SharedState), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    close(fd);
    ASSERT_NE(p, MAP_FAILED);
    auto* st = static_cast<flash::SharedState*>(p);
    st->dev[0].bufLine = 0xFFFFFFF0u;
    st->dev[1].bufLine = kFlashDeviceWords;
    st->dev[1].bufMask = 0xFFFF;
    BusWrite32(4, 0x00D000D0);
    EXPECT_EQ(BusRead32(0) & 0x00300030u, 0x00300030u);  // refused as bad sequences
    EXPECT_EQ(FlashGetDeviceInfo(1).mode, FlashMode::ReadStatus);
    munmap(p, sizeof(flash::SharedState));
    st = nullptr;
    FlashResetDevices();
    EXPECT_EQ(FlashGetDeviceInfo(0).mode, FlashMode::ReadArray);
}

}  // namespace
