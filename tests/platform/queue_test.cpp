// Message queues and mount notifications of the POSIX backend.
#include <fcntl.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include <filesystem>

#include "board/volumes.h"
#include "platform/clock.h"
#include "platform/host/clock.h"
#include "platform/host/queue.h"
#include "platform/posix/object.h"
#include "platform/queue.h"
#include "platform/sync.h"
#include "tests/support/temp_board.h"

namespace {

const OsMsgQueueOptions kOptions = {20, 0, 0, 96, 1};
const OsGuid kFat = {0x169E1941, 0x04CE, 0x4690, {0x97, 0xAC, 0x77, 0x61, 0x87, 0xEB, 0x67, 0xCC}};

class VirtualClock {
public:
    VirtualClock() { OsUseVirtualClock(1000000, 1); }
    ~VirtualClock() { OsUseRealClock(); }
};

TEST(Queue, MessagesComeOutInOrderWithLengthAndFlags)
{
    Handle q = OsCreateMsgQueue(nullptr, &kOptions);
    ASSERT_NE(q, nullptr);
    const char first[] = "first";
    const uint8_t second[96] = {0xCC};
    ASSERT_EQ(OsWriteMsgQueue(q, first, sizeof first, 0, 7), 1);
    ASSERT_EQ(OsWriteMsgQueue(q, second, sizeof second, 0, 0), 1);

    uint8_t buf[96];
    uint32_t got = 0, flags = 0;
    ASSERT_EQ(OsReadMsgQueue(q, buf, sizeof buf, &got, 1, &flags), 1);
    EXPECT_EQ(got, sizeof first);
    EXPECT_EQ(flags, 7u);
    EXPECT_STREQ(reinterpret_cast<char*>(buf), "first");
    ASSERT_EQ(OsReadMsgQueue(q, buf, sizeof buf, &got, 1, &flags), 1);
    EXPECT_EQ(got, 96u);
    EXPECT_EQ(buf[0], 0xCC);
    EXPECT_EQ(OsCloseMsgQueue(q), 1);
}

TEST(Queue, LimitsAreKept)
{
    const OsMsgQueueOptions eight = {20, 0, 0, 8, 1};
    Handle q = OsCreateMsgQueue(nullptr, &eight);
    ASSERT_NE(q, nullptr);
    const uint8_t big[9] = {};
    EXPECT_EQ(OsWriteMsgQueue(q, big, sizeof big, 0, 0), 0);   // larger than a message
    EXPECT_EQ(OsWriteMsgQueue(q, big, 8, 0, 0), 1);
    EXPECT_EQ(OsWriteMsgQueue(q, big, 4, 0, 0), 1);

    // A message that does not fit the reader's buffer is dropped, not
    // reported again and again.
    uint8_t small[4];
    uint32_t got = 0, flags = 0;
    EXPECT_EQ(OsReadMsgQueue(q, small, sizeof small, &got, 1, &flags), 0);
    EXPECT_EQ(OsReadMsgQueue(q, small, sizeof small, &got, 1, &flags), 1);
    EXPECT_EQ(got, 4u);
    OsCloseMsgQueue(q);

    EXPECT_EQ(OsCreateMsgQueue(L"named", &kOptions), nullptr);
    EXPECT_EQ(OsCreateMsgQueue(nullptr, nullptr), nullptr);
    EXPECT_EQ(OsCloseMsgQueue(nullptr), 0);
    EXPECT_EQ(OsWriteMsgQueue(nullptr, big, 1, 0, 0), 0);
}

TEST(Queue, TimeOutsRunOnTheVirtualClock)
{
    VirtualClock clock;
    Handle q = OsCreateMsgQueue(nullptr, &kOptions);
    ASSERT_NE(q, nullptr);
    uint8_t buf[96];
    uint32_t got = 0, flags = 0;
    const uint32_t start = OsGetTickCount();
    EXPECT_EQ(OsReadMsgQueue(q, buf, sizeof buf, &got, 5000, &flags), 0);
    EXPECT_EQ(OsWaitForSingleObject(q, 10000), OS_WAIT_TIMEOUT);
    EXPECT_GE(OsGetTickCount() - start, 15000u);

    ASSERT_EQ(OsWriteMsgQueue(q, "m", 1, 0, 0), 1);
    EXPECT_EQ(OsWaitForSingleObject(q, 0), OS_WAIT_OBJECT_0);
    EXPECT_EQ(OsWaitForSingleObject(q, OS_INFINITE), OS_WAIT_OBJECT_0);   // a message is there
    EXPECT_EQ(OsReadMsgQueue(q, buf, sizeof buf, &got, 0, &flags), 1);
    EXPECT_EQ(OsWaitForSingleObject(q, 0), OS_WAIT_TIMEOUT);
    OsCloseMsgQueue(q);
}

TEST(Queue, ReaderThreadedWaitsForAWriter)
{
    Handle q = OsCreateMsgQueue(nullptr, &kOptions);
    ASSERT_NE(q, nullptr);
    constexpr int kCount = 200;
    std::thread writer([q] {
        for (int i = 0; i < kCount; ++i) ASSERT_EQ(OsWriteMsgQueue(q, &i, sizeof i, 0, 0), 1);
    });
    std::vector<int> seen;
    while (seen.size() < kCount) {
        ASSERT_EQ(OsWaitForSingleObject(q, OS_INFINITE), OS_WAIT_OBJECT_0);
        int value;
        uint32_t got = 0, flags = 0;
        while (OsReadMsgQueue(q, &value, sizeof value, &got, 1, &flags) == 1) seen.push_back(value);
    }
    writer.join();
    for (int i = 0; i < kCount; ++i) EXPECT_EQ(seen[i], i);
    OsCloseMsgQueue(q);
}

// Closing a queue while other threads block on it: both wake and fail,
// and neither uses the closed object.
TEST(Queue, ClosedUnderThreadedBlockedReadersWakesThem)
{
    Handle q = OsCreateMsgQueue(nullptr, &kOptions);
    ASSERT_NE(q, nullptr);
    std::atomic<pid_t> tids[2] = {0, 0};
    std::atomic<int> results[2] = {-1, -1};
    std::thread reader([&] {
        tids[0] = static_cast<pid_t>(syscall(SYS_gettid));
        uint8_t buf[96];
        uint32_t got = 0, flags = 0;
        results[0] = OsReadMsgQueue(q, buf, sizeof buf, &got, OS_INFINITE, &flags);
    });
    std::thread waiter([&] {
        tids[1] = static_cast<pid_t>(syscall(SYS_gettid));
        results[1] = static_cast<int>(OsWaitForSingleObject(q, OS_INFINITE));
    });
    // Both asleep in their waits before the close.
    for (auto& tid : tids) {
        for (;;) {
            pid_t t = tid.load();
            if (t != 0) {
                std::string stat;
                std::ifstream("/proc/self/task/" + std::to_string(t) + "/stat") >> stat >> stat >> stat;
                if (stat == "S")
                    break;
            }
            std::this_thread::yield();
        }
    }
    EXPECT_EQ(OsCloseMsgQueue(q), 1);
    reader.join();
    waiter.join();
    EXPECT_EQ(results[0].load(), 0);
    EXPECT_EQ(results[1].load(), static_cast<int>(OS_WAIT_FAILED));
}

TEST(QueueDeathTest, TerminationRequestFailsTheWait)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            Handle q = OsCreateMsgQueue(nullptr, &kOptions);
            std::thread later([] { OsPosixRequestTermination(); });
            const uint32_t r = OsWaitForSingleObject(q, OS_INFINITE);
            later.join();
            // Once requested, every further wait fails at once, message or not.
            OsWriteMsgQueue(q, "m", 1, 0, 0);
            const uint32_t again = OsWaitForSingleObject(q, OS_INFINITE);
            std::exit(r == OS_WAIT_FAILED && again == OS_WAIT_FAILED ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "");
}

// One notification as read from a queue.
struct Note {
    uint32_t attached;
    std::u16string name;
    bool fatClass;
};

bool ReadNote(Handle q, Note* note, uint32_t timeoutMs = 5000)
{
    if (OsWaitForSingleObject(q, timeoutMs) != OS_WAIT_OBJECT_0) return false;
    uint8_t buf[96];
    uint32_t got = 0, flags = 0;
    if (OsReadMsgQueue(q, buf, sizeof buf, &got, 1, &flags) != 1) return false;
    if (got < 30) return false;
    note->fatClass = std::memcmp(buf, &kFat, 16) == 0;
    std::memcpy(&note->attached, buf + 20, 4);
    uint32_t nameBytes;
    std::memcpy(&nameBytes, buf + 24, 4);
    EXPECT_EQ(got, 28 + nameBytes);
    note->name.assign(reinterpret_cast<const char16_t*>(buf + 28), (nameBytes / 2) - 1);
    EXPECT_EQ(reinterpret_cast<const char16_t*>(buf + 28)[nameBytes / 2 - 1], u'\0');
    return true;
}

TEST(Notifications, VolumesThreadedAreAnnouncedAsTheyComeAndGo)
{
    TempBoard board;
    const std::string host = board.dir() + "/host";
    mkdir(host.c_str(), 0755);
    ASSERT_EQ(board::VolumeInsert("Early", host), 0);

    Handle q = OsCreateMsgQueue(nullptr, &kOptions);
    ASSERT_NE(q, nullptr);
    Handle n = OsRequestDeviceNotifications(&kFat, q, 1);
    ASSERT_NE(n, nullptr);
    Note note{};
    ASSERT_TRUE(ReadNote(q, &note));   // already mounted: announced at once
    EXPECT_EQ(note.name, u"\\Early");
    EXPECT_EQ(note.attached, 1u);
    EXPECT_TRUE(note.fatClass);

    ASSERT_EQ(board::VolumeInsert("Storage Card", host), 0);
    ASSERT_TRUE(ReadNote(q, &note));
    EXPECT_EQ(note.name, u"\\Storage Card");
    EXPECT_EQ(note.attached, 1u);

    ASSERT_EQ(board::VolumeRemove("Early"), 0);
    ASSERT_TRUE(ReadNote(q, &note));
    EXPECT_EQ(note.name, u"\\Early");
    EXPECT_EQ(note.attached, 0u);
    EXPECT_EQ(OsWaitForSingleObject(q, 0), OS_WAIT_TIMEOUT);   // each event once

    EXPECT_EQ(OsStopDeviceNotifications(n), 1);
    ASSERT_EQ(board::VolumeRemove("Storage Card"), 0);
    ASSERT_EQ(board::VolumeInsert("Late", host), 0);
    // After the stop nothing more arrives; the watcher was joined, so there
    // is no one left who could put a message in.
    EXPECT_EQ(OsWaitForSingleObject(q, 0), OS_WAIT_TIMEOUT);
    OsCloseMsgQueue(q);
}

TEST(Notifications, PresentVolumesOnlyWhenAskedAndOnlyTheFatClass)
{
    TempBoard board;
    const std::string host = board.dir() + "/host";
    mkdir(host.c_str(), 0755);
    ASSERT_EQ(board::VolumeInsert("Early", host), 0);

    Handle q = OsCreateMsgQueue(nullptr, &kOptions);
    const OsGuid other = {1, 2, 3, {4, 5, 6, 7, 8, 9, 10, 11}};
    EXPECT_EQ(OsRequestDeviceNotifications(&other, q, 1), nullptr);
    EXPECT_EQ(OsRequestDeviceNotifications(&kFat, nullptr, 1), nullptr);

    Handle n = OsRequestDeviceNotifications(&kFat, q, 0);
    ASSERT_NE(n, nullptr);
    EXPECT_EQ(OsWaitForSingleObject(q, 0), OS_WAIT_TIMEOUT);
    // Its removal is announced all the same.
    ASSERT_EQ(board::VolumeRemove("Early"), 0);
    Note note{};
    ASSERT_TRUE(ReadNote(q, &note));
    EXPECT_EQ(note.name, u"\\Early");
    EXPECT_EQ(note.attached, 0u);

    // Closing the queue first does not trouble the watcher.
    OsCloseMsgQueue(q);
    ASSERT_EQ(board::VolumeInsert("After", host), 0);
    EXPECT_EQ(OsStopDeviceNotifications(n), 1);
    EXPECT_EQ(OsStopDeviceNotifications(n), 0);
}

// autorun's watcher must not go deaf when the volumes folder goes away:
// its volumes count as removed, and a folder made again is watched again.
TEST(Notifications, VolumesThreadedFolderDeletedAndMadeAgainIsWatchedAgain)
{
    TempBoard board;
    const std::string host = board.dir() + "/host";
    mkdir(host.c_str(), 0755);
    ASSERT_EQ(board::VolumeInsert("Early", host), 0);
    Handle q = OsCreateMsgQueue(nullptr, &kOptions);
    Handle n = OsRequestDeviceNotifications(&kFat, q, 0);
    ASSERT_NE(n, nullptr);

    std::filesystem::remove_all(board::VolumesDir());
    Note note{};
    ASSERT_TRUE(ReadNote(q, &note));
    EXPECT_EQ(note.name, u"\\Early");
    EXPECT_EQ(note.attached, 0u);

    ASSERT_EQ(board::VolumeInsert("Again", host), 0);
    ASSERT_TRUE(ReadNote(q, &note));
    EXPECT_EQ(note.name, u"\\Again");
    EXPECT_EQ(note.attached, 1u);
    ASSERT_EQ(board::VolumeRemove("Again"), 0);
    ASSERT_TRUE(ReadNote(q, &note));
    EXPECT_EQ(note.name, u"\\Again");
    EXPECT_EQ(note.attached, 0u);
    EXPECT_EQ(OsWaitForSingleObject(q, 0), OS_WAIT_TIMEOUT);
    EXPECT_EQ(OsStopDeviceNotifications(n), 1);
    OsCloseMsgQueue(q);
}

// Takes every descriptor the process may still open (the limit lowered to
// a little above those open), and gives them back when it goes.
class NoDescriptorsLeft {
public:
    NoDescriptorsLeft()
    {
        getrlimit(RLIMIT_NOFILE, &saved_);
        const int probe = dup(0);
        rlimit low = saved_;
        low.rlim_cur = static_cast<rlim_t>(probe + 16);
        close(probe);
        setrlimit(RLIMIT_NOFILE, &low);
        for (int fd; (fd = dup(0)) >= 0;) taken_.push_back(fd);
    }
    ~NoDescriptorsLeft() { GiveBack(); }
    void GiveBack()
    {
        for (int fd : taken_) close(fd);
        taken_.clear();
        setrlimit(RLIMIT_NOFILE, &saved_);
    }
    // Enough for a forked child that needs a few.
    void ForAChild()
    {
        for (int i = 0; i < 4 && !taken_.empty(); ++i) {
            close(taken_.back());
            taken_.pop_back();
        }
    }
    bool Exhausted() const
    {
        const int fd = dup(0);
        if (fd >= 0) close(fd);
        return fd < 0 && errno == EMFILE;
    }

private:
    rlimit saved_{};
    std::vector<int> taken_;
};

// Running out of descriptors must not make the watcher take the volumes
// for removed, nor miss one: it says so, and once descriptors are back it
// looks again.
TEST(Notifications, VolumesThreadedWithoutDescriptorsAreListedOnceTheyAreBack)
{
    TempBoard board;
    const std::string host = board.dir() + "/host";
    mkdir(host.c_str(), 0755);
    ASSERT_EQ(board::VolumeInsert("Early", host), 0);
    Handle q = OsCreateMsgQueue(nullptr, &kOptions);
    Handle n = OsRequestDeviceNotifications(&kFat, q, 0);
    ASSERT_NE(n, nullptr);
    int err[2];
    ASSERT_EQ(pipe2(err, O_CLOEXEC), 0);
    const int savedErr = dup(2);
    dup2(err[1], 2);

    std::string said;
    {
        NoDescriptorsLeft none;
        ASSERT_TRUE(none.Exhausted());
        // The volumes folder replaced (its volume moved over), and a volume
        // added, by another program.
        const std::string volumes = board::VolumesDir();
        const pid_t child = fork();
        if (child == 0) {
            none.ForAChild();
            const bool ok = rename(volumes.c_str(), (volumes + ".old").c_str()) == 0 &&
                            mkdir(volumes.c_str(), 0755) == 0 &&
                            rename((volumes + ".old/Early").c_str(), (volumes + "/Early").c_str()) == 0 &&
                            close(open((volumes + "/Late").c_str(), O_CREAT | O_WRONLY, 0644)) == 0;
            _exit(ok ? 0 : 1);
        }
        int status = -1;
        waitpid(child, &status, 0);
        EXPECT_EQ(status, 0);
        // The watcher says that it cannot look.
        pollfd said_fd{err[0], POLLIN, 0};
        if (poll(&said_fd, 1, 10000) == 1) {
            char buf[512];
            const ssize_t got = read(err[0], buf, sizeof buf);
            if (got > 0) said.assign(buf, static_cast<size_t>(got));
        }
    }
    dup2(savedErr, 2);
    close(savedErr);
    close(err[0]);
    close(err[1]);
    EXPECT_NE(said.find("cannot list the mounted volumes (Too many open files)"), std::string::npos) << said;
    // Descriptors back: the volume added is announced, and Early, never
    // gone, is not announced as removed.
    Note note{};
    ASSERT_TRUE(ReadNote(q, &note));
    EXPECT_EQ(note.name, u"\\Late");
    EXPECT_EQ(note.attached, 1u);
    EXPECT_EQ(OsWaitForSingleObject(q, 0), OS_WAIT_TIMEOUT);
    EXPECT_EQ(OsStopDeviceNotifications(n), 1);
    OsCloseMsgQueue(q);
}

}  // namespace
