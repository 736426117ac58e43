#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "platform/clock.h"
#include "platform/host/clock.h"

namespace {

class ClockTest : public ::testing::Test {
protected:
    void TearDown() override { OsUseRealClock(); }
};

TEST_F(ClockTest, VirtualSleepAdvancesWithoutRealWaiting)
{
    OsUseVirtualClock(5'000'000, 0);
    EXPECT_TRUE(OsVirtualClockActive());
    EXPECT_EQ(OsClockMicros(), 5'000'000u);
    EXPECT_EQ(OsGetTickCount(), 5000u);

    auto before = std::chrono::steady_clock::now();
    OsSleep(10'000);
    auto real = std::chrono::steady_clock::now() - before;
    EXPECT_LT(real, std::chrono::seconds(1));
    EXPECT_EQ(OsClockMicros(), 15'000'000u);
    EXPECT_EQ(OsGetTickCount(), 15'000u);

    OsVirtualClockAdvance(250);
    EXPECT_EQ(OsClockMicros(), 15'000'250u);
}

TEST_F(ClockTest, EveryVirtualReadAdvancesByTheStep)
{
    OsUseVirtualClock(100, 7);
    uint64_t a = OsClockMicros();
    uint64_t b = OsClockMicros();
    EXPECT_EQ(b - a, 7u);
    EXPECT_GT(a, 99u);

    // Re-installing starts over from the given time.
    OsUseVirtualClock(0, 0);
    EXPECT_EQ(OsClockMicros(), 0u);
}

TEST_F(ClockTest, TickCountWrapsAt32Bits)
{
    const uint64_t wrap = (uint64_t{1} << 32) * 1000u;
    OsUseVirtualClock(wrap - 3000, 0);
    EXPECT_EQ(OsGetTickCount(), 0xFFFFFFFDu);
    OsSleep(5);
    EXPECT_EQ(OsGetTickCount(), 2u);
}

TEST_F(ClockTest, RealClockSleepsAndIsMonotonic)
{
    OsUseRealClock();
    EXPECT_FALSE(OsVirtualClockActive());
    uint64_t start = OsClockMicros();
    auto before = std::chrono::steady_clock::now();
    OsSleep(5);
    auto real = std::chrono::steady_clock::now() - before;
    EXPECT_GE(real, std::chrono::milliseconds(5));
    EXPECT_GE(OsClockMicros() - start, 5000u);
}

struct FakeClock {
    std::atomic<uint64_t> now{42};
    std::atomic<uint64_t> slept{0};
};

TEST_F(ClockTest, InstalledBackendServesEveryReader)
{
    static FakeClock fake;
    static const OsClockOps ops = {
        [](void* ctx) { return static_cast<FakeClock*>(ctx)->now.load(); },
        [](void* ctx, uint64_t us) { static_cast<FakeClock*>(ctx)->slept += us; },
        &fake,
    };
    OsSetClock(&ops);
    EXPECT_FALSE(OsVirtualClockActive());
    EXPECT_EQ(OsClockMicros(), 42u);
    OsSleep(3);
    EXPECT_EQ(fake.slept.load(), 3000u);

    OsSetClock(nullptr);  // back to the real clock
    OsSleep(1);
    EXPECT_EQ(fake.slept.load(), 3000u);
}

TEST_F(ClockTest, ThreadedVirtualSleepsAddUp)
{
    OsUseVirtualClock(0, 0);
    constexpr int kThreads = 4;
    constexpr int kSleeps = 1000;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([] {
            for (int i = 0; i < kSleeps; ++i) {
                OsSleep(2);
                (void)OsGetTickCount();
            }
        });
    }
    for (auto& t : threads)
        t.join();
    // No sleep is lost when threads sleep at once.
    EXPECT_EQ(OsClockMicros(), uint64_t{kThreads} * kSleeps * 2000u);
}

}  // namespace
