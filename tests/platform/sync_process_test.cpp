// Named mutexes between programs of the board, the programs made by
// fork() (Linux only).
#include <gtest/gtest.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <thread>

#include "platform/clock.h"
#include "platform/host/clock.h"
#include "platform/posix/object.h"
#include "platform/sync.h"
#include "tests/platform/files_board_dir.h"

namespace {

class SyncProcessTest : public ::testing::Test {
protected:
    void TearDown() override { OsUseRealClock(); }
    BoardDir board_;
};

TEST_F(SyncProcessTest, ThreadedMutexOfAThreadThatEndsHoldingItIsGivenUp)
{
    // The thread takes the mutex twice and ends without releasing it.
    Handle mutex = OsCreateMutex(L"Shared");
    ASSERT_NE(mutex, nullptr);
    uint32_t holderWait = 0;
    std::thread holder([&] {
        Handle own = OsCreateMutex(L"Shared");
        holderWait = OsWaitForSingleObject(own, 0);
        OsWaitForSingleObject(own, 0);
        OsCloseHandle(own);
    });
    holder.join();
    ASSERT_EQ(holderWait, OS_WAIT_OBJECT_0);
    EXPECT_EQ(OsReleaseMutex(mutex), 0);   // still not ours
    EXPECT_EQ(OsWaitForSingleObject(mutex, 0), OS_WAIT_OBJECT_0);
    // Other programs of the board may take it too once it is released here.
    EXPECT_EQ(OsReleaseMutex(mutex), 1);
    EXPECT_EQ(OsReleaseMutex(mutex), 0);   // once taken, once released
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        Handle own = OsCreateMutex(L"Shared");
        _exit(own != nullptr && OsWaitForSingleObject(own, 0) == OS_WAIT_OBJECT_0 ? 0 : 1);
    }
    int status = 0;
    waitpid(child, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    OsCloseHandle(mutex);
}

// One byte through a pipe, failing the test after a generous real limit
// instead of hanging.
bool ReadByte(int fd, char* c)
{
    for (int i = 0; i < 2000; ++i) {
        ssize_t n = read(fd, c, 1);
        if (n == 1)
            return true;
        if (n == 0)
            return false;
        usleep(5000);
    }
    return false;
}

TEST_F(SyncProcessTest, NamedMutexSerialisesProcesses)
{
    int toParent[2], toChild[2];
    ASSERT_EQ(pipe2(toParent, O_NONBLOCK), 0);
    ASSERT_EQ(pipe(toChild), 0);
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        Handle mutex = OsCreateMutex(L"NorFlash");
        if (mutex == nullptr || OsWaitForSingleObject(mutex, OS_INFINITE) != OS_WAIT_OBJECT_0)
            _exit(2);
        char c = 'h';
        (void)!write(toParent[1], &c, 1);
        (void)!read(toChild[0], &c, 1);  // held until the parent says so
        OsReleaseMutex(mutex);
        _exit(0);
    }
    char c = 0;
    ASSERT_TRUE(ReadByte(toParent[0], &c));
    Handle mutex = OsCreateMutex(L"NorFlash");
    ASSERT_NE(mutex, nullptr);
    EXPECT_EQ(OsWaitForSingleObject(mutex, 0), OS_WAIT_TIMEOUT);
    EXPECT_EQ(OsWaitForSingleObject(mutex, 20), OS_WAIT_TIMEOUT);
    (void)!write(toChild[1], "r", 1);
    EXPECT_EQ(OsWaitForSingleObject(mutex, OS_INFINITE), OS_WAIT_OBJECT_0);
    int status = 0;
    waitpid(child, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    EXPECT_EQ(OsReleaseMutex(mutex), 1);
    OsCloseHandle(mutex);
    for (int fd : {toParent[0], toParent[1], toChild[0], toChild[1]})
        close(fd);
}

TEST_F(SyncProcessTest, NamedMutexIsFreedWhenItsHolderIsKilled)
{
    int toParent[2];
    ASSERT_EQ(pipe2(toParent, O_NONBLOCK), 0);
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        Handle mutex = OsCreateMutex(L"NorFlash");
        if (mutex == nullptr || OsWaitForSingleObject(mutex, OS_INFINITE) != OS_WAIT_OBJECT_0)
            _exit(2);
        (void)!write(toParent[1], "h", 1);
        for (;;)
            pause();
    }
    char c = 0;
    ASSERT_TRUE(ReadByte(toParent[0], &c));
    Handle mutex = OsCreateMutex(L"NorFlash");
    EXPECT_EQ(OsWaitForSingleObject(mutex, 0), OS_WAIT_TIMEOUT);
    kill(child, SIGKILL);
    waitpid(child, nullptr, 0);
    EXPECT_EQ(OsWaitForSingleObject(mutex, 1000), OS_WAIT_OBJECT_0);
    EXPECT_EQ(OsReleaseMutex(mutex), 1);
    OsCloseHandle(mutex);
    close(toParent[0]);
    close(toParent[1]);
}

TEST_F(SyncProcessTest, ForkedChildDoesNotShareItsParentsHold)
{
    // The parent holds the mutex through a handle made before the fork; the
    // child must see it as taken, not as its own.
    Handle mutex = OsCreateMutex(L"NorFlash");
    ASSERT_EQ(OsWaitForSingleObject(mutex, 0), OS_WAIT_OBJECT_0);
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        Handle own = OsCreateMutex(L"NorFlash");
        _exit(own != nullptr && OsWaitForSingleObject(own, 0) == OS_WAIT_TIMEOUT ? 0 : 1);
    }
    int status = 0;
    waitpid(child, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    // ... and the child's exit left the parent's hold alone.
    EXPECT_EQ(OsReleaseMutex(mutex), 1);
    OsCloseHandle(mutex);
}

TEST_F(SyncProcessTest, TerminationRequestEndsABlockedWait)
{
    // Termination is process-wide and final, so it is tried in a child.
    Handle mutex = OsCreateMutex(L"NorFlash");
    ASSERT_EQ(OsWaitForSingleObject(mutex, 0), OS_WAIT_OBJECT_0);
    int toParent[2];
    ASSERT_EQ(pipe2(toParent, O_NONBLOCK), 0);
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        OsPosixInstallTerminationHandlers();
        Handle own = OsCreateMutex(L"NorFlash");
        (void)!write(toParent[1], "w", 1);
        uint32_t result = OsWaitForSingleObject(own, OS_INFINITE);
        _exit(result == OS_WAIT_FAILED && OsTerminationRequested() ? 0 : 1);
    }
    char c = 0;
    ASSERT_TRUE(ReadByte(toParent[0], &c));
    kill(child, SIGTERM);
    int status = 0;
    waitpid(child, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    OsReleaseMutex(mutex);
    OsCloseHandle(mutex);
    close(toParent[0]);
    close(toParent[1]);
}

}  // namespace
