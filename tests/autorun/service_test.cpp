// The notification drain and the store probe, in process, on a queue that
// the test fills itself.
#include <cstring>
#include <string>

#include <gtest/gtest.h>

#include "autorun/autorun.h"
#include "board/board.h"
#include "platform/host/queue.h"
#include "platform/queue.h"
#include "platform/sync.h"
#include "tests/support/temp_board.h"
#include "tests/autorun/test_util.h"

using namespace autorun_test;

namespace {

TEST(ServiceData, ClassIdAndQueueOptionsHaveTheirLayout)
{
    const uint8_t expected[16] = {0x41, 0x19, 0x9E, 0x16, 0xCE, 0x04, 0x90, 0x46,
                                  0x97, 0xAC, 0x77, 0x61, 0x87, 0xEB, 0x67, 0xCC};
    static_assert(sizeof(OsGuid) == 16);
    EXPECT_EQ(std::memcmp(&FatMountClass, expected, 16), 0);
    static_assert(sizeof(OsMsgQueueOptions) == 20);
    EXPECT_EQ(QueueOptions.size, 20u);
    EXPECT_EQ(QueueOptions.flags, 0u);
    EXPECT_EQ(QueueOptions.maxMessages, 0u);
    EXPECT_EQ(QueueOptions.maxMessage, 96u);
    EXPECT_EQ(QueueOptions.readAccess, 1);
}

class DrainTest : public ::testing::Test {
protected:
    TempBoard board;
    std::string root = board.rootfs();
    Handle queue = OsCreateMsgQueue(nullptr, &QueueOptions);

    void SetUp() override { ASSERT_NE(queue, nullptr); }
    void TearDown() override { OsCloseMsgQueue(queue); }

    // A volume whose AutoCopy puts file name with content text in the root.
    void MakeVolume(const std::string& volume, const std::string& name, const std::string& text)
    {
        WriteFile(root + "/" + volume + "/AutoCopy/" + name, text);
    }

    void Post(const std::u16string& name, uint32_t attached = 1)
    {
        MountNotification m;
        std::memset(&m, 0xCC, sizeof m);   // no stray zero to end a name
        std::memcpy(m.deviceClass, &FatMountClass, 16);
        m.attached = attached;
        m.nameBytes = static_cast<uint32_t>((name.size() + 1) * 2);
        std::memcpy(m.name, name.c_str(), (name.size() + 1) * 2);
        ASSERT_EQ(OsWriteMsgQueue(queue, &m, 28 + m.nameBytes, 0, 0), 1);
    }

    bool Holds() { return OsWaitForSingleObject(queue, 0) == OS_WAIT_OBJECT_0; }
};

TEST_F(DrainTest, ProcessesEveryQueuedVolumeInQueueOrder)
{
    MakeVolume("A", "same.txt", "from A");
    MakeVolume("B", "same.txt", "from B");
    MakeVolume("B", "b.txt", "b");
    Post(u"\\A");
    Post(u"\\B");
    DrainNotifications(queue);
    EXPECT_EQ(ReadFile(root + "/same.txt"), "from B");
    EXPECT_EQ(ReadFile(root + "/b.txt"), "b");
    EXPECT_FALSE(Holds());
}

TEST_F(DrainTest, RemovalIsProcessedLikeAMount)
{
    MakeVolume("A", "a.txt", "a");
    Post(u"\\A", 0);
    DrainNotifications(queue);
    EXPECT_EQ(ReadFile(root + "/a.txt"), "a");

    // The usual case: the volume is gone and nothing is found.
    const std::string before = Snapshot(root);
    Post(u"\\Gone", 0);
    DrainNotifications(queue);
    EXPECT_EQ(Snapshot(root), before);
}

TEST_F(DrainTest, ShiftDropsOneMessagePerDrain)
{
    MakeVolume("A", "a.txt", "a");
    MakeVolume("B", "b.txt", "b");
    Post(u"\\A");
    Post(u"\\B");
    ASSERT_TRUE(board::SetSetting("shift", "down"));
    DrainNotifications(queue);
    EXPECT_TRUE(Holds());   // the second message stays for the next drain
    DrainNotifications(queue);
    EXPECT_FALSE(Holds());
    EXPECT_FALSE(Exists(root + "/a.txt"));
    EXPECT_FALSE(Exists(root + "/b.txt"));

    ASSERT_TRUE(board::SetSetting("shift", "up"));
    Post(u"\\A");
    DrainNotifications(queue);
    EXPECT_EQ(ReadFile(root + "/a.txt"), "a");
}

TEST_F(DrainTest, LongestNameIsProcessed)
{
    const std::string name(32, 'n');   // "\" + 32 characters: 33
    MakeVolume(name, "long.txt", "long");
    Post(u"\\" + std::u16string(32, u'n'));
    DrainNotifications(queue);
    EXPECT_EQ(ReadFile(root + "/long.txt"), "long");
}

TEST_F(DrainTest, UnterminatedOrBrokenNamesAreDropped)
{
    MakeVolume("A", "a.txt", "a");
    MakeVolume("AAAA", "aaaa.txt", "aaaa");

    // A full message whose name has no terminator within its 96 bytes.
    uint8_t full[96];
    std::memset(full, 'A', sizeof full);
    ASSERT_EQ(OsWriteMsgQueue(queue, full, sizeof full, 0, 0), 1);
    // A short message whose name is not terminated within the bytes sent:
    // the rest of the previous message ("\zzzA") must not complete it to
    // "\AAAA".
    Post(u"\\zzzA");
    uint8_t shorter[36];
    std::memset(shorter, 0, sizeof shorter);
    const char16_t partial[] = u"\\AAAA";
    std::memcpy(shorter + 28, partial, 8);   // "\AAA" without terminator
    ASSERT_EQ(OsWriteMsgQueue(queue, shorter, sizeof shorter, 0, 0), 1);
    // A message too short to hold a name at all.
    ASSERT_EQ(OsWriteMsgQueue(queue, shorter, 20, 0, 0), 1);
    // An unpaired surrogate.
    Post(u"\\A\xD800");
    Post(u"\\A");

    DrainNotifications(queue);
    EXPECT_EQ(ReadFile(root + "/a.txt"), "a");
    EXPECT_FALSE(Exists(root + "/aaaa.txt"));
    EXPECT_FALSE(Holds());
}

TEST_F(DrainTest, NamesAreFoldersOfTheDevice)
{
    // A name without its leading separator is taken from the device root,
    // never from the host's working folder.
    MakeVolume("A", "a.txt", "a");
    Post(u"A");
    // An empty name names no volume (it would make the root its own volume).
    WriteFile(root + "/AutoCopy/root.txt", "root");
    Post(u"");
    DrainNotifications(queue);
    EXPECT_EQ(ReadFile(root + "/a.txt"), "a");
    EXPECT_FALSE(Exists(root + "/root.txt"));
    EXPECT_FALSE(Holds());
}

TEST_F(DrainTest, NamesBeyondUPlusFFFFKeepTheirSurrogatePairs)
{
    // U+1F4BE: F0 9F 92 BE on the host, a pair in the message.
    MakeVolume("Disk\xf0\x9f\x92\xbe", "disk.txt", "disk");
    Post(u"\\Disk\U0001F4BE");
    DrainNotifications(queue);
    EXPECT_EQ(ReadFile(root + "/disk.txt"), "disk");
}

TEST_F(DrainTest, EmptyQueueReturnsAtOnce)
{
    DrainNotifications(queue);
    EXPECT_FALSE(Holds());
}

TEST(ProbeStore, FindsOnlyKnownStores)
{
    TempBoard board;
    Handle store = ProbeStore(L"DSK0:");
    ASSERT_NE(store, OS_INVALID_HANDLE);
    EXPECT_EQ(OsCloseHandle(store), 1);
    EXPECT_EQ(ProbeStore(L"DSK7:"), OS_INVALID_HANDLE);
    // A device name longer than the buffer is cut at 245 characters, never
    // written past it.
    const std::wstring huge(1000, L'D');
    EXPECT_EQ(ProbeStore(huge.c_str()), OS_INVALID_HANDLE);
}

}  // namespace
