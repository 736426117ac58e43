#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "platform/clock.h"
#include "platform/host/clock.h"
#include "platform/sync.h"
#include "tests/platform/files_board_dir.h"

namespace {

class SyncTest : public ::testing::Test {
protected:
    void TearDown() override { OsUseRealClock(); }
    BoardDir board_;
};

// Waits on a thread that blocks until released by the test.
struct Gate {
    std::atomic<bool> open{false};
    std::atomic<bool> ran{false};
};

uint32_t WaitAtGate(void* param)
{
    auto* gate = static_cast<Gate*>(param);
    while (!gate->open.load())
        std::this_thread::yield();
    gate->ran = true;
    return 7;
}

TEST_F(SyncTest, ThreadedWaitOnThreadReturnsWhenItEnds)
{
    OsUseVirtualClock();
    Gate gate;
    Handle thread = OsCreateThread(WaitAtGate, &gate);
    ASSERT_NE(thread, nullptr);
    EXPECT_EQ(OsWaitForSingleObject(thread, 0), OS_WAIT_TIMEOUT);
    EXPECT_EQ(OsWaitForSingleObject(thread, 50), OS_WAIT_TIMEOUT);
    gate.open = true;
    EXPECT_EQ(OsWaitForSingleObject(thread, OS_INFINITE), OS_WAIT_OBJECT_0);
    EXPECT_TRUE(gate.ran.load());
    // An ended thread stays signalled.
    EXPECT_EQ(OsWaitForSingleObject(thread, 0), OS_WAIT_OBJECT_0);
    EXPECT_EQ(OsCloseHandle(thread), 1);
}

TEST_F(SyncTest, ThreadedClosingThreadHandleEarlyIsSafe)
{
    static Gate gate;
    gate.open = false;
    gate.ran = false;
    Handle thread = OsCreateThread(WaitAtGate, &gate);
    ASSERT_NE(thread, nullptr);
    EXPECT_EQ(OsCloseHandle(thread), 1);
    EXPECT_EQ(OsWaitForSingleObject(thread, 0), OS_WAIT_FAILED);
    gate.open = true;  // the thread finishes after its handle is gone
    while (!gate.ran.load())
        std::this_thread::yield();
}

TEST_F(SyncTest, HandlesAreValidatedAndClosedOnce)
{
    EXPECT_EQ(OsWaitForSingleObject(nullptr, 0), OS_WAIT_FAILED);
    EXPECT_EQ(OsWaitForSingleObject(OS_INVALID_HANDLE, 0), OS_WAIT_FAILED);
    int notAnObject = 0;
    Handle foreign = reinterpret_cast<Handle>(&notAnObject);
    EXPECT_EQ(OsWaitForSingleObject(foreign, 0), OS_WAIT_FAILED);
    EXPECT_EQ(OsCloseHandle(foreign), 0);
    EXPECT_EQ(OsReleaseMutex(foreign), 0);

    Handle mutex = OsCreateMutex(L"Twice");
    ASSERT_NE(mutex, nullptr);
    EXPECT_EQ(OsCloseHandle(mutex), 1);
    EXPECT_EQ(OsCloseHandle(mutex), 0);
    EXPECT_EQ(OsReleaseMutex(mutex), 0);
}

TEST_F(SyncTest, MutexIsRecursiveForItsOwner)
{
    Handle mutex = OsCreateMutex(L"NorFlash");
    ASSERT_NE(mutex, nullptr);
    EXPECT_EQ(OsReleaseMutex(mutex), 0);  // not held yet
    EXPECT_EQ(OsWaitForSingleObject(mutex, OS_INFINITE), OS_WAIT_OBJECT_0);
    EXPECT_EQ(OsWaitForSingleObject(mutex, 0), OS_WAIT_OBJECT_0);
    // A second handle of the same name on the same thread is the same mutex.
    Handle again = OsCreateMutex(L"NorFlash");
    ASSERT_NE(again, nullptr);
    EXPECT_EQ(OsWaitForSingleObject(again, 0), OS_WAIT_OBJECT_0);
    EXPECT_EQ(OsReleaseMutex(again), 1);
    EXPECT_EQ(OsReleaseMutex(mutex), 1);
    EXPECT_EQ(OsReleaseMutex(mutex), 1);
    EXPECT_EQ(OsReleaseMutex(mutex), 0);
    OsCloseHandle(again);
    OsCloseHandle(mutex);
}

TEST_F(SyncTest, ThreadedMutexExcludesOtherThreadsAndOnlyOwnerReleases)
{
    OsUseVirtualClock();
    Handle mutex = OsCreateMutex(L"Shared");
    ASSERT_NE(mutex, nullptr);
    ASSERT_EQ(OsWaitForSingleObject(mutex, 0), OS_WAIT_OBJECT_0);

    uint32_t otherWait = 0;
    int otherRelease = -1;
    std::thread other([&] {
        Handle own = OsCreateMutex(L"Shared");
        otherRelease = OsReleaseMutex(own);
        otherWait = OsWaitForSingleObject(own, 100);
        OsCloseHandle(own);
    });
    other.join();
    EXPECT_EQ(otherRelease, 0);
    EXPECT_EQ(otherWait, OS_WAIT_TIMEOUT);

    EXPECT_EQ(OsReleaseMutex(mutex), 1);
    std::thread taker([&] {
        Handle own = OsCreateMutex(L"Shared");
        otherWait = OsWaitForSingleObject(own, 0);
        otherRelease = OsReleaseMutex(own);
        OsCloseHandle(own);
    });
    taker.join();
    EXPECT_EQ(otherWait, OS_WAIT_OBJECT_0);
    EXPECT_EQ(otherRelease, 1);
    OsCloseHandle(mutex);
}

TEST_F(SyncTest, ThreadedVirtualClockDrivesLongTimeouts)
{
    Handle mutex = OsCreateMutex(L"Slow");
    ASSERT_EQ(OsWaitForSingleObject(mutex, 0), OS_WAIT_OBJECT_0);
    OsUseVirtualClock(1000, 1);
    uint32_t result = 0;
    uint64_t virtualSpent = 0;
    auto before = std::chrono::steady_clock::now();
    std::thread waiter([&] {
        Handle own = OsCreateMutex(L"Slow");
        uint64_t start = OsClockMicros();
        result = OsWaitForSingleObject(own, 10'000);
        virtualSpent = OsClockMicros() - start;
        OsCloseHandle(own);
    });
    waiter.join();
    auto real = std::chrono::steady_clock::now() - before;
    EXPECT_EQ(result, OS_WAIT_TIMEOUT);
    EXPECT_GE(virtualSpent, 10'000'000u);
    EXPECT_LT(virtualSpent, 10'100'000u);
    EXPECT_LT(real, std::chrono::seconds(2));
    OsReleaseMutex(mutex);
    OsCloseHandle(mutex);
}

}  // namespace
