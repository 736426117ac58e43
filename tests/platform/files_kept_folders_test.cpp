// Copies keep the folders they resolve open from one call to the next, with
// each folder's names by letter case. These tests change the tree behind
// their back and check that every copy still sees the tree as it is now.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdio>
#include <filesystem>
#include <set>
#include <string>
#include <thread>

#include "platform/files.h"
#include "tests/platform/files_board_dir.h"

namespace fs = std::filesystem;

namespace {

std::set<std::string> Names(const std::string& dir)
{
    std::set<std::string> names;
    for (const auto& e : fs::directory_iterator(dir))
        names.insert(e.path().filename().string());
    return names;
}

class KeptFoldersTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        board_.Write("rootfs/Vol/AutoCopy/app.exe", "program bytes", 0755);
        board_.Write("rootfs/Dest/old.txt", "old");
    }
    int Copy(const wchar_t* destination)
    {
        return OsCopyFile(L"\\Vol\\AutoCopy\\app.exe", destination, 0);
    }
    BoardDir board_;
};

TEST_F(KeptFoldersTest, NamesAddedByOthersBetweenCopiesAreMatched)
{
    // The first copy lists Dest's names (one.exe is new there).
    ASSERT_EQ(Copy(L"\\Dest\\one.exe"), 1);
    board_.Write("rootfs/Dest/TWO.EXE", "written by another program");
    ASSERT_EQ(Copy(L"\\Dest\\two.exe"), 1);
    EXPECT_EQ(Names(board_.rootfs() + "/Dest"),
              (std::set<std::string>{"TWO.EXE", "old.txt", "one.exe"}));
    EXPECT_EQ(BoardDir::Read(board_.rootfs() + "/Dest/TWO.EXE"), "program bytes");

    // A folder made by another program is found in any letter case too.
    fs::create_directory(board_.rootfs() + "/Dest/Sub");
    EXPECT_EQ(OsCreateDirectory(L"\\Dest\\SUB"), 0);
    ASSERT_EQ(Copy(L"\\DEST\\sub\\in.exe"), 1);
    EXPECT_TRUE(fs::exists(board_.rootfs() + "/Dest/Sub/in.exe"));

    // A name removed by another program is created again as spelled.
    fs::remove(board_.rootfs() + "/Dest/TWO.EXE");
    ASSERT_EQ(Copy(L"\\Dest\\Two.exe"), 1);
    EXPECT_TRUE(fs::exists(board_.rootfs() + "/Dest/Two.exe"));
}

TEST_F(KeptFoldersTest, OwnCopiesAndFoldersAreMatchedInAnyLetterCase)
{
    ASSERT_EQ(Copy(L"\\Dest\\mixed.EXE"), 1);
    ASSERT_EQ(Copy(L"\\Dest\\MIXED.exe"), 1);
    ASSERT_EQ(OsCreateDirectory(L"\\Dest\\Made"), 1);
    EXPECT_EQ(OsCreateDirectory(L"\\Dest\\MADE"), 0);
    ASSERT_EQ(Copy(L"\\dest\\made\\x.exe"), 1);
    EXPECT_EQ(Names(board_.rootfs() + "/Dest"),
              (std::set<std::string>{"Made", "mixed.EXE", "old.txt"}));
    EXPECT_TRUE(fs::exists(board_.rootfs() + "/Dest/Made/x.exe"));
}

TEST_F(KeptFoldersTest, AKeptFolderMovedOutAndReplacedByALinkIsNotWrittenTo)
{
    ASSERT_EQ(Copy(L"\\Dest\\a.exe"), 1);
    // The kept folder leaves the root; a link to it takes its place.
    const std::string outside = board_.dir() + "/outside";
    fs::rename(board_.rootfs() + "/Dest", outside);
    fs::create_directory_symlink(outside, board_.rootfs() + "/Dest");
    EXPECT_EQ(Copy(L"\\Dest\\b.exe"), 0);
    EXPECT_EQ(OsCreateDirectory(L"\\Dest\\Planted"), 0);
    EXPECT_EQ(Names(outside), (std::set<std::string>{"a.exe", "old.txt"}));
}

TEST_F(KeptFoldersTest, AKeptFolderReplacedByAnotherIsLeftAlone)
{
    ASSERT_EQ(Copy(L"\\Dest\\a.exe"), 1);
    fs::rename(board_.rootfs() + "/Dest", board_.rootfs() + "/Gone");
    fs::create_directory(board_.rootfs() + "/Dest");
    ASSERT_EQ(Copy(L"\\Dest\\b.exe"), 1);
    EXPECT_EQ(Names(board_.rootfs() + "/Dest"), (std::set<std::string>{"b.exe"}));
    EXPECT_EQ(Names(board_.rootfs() + "/Gone"), (std::set<std::string>{"a.exe", "old.txt"}));

    // The same for the folder a copy reads from.
    fs::rename(board_.rootfs() + "/Vol", board_.rootfs() + "/VolGone");
    board_.Write("rootfs/Vol/AutoCopy/app.exe", "new program");
    ASSERT_EQ(Copy(L"\\Dest\\c.exe"), 1);
    EXPECT_EQ(BoardDir::Read(board_.rootfs() + "/Dest/c.exe"), "new program");
}

TEST_F(KeptFoldersTest, ThreadedCopiesIntoOneFolderKeepItsNamesWhole)
{
    auto copyMany = [this](char prefix) {
        for (int i = 0; i < 40; ++i) {
            wchar_t destination[64];
            swprintf(destination, 64, L"\\Dest\\%c%d.exe", prefix, i);
            EXPECT_EQ(Copy(destination), 1);
        }
    };
    std::thread a(copyMany, 'a');
    std::thread b(copyMany, 'b');
    a.join();
    b.join();
    // Every name either thread made is matched in another letter case.
    for (int i = 0; i < 40; ++i) {
        wchar_t destination[64];
        swprintf(destination, 64, L"\\DEST\\%c%d.EXE", i % 2 ? 'A' : 'B', i);
        EXPECT_EQ(Copy(destination), 1);
    }
    EXPECT_EQ(Names(board_.rootfs() + "/Dest").size(), 81u);
}

}  // namespace
