// Copies keep the folders they resolve open from one call to the next, with
// each folder's names by letter case. These tests change the tree behind
// their back and check that every copy still sees the tree as it is now.
#include <gtest/gtest.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <set>
#include <string>
#include <fstream>
#include <thread>
#include <vector>

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

TEST_F(KeptFoldersTest, AReplacedFileIsStillOneFileInEveryLetterCase)
{
    // Each copy replaces the one file, whatever spelling it is asked by,
    // also right after a replacement in the same folder.
    for (const wchar_t* spelling : {L"\\Dest\\OLD.TXT", L"\\Dest\\Old.Txt", L"\\Dest\\old.TXT",
                                    L"\\DEST\\oLD.txt"})
        ASSERT_EQ(Copy(spelling), 1);
    EXPECT_EQ(Names(board_.rootfs() + "/Dest"), std::set<std::string>{"old.txt"});
    EXPECT_EQ(BoardDir::Read(board_.rootfs() + "/Dest/old.txt"), "program bytes");
    // A new file made by a replacing copy's folder is matched the same way.
    ASSERT_EQ(Copy(L"\\Dest\\new.exe"), 1);
    ASSERT_EQ(Copy(L"\\Dest\\NEW.EXE"), 1);
    ASSERT_EQ(Copy(L"\\Dest\\New.Exe"), 1);
    EXPECT_EQ(Names(board_.rootfs() + "/Dest"), (std::set<std::string>{"new.exe", "old.txt"}));
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

TEST_F(KeptFoldersTest, ASourceInAnotherLetterCaseIsTheFolderAsItIsNow)
{
    ASSERT_EQ(OsCopyFile(L"\\VOL\\autocopy\\APP.EXE", L"\\Dest\\a.exe", 0), 1);
    fs::rename(board_.rootfs() + "/Vol", board_.rootfs() + "/VolGone");
    board_.Write("rootfs/Vol/AutoCopy/app.exe", "new program");
    ASSERT_EQ(OsCopyFile(L"\\VOL\\autocopy\\APP.EXE", L"\\Dest\\b.exe", 0), 1);
    EXPECT_EQ(BoardDir::Read(board_.rootfs() + "/Dest/a.exe"), "program bytes");
    EXPECT_EQ(BoardDir::Read(board_.rootfs() + "/Dest/b.exe"), "new program");
    // A source folder swapped for a link is not followed.
    fs::rename(board_.rootfs() + "/Vol", board_.dir() + "/outside");
    fs::create_directory_symlink(board_.dir() + "/outside", board_.rootfs() + "/Vol");
    EXPECT_EQ(OsCopyFile(L"\\VOL\\autocopy\\APP.EXE", L"\\Dest\\c.exe", 0), 0);
    EXPECT_FALSE(fs::exists(board_.rootfs() + "/Dest/c.exe"));
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

TEST_F(KeptFoldersTest, ChangesDeepInTheChainAndToTheRootItselfAreSeen)
{
    ASSERT_EQ(Copy(L"\\Dest\\Deep\\er\\a.exe"), 0);  // no such folders yet
    fs::create_directories(board_.rootfs() + "/Dest/Deep/er");
    ASSERT_EQ(Copy(L"\\Dest\\Deep\\er\\a.exe"), 1);

    // The middle folder is swapped for another of the same name.
    fs::rename(board_.rootfs() + "/Dest/Deep", board_.rootfs() + "/Dest/Old");
    fs::create_directories(board_.rootfs() + "/Dest/Deep/er");
    ASSERT_EQ(Copy(L"\\Dest\\Deep\\er\\b.exe"), 1);
    EXPECT_EQ(Names(board_.rootfs() + "/Dest/Deep/er"), (std::set<std::string>{"b.exe"}));
    EXPECT_EQ(Names(board_.rootfs() + "/Dest/Old/er"), (std::set<std::string>{"a.exe"}));

    // rootfs/ itself is swapped: the copies go to the new one.
    fs::rename(board_.rootfs(), board_.dir() + "/rootfs.old");
    board_.Write("rootfs/Vol/AutoCopy/app.exe", "program bytes");
    fs::create_directories(board_.rootfs() + "/Dest/Deep/er");
    ASSERT_EQ(Copy(L"\\Dest\\Deep\\er\\c.exe"), 1);
    EXPECT_EQ(Names(board_.rootfs() + "/Dest/Deep/er"), (std::set<std::string>{"c.exe"}));
    EXPECT_EQ(Names(board_.dir() + "/rootfs.old/Dest/Deep/er"), (std::set<std::string>{"b.exe"}));

    // A folder made in another letter case after the chain was kept.
    fs::create_directories(board_.rootfs() + "/Dest/DEEP2");
    ASSERT_EQ(Copy(L"\\Dest\\deep2\\d.exe"), 1);
    EXPECT_TRUE(fs::exists(board_.rootfs() + "/Dest/DEEP2/d.exe"));
}

TEST_F(KeptFoldersTest, AForkedChildDoesNotTakeItsParentsNews)
{
    ASSERT_EQ(Copy(L"\\Dest\\one.exe"), 1);
    board_.Write("rootfs/Dest/TWO.EXE", "written by another program");
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        // The child copies into the same folder, then ends.
        _exit(Copy(L"\\Dest\\child.exe") == 1 ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    // The parent still learns of TWO.EXE and replaces it.
    ASSERT_EQ(Copy(L"\\Dest\\two.exe"), 1);
    EXPECT_EQ(Names(board_.rootfs() + "/Dest"),
              (std::set<std::string>{"TWO.EXE", "child.exe", "old.txt", "one.exe"}));
    EXPECT_EQ(BoardDir::Read(board_.rootfs() + "/Dest/TWO.EXE"), "program bytes");
}

TEST_F(KeptFoldersTest, MoreNewsThanTheSystemQueuesStillLeaveNoNameUnseen)
{
    unsigned long queued = 0;
    std::ifstream("/proc/sys/fs/inotify/max_queued_events") >> queued;
    if (queued == 0 || queued > 100000)
        GTEST_SKIP() << "queue limit " << queued;
    ASSERT_EQ(Copy(L"\\Dest\\one.exe"), 1);
    // Each new name in the kept folder is one notice.
    for (unsigned long i = 0; i < queued + 16; ++i)
        std::ofstream(board_.rootfs() + "/Dest/n" + std::to_string(i));
    board_.Write("rootfs/Dest/LAST.EXE", "written by another program");
    ASSERT_EQ(Copy(L"\\Dest\\last.exe"), 1);
    EXPECT_EQ(BoardDir::Read(board_.rootfs() + "/Dest/LAST.EXE"), "program bytes");
    EXPECT_FALSE(fs::exists(board_.rootfs() + "/Dest/last.exe"));
}

// Without change notices (none left for this user), copies still see the
// tree as it is now.
bool CopiesSeeTheTreeWithoutNotices()
{
    BoardDir board;
    board.Write("rootfs/Vol/AutoCopy/app.exe", "program bytes", 0755);
    std::vector<int> taken;
    for (int fd; taken.size() < 100000 && (fd = inotify_init1(IN_CLOEXEC)) >= 0;)
        taken.push_back(fd);
    auto copy = [](const wchar_t* to) { return OsCopyFile(L"\\Vol\\AutoCopy\\app.exe", to, 0); };
    bool ok = copy(L"\\Dest\\a.exe") == 0;  // Dest is not there
    fs::create_directory(board.rootfs() + "/Dest");
    ok = ok && copy(L"\\Dest\\a.exe") == 1;
    board.Write("rootfs/Dest/B.EXE", "other");
    ok = ok && copy(L"\\Dest\\b.exe") == 1;
    fs::rename(board.rootfs() + "/Dest", board.rootfs() + "/Gone");
    fs::create_directory(board.rootfs() + "/Dest");
    ok = ok && copy(L"\\Dest\\c.exe") == 1;
    ok = ok && Names(board.rootfs() + "/Dest") == std::set<std::string>{"c.exe"} &&
         Names(board.rootfs() + "/Gone") == std::set<std::string>{"B.EXE", "a.exe"} &&
         BoardDir::Read(board.rootfs() + "/Gone/B.EXE") == "program bytes";
    for (int fd : taken)
        close(fd);
    return ok;
}

// Runs in a fresh process, which takes every notice instance there is left.
TEST(KeptFoldersDeathTest, WithoutNoticesNamesAndSwapsAreStillSeen)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(std::exit(CopiesSeeTheTreeWithoutNotices() ? 0 : 1), ::testing::ExitedWithCode(0),
                "");
}

}  // namespace
