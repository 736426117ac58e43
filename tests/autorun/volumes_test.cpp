// The board's removable volumes: insert and remove as boardsim does them.
#include <sys/stat.h>

#include <gtest/gtest.h>

#include "board/board.h"
#include "board/volumes.h"
#include "tests/support/temp_board.h"
#include "tests/autorun/test_util.h"

using namespace autorun_test;

namespace {

class VolumesTest : public ::testing::Test {
protected:
    TempBoard board;
    std::string root = board.rootfs();
    std::string host = board.dir() + "/host";
};

TEST_F(VolumesTest, InsertMountsACopyAndRemoveTakesItAway)
{
    WriteFile(host + "/AutoRun/a.exe", "#!/bin/sh\n", 0755);
    WriteFile(host + "/AutoCopy/sub/x.txt", "x");
    fs::create_directories(host + "/empty");
    fs::create_symlink("/etc/hostname", host + "/link");

    ASSERT_EQ(board::VolumeInsert("Storage Card", host), 0);
    EXPECT_EQ(ReadFile(root + "/Storage Card/AutoCopy/sub/x.txt"), "x");
    EXPECT_TRUE(fs::is_directory(root + "/Storage Card/empty"));
    struct stat st;
    ASSERT_EQ(stat((root + "/Storage Card/AutoRun/a.exe").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0755u);
    // Links are copied as links, as "cp -R" does; the service must cope.
    EXPECT_TRUE(fs::is_symlink(root + "/Storage Card/link"));
    EXPECT_EQ(board::Volumes(), std::vector<std::string>{"Storage Card"});
    // Nothing is left behind in the staging area.
    EXPECT_TRUE(fs::is_empty(board.dir() + "/staging"));

    ASSERT_EQ(board::VolumeRemove("Storage Card"), 0);
    EXPECT_FALSE(Exists(root + "/Storage Card"));
    EXPECT_TRUE(board::Volumes().empty());
    EXPECT_TRUE(fs::is_empty(board.dir() + "/staging"));
    // The host folder is untouched.
    EXPECT_EQ(ReadFile(host + "/AutoCopy/sub/x.txt"), "x");
}

TEST_F(VolumesTest, BadNamesAreRefused)
{
    fs::create_directories(host);
    for (const std::string& bad : {std::string(""), std::string(33, 'n'), std::string("a/b"),
                                   std::string(".."), std::string("a.b"), std::string(" lead"),
                                   std::string("trail "), std::string("a\\b")}) {
        EXPECT_NE(board::VolumeInsert(bad, host), 0) << bad;
        EXPECT_NE(board::VolumeRemove(bad), 0) << bad;
    }
    EXPECT_EQ(board::VolumeInsert(std::string(32, 'n'), host), 0);
    EXPECT_EQ(board::VolumeInsert("Disk_2 -x", host), 0);
    EXPECT_EQ(board::Volumes(), (std::vector<std::string>{"Disk_2 -x", std::string(32, 'n')}));
    EXPECT_TRUE(board::ValidVolumeName("USB Disk"));
    EXPECT_FALSE(board::ValidVolumeName("USB\tDisk"));
}

TEST_F(VolumesTest, ClashesAreRefusedWithoutRegardToLetterCase)
{
    fs::create_directories(host);
    ASSERT_EQ(board::VolumeInsert("Card", host), 0);
    EXPECT_NE(board::VolumeInsert("CARD", host), 0);
    // A folder of the device that is no volume is not replaced.
    EXPECT_NE(board::VolumeInsert("flash disk", host), 0);
    EXPECT_TRUE(fs::is_directory(root + "/Flash Disk"));
    EXPECT_NE(board::VolumeRemove("Flash Disk"), 0);
    EXPECT_TRUE(fs::is_directory(root + "/Flash Disk"));
    // Removal finds the volume whatever the letter case.
    EXPECT_EQ(board::VolumeRemove("card"), 0);
    EXPECT_FALSE(Exists(root + "/Card"));
    EXPECT_NE(board::VolumeRemove("Card"), 0);
}

TEST_F(VolumesTest, MissingHostFolderIsRefused)
{
    EXPECT_NE(board::VolumeInsert("Card", host + "/nope"), 0);
    WriteFile(host + "/file", "f");
    EXPECT_NE(board::VolumeInsert("Card", host + "/file"), 0);
    EXPECT_FALSE(Exists(root + "/Card"));
    EXPECT_TRUE(board::Volumes().empty());
}

TEST_F(VolumesTest, HostFolderHoldingTheBoardIsRefused)
{
    // The copy is made inside the board directory: a host folder that holds
    // the board would be copied into itself.
    EXPECT_EQ(board::VolumeInsert("Card", board.dir()), 2);
    EXPECT_EQ(board::VolumeInsert("Card", board.dir() + "/rootfs/.."), 2);
    EXPECT_EQ(board::VolumeInsert("Card", board.dir() + "/staging"), 2);
    EXPECT_FALSE(Exists(root + "/Card"));
    EXPECT_TRUE(board::Volumes().empty());
    EXPECT_TRUE(fs::is_empty(board.dir() + "/staging"));
    // A folder inside the board directory is an ordinary host folder.
    fs::create_directories(host);
    EXPECT_EQ(board::VolumeInsert("Card", host), 0);
}

TEST_F(VolumesTest, SpecialFilesOfTheHostFolderAreLeftOut)
{
    fs::create_directories(host);
    ASSERT_EQ(mkfifo((host + "/pipe").c_str(), 0644), 0);
    WriteFile(host + "/plain", "p");
    ASSERT_EQ(board::VolumeInsert("Card", host), 0);
    EXPECT_FALSE(Exists(root + "/Card/pipe"));
    EXPECT_EQ(ReadFile(root + "/Card/plain"), "p");
}

}  // namespace
