// Device memory: reservations, windows onto the flash, bus-cycle
// accessors and the data abort of a stray access.
#include <gtest/gtest.h>

#ifndef _WIN32
#include <sys/resource.h>
#include <unistd.h>
#endif

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <memory>
#include <thread>
#include <vector>

#include "board/board.h"
#include "board/bus.h"
#include "board/flash_device.h"
#include "platform/common/run_report.h"
#include "platform/clock.h"
#include "platform/host/clock.h"
#include "platform/mmio.h"
#include "tests/support/temp_board.h"

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

    // From an odd source address.
    uint8_t odd[1 + 8] = {0, 0x40, 0x00, 0x40, 0x00, 0x34, 0x12, 0xCC, 0xCC};
    board::FlashResetCounters();
    OsWriteBulk32(high + 0x80, odd + 1, 1);   // word program, both devices
    OsWriteBulk32(high + 0x80, odd + 5, 1);
    EXPECT_EQ(board::FlashGetCounters().busWrites, 2u);
    OsWrite32(high, 0x00FF00FF);
    EXPECT_EQ(OsRead32(high + 0x80), 0xCCCC1234u);
    OsWriteBulk32(high, data, 0);   // nothing: no cycle
    EXPECT_EQ(board::FlashGetCounters().busWrites, 3u);
}

// Each refusal leaves its reason for the box that reports it.
TEST_F(MmioTest, MappingIsRefusedWithoutDeviceMemoryOrReservation)
{
    const std::string invalid = std::strerror(EINVAL);
    auto refused = [&](int result) {
        std::string reason = RunPendingReason();
        RunDropReason();
        return result == 0 && reason == invalid ? ::testing::AssertionSuccess()
                                                : ::testing::AssertionFailure() << result << ", " << reason;
    };
    void* p = OsVirtualAlloc(0x20000, OS_MEM_RESERVE, OS_PAGE_NOACCESS);
    ASSERT_NE(p, nullptr);
    reserved_.push_back(p);
    EXPECT_TRUE(refused(OsVirtualCopy(p, board::kFlashSize, 0x10000, kWindowProtect)));
    EXPECT_TRUE(refused(OsVirtualCopy(p, board::kFlashSize - 0x10000, 0x20000, kWindowProtect)));
    EXPECT_TRUE(refused(OsVirtualCopy(p, 0, 0x20000, OS_PAGE_READWRITE)));   // not physical
    EXPECT_TRUE(refused(OsVirtualCopy(p, 0, 0x30000, kWindowProtect)));      // larger than reserved
    int local = 0;
    EXPECT_TRUE(refused(OsVirtualCopy(&local, 0, 4, kWindowProtect)));       // not reserved
    EXPECT_EQ(OsVirtualCopy(p, 0, 0x20000, kWindowProtect), 1);
    EXPECT_EQ(RunPendingReason(), "");
    EXPECT_TRUE(refused(OsVirtualCopy(p, 0, 0x20000, kWindowProtect)));      // already mapped
    EXPECT_EQ(OsVirtualFree(static_cast<uint8_t*>(p) + 4096, 0, OS_MEM_RELEASE), 0);
    EXPECT_EQ(OsVirtualFree(p, 0x20000, OS_MEM_RELEASE), 0);
    EXPECT_EQ(OsVirtualAlloc(0, OS_MEM_RESERVE, OS_PAGE_NOACCESS), nullptr);
    EXPECT_EQ(RunPendingReason(), invalid);
    RunDropReason();
}

// Windows are kept in a small table: the one past its end is refused for
// want of room, and says so.
TEST_F(MmioTest, MappingPastTheWindowTableIsRefusedForWantOfRoom)
{
    const uint32_t page = 0x10000;   // a multiple of every host's granularity
    auto* p = static_cast<uint8_t*>(OsVirtualAlloc(64 * page, OS_MEM_RESERVE, OS_PAGE_NOACCESS));
    ASSERT_NE(p, nullptr);
    reserved_.push_back(p);
    int mapped = 0;
    while (mapped < 64 && OsVirtualCopy(p + mapped * page, 0, page, kWindowProtect) == 1)
        ++mapped;
    EXPECT_GT(mapped, 0);
    EXPECT_LT(mapped, 64);
    EXPECT_EQ(RunPendingReason(), std::strerror(ENOMEM));
    RunDropReason();
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

#ifndef _WIN32
// The system refuses the reservation (here: no address space left under
// the limit a child sets just above what it uses, so the sanitizers' own
// reservations stay), and its reason is noted for the box.
TEST_F(MmioDeathTest, AReservationTheSystemRefusesNotesItsReason)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    auto refusedReservation = [] {
        long pages = 0;
        if (FILE* f = std::fopen("/proc/self/statm", "r")) {
            if (std::fscanf(f, "%ld", &pages) != 1)
                pages = 0;
            std::fclose(f);
        }
        const rlim_t limit = rlim_t(pages) * rlim_t(sysconf(_SC_PAGESIZE)) + (rlim_t(1) << 30);
        struct rlimit r = {limit, limit};
        if (pages == 0 || setrlimit(RLIMIT_AS, &r) != 0)
            std::_Exit(2);
        void* p = OsVirtualAlloc(0xFFFF0000u, OS_MEM_RESERVE, OS_PAGE_NOACCESS);
        std::fprintf(stderr, "[%s]", RunPendingReason().c_str());
        std::_Exit(p == nullptr ? 0 : 1);
    };
    EXPECT_EXIT(refusedReservation(), ::testing::ExitedWithCode(0), "\\[Cannot allocate memory\\]");
}
#endif

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
