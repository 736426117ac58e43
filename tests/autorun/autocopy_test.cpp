// AutoCopy on real folders of a temporary board.
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "autorun/autorun.h"
#include "tests/support/temp_board.h"
#include "tests/autorun/test_util.h"

using namespace autorun_test;

namespace {

class AutoCopyTest : public ::testing::Test {
protected:
    TempBoard board;
    std::string root = board.rootfs();
    std::string src = root + "/Card/AutoCopy";
};

TEST_F(AutoCopyTest, CopiesTheTreeIntoTheRootWithEmptyFolders)
{
    WriteFile(src + "/top.txt", "top");
    WriteFile(src + "/sub/mid.txt", "mid");
    WriteFile(src + "/sub/deeper/low.bin", std::string("\xCC\x00\xCC", 3));
    fs::create_directories(src + "/empty/inner");

    AutoCopyVolume(L"\\Card");

    EXPECT_EQ(ReadFile(root + "/top.txt"), "top");
    EXPECT_EQ(ReadFile(root + "/sub/mid.txt"), "mid");
    EXPECT_EQ(ReadFile(root + "/sub/deeper/low.bin"), std::string("\xCC\x00\xCC", 3));
    EXPECT_TRUE(fs::is_directory(root + "/empty/inner"));
    EXPECT_TRUE(fs::is_empty(root + "/empty/inner"));
    // Only the content of AutoCopy travels, never the folder itself.
    EXPECT_FALSE(Exists(root + "/AutoCopy"));
    // The source is left as it was.
    EXPECT_EQ(ReadFile(src + "/top.txt"), "top");
}

TEST_F(AutoCopyTest, MergesIntoExistingFoldersAndGivesTheSameResultTwice)
{
    WriteFile(root + "/sub/keep.txt", "kept");
    WriteFile(root + "/sub/mid.txt", "old");
    WriteFile(src + "/sub/mid.txt", "new");
    WriteFile(src + "/sub/two/x.txt", "x");

    AutoCopyVolume(L"\\Card");
    EXPECT_EQ(ReadFile(root + "/sub/keep.txt"), "kept");
    EXPECT_EQ(ReadFile(root + "/sub/mid.txt"), "new");
    EXPECT_EQ(ReadFile(root + "/sub/two/x.txt"), "x");

    const std::string once = Snapshot(root);
    AutoCopyVolume(L"\\Card");
    EXPECT_EQ(Snapshot(root), once);
}

TEST_F(AutoCopyTest, VolumePathMatchesWithoutRegardToLetterCase)
{
    WriteFile(src + "/a.txt", "a");
    AutoCopyVolume(L"\\CARD");
    EXPECT_EQ(ReadFile(root + "/a.txt"), "a");
}

TEST_F(AutoCopyTest, NameClashesFailOnlyForThatEntry)
{
    // The tree has a folder where the root has a file, and a file where the
    // root has a folder.
    WriteFile(root + "/clash", "a file");
    WriteFile(src + "/clash/inside.txt", "lost");
    fs::create_directories(root + "/other/");
    WriteFile(src + "/other", "a file in the tree");
    WriteFile(src + "/fine.txt", "fine");
    WriteFile(src + "/zz/last.txt", "last");

    AutoCopyVolume(L"\\Card");

    EXPECT_EQ(ReadFile(root + "/clash"), "a file");
    EXPECT_TRUE(fs::is_directory(root + "/other"));
    EXPECT_EQ(ReadFile(root + "/fine.txt"), "fine");
    EXPECT_EQ(ReadFile(root + "/zz/last.txt"), "last");
}

TEST_F(AutoCopyTest, NamesDifferingOnlyInLetterCaseAreOneFile)
{
    // The board's root holds Windows/default.fdf. Every spelling of that
    // name replaces the one file, which keeps the spelling it has.
    const auto names = [&] {
        std::vector<std::string> out;
        for (const auto& e : fs::directory_iterator(root + "/Windows"))
            out.push_back(e.path().filename().string());
        std::sort(out.begin(), out.end());
        return out;
    };
    const std::vector<std::string> before = names();
    ASSERT_NE(std::find(before.begin(), before.end(), "default.fdf"), before.end());

    // One card holding two spellings of the name, copied twice.
    WriteFile(src + "/Windows/Default.Fdf", "first");
    WriteFile(src + "/Windows/default.fdf", "second");
    AutoCopyVolume(L"\\Card");
    const std::string once = Snapshot(root, "Card");
    AutoCopyVolume(L"\\Card");
    EXPECT_EQ(Snapshot(root, "Card"), once);
    EXPECT_EQ(names(), before);

    // The same card again under other spellings, in the same run.
    fs::remove_all(src);
    WriteFile(src + "/WINDOWS/DEFAULT.FDF", "third");
    AutoCopyVolume(L"\\Card");
    EXPECT_EQ(ReadFile(root + "/Windows/default.fdf"), "third");
    fs::remove_all(src);
    WriteFile(src + "/windows/Default.fdf", "fourth");
    AutoCopyVolume(L"\\Card");
    EXPECT_EQ(names(), before);
    EXPECT_EQ(ReadFile(root + "/Windows/default.fdf"), "fourth");
}

TEST_F(AutoCopyTest, ReadOnlyDestinationIsKeptAndReadOnlySourceIsCopied)
{
    WriteFile(root + "/locked.txt", "original", 0444);
    WriteFile(src + "/locked.txt", "replacement");
    WriteFile(src + "/ro.txt", "read-only source", 0444);

    AutoCopyVolume(L"\\Card");

    EXPECT_EQ(ReadFile(root + "/locked.txt"), "original");
    EXPECT_EQ(ReadFile(root + "/ro.txt"), "read-only source");
}

TEST_F(AutoCopyTest, MissingOrEmptyAutoCopyDoesNothing)
{
    const std::string before = Snapshot(root);
    AutoCopyVolume(L"\\NoSuchVolume");
    fs::create_directories(src);
    AutoCopyVolume(L"\\Card");
    fs::remove_all(root + "/Card");
    EXPECT_EQ(Snapshot(root), before);
}

TEST_F(AutoCopyTest, LinksAndSpecialFilesAreNeitherFollowedNorCopied)
{
    const std::string outside = board.dir() + "/outside";
    WriteFile(outside + "/secret.txt", "secret");
    fs::create_directories(src);
    fs::create_symlink(outside + "/secret.txt", src + "/filelink");
    fs::create_symlink(outside, src + "/dirlink");
    ASSERT_EQ(mkfifo((src + "/pipe").c_str(), 0644), 0);
    // A link that an earlier copy (or anything) left in the root must not
    // lead a copy outside the device.
    fs::create_symlink(outside, root + "/escape");
    WriteFile(src + "/escape/planted.txt", "planted");
    WriteFile(src + "/plain.txt", "plain");

    AutoCopyVolume(L"\\Card");

    EXPECT_FALSE(Exists(root + "/filelink"));
    EXPECT_FALSE(Exists(root + "/dirlink"));
    EXPECT_FALSE(Exists(root + "/pipe"));
    EXPECT_FALSE(Exists(root + "/secret.txt"));
    EXPECT_FALSE(Exists(outside + "/planted.txt"));
    EXPECT_EQ(ReadFile(root + "/plain.txt"), "plain");
}

TEST_F(AutoCopyTest, HardLinksOnAMountedVolumeAreNotCopied)
{
    // A FAT card has no hard links: a file of a mounted volume with a
    // second name is a host file put there through the board folder.
    WriteFile(board.dir() + "/volumes/Card", "");
    const std::string host = board.dir() + "/host-secret";
    WriteFile(host, "host content", 0600);
    WriteFile(src + "/plain.txt", "card content");
    fs::create_directories(src + "/sub");
    ASSERT_EQ(link(host.c_str(), (src + "/linked.txt").c_str()), 0);
    ASSERT_EQ(link(host.c_str(), (src + "/sub/Deep.txt").c_str()), 0);

    AutoCopyVolume(L"\\Card");
    EXPECT_EQ(ReadFile(root + "/plain.txt"), "card content");
    EXPECT_FALSE(Exists(root + "/linked.txt"));
    EXPECT_FALSE(Exists(root + "/sub/Deep.txt"));
    // The same when the volume is named in another letter case.
    AutoCopyVolume(L"\\CARD");
    EXPECT_FALSE(Exists(root + "/linked.txt"));

    // Outside a volume (the flash disk's folder) a hard link is an ordinary file.
    WriteFile(root + "/Flash/AutoCopy/own.txt", "flash");
    ASSERT_EQ(link((root + "/Flash/AutoCopy/own.txt").c_str(), (root + "/Flash/second.txt").c_str()), 0);
    AutoCopyVolume(L"\\Flash");
    EXPECT_EQ(ReadFile(root + "/own.txt"), "flash");
}

TEST_F(AutoCopyTest, AutoCopyThatIsALinkIsNotFollowed)
{
    const std::string outside = board.dir() + "/outside";
    WriteFile(outside + "/secret.txt", "secret");
    fs::create_directories(root + "/Card");
    fs::create_symlink(outside, root + "/Card/AutoCopy");

    AutoCopyVolume(L"\\Card");

    EXPECT_FALSE(Exists(root + "/secret.txt"));
}

TEST_F(AutoCopyTest, OtherSpellingsOfAutoCopyDoNotVouchForALink)
{
    // A volume copied from a host folder can hold several spellings of one
    // name; the path leads to the exact one, here the link, whichever
    // spelling a search reports first.
    const std::string outside = board.dir() + "/outside";
    WriteFile(outside + "/secret.txt", "secret");
    fs::create_directories(root + "/Card");
    fs::create_symlink(outside, root + "/Card/AutoCopy");
    for (const char* other : {"autocopy", "AUTOCOPY", "Autocopy", "autoCopy", "AutoCOPY",
                              "aUTOcOPY", "AUTOcopy"})
        WriteFile(root + "/Card/" + other + "/" + other + ".txt", other);

    AutoCopyVolume(L"\\Card");

    EXPECT_FALSE(Exists(root + "/secret.txt"));
}

// The descriptors this process holds open; 0 when they cannot be listed
// (none left to list them with).
size_t OpenDescriptors()
{
    std::error_code error;
    size_t n = 0;
    for (fs::directory_iterator it("/proc/self/fd", error), end; !error && it != end;
         it.increment(error))
        ++n;
    return error || n == 0 ? 0 : n - 1;  // less the one that lists them
}

TEST_F(AutoCopyTest, ADeepTreeLeavesNoDescriptorsAndRunningOutEndsOnlyThatVolume)
{
    // A tree 100 folders deep, a file at every level.
    std::string deep = root + "/Deep/AutoCopy";
    for (int level = 0; level < 100; ++level) {
        deep += "/d";
        WriteFile(deep + "/f.txt", std::to_string(level));
    }
    WriteFile(root + "/Next/AutoCopy/next.txt", "next");

    // Few descriptors (in a child, whose limit is its own): the deep volume
    // runs out of them, the next volume is copied all the same, and after
    // each the process holds what it held before.
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        const size_t start = OpenDescriptors();
        rlimit limit{start + 40, start + 40};
        if (setrlimit(RLIMIT_NOFILE, &limit) != 0) _exit(10);
        AutoCopyVolume(L"\\Deep");
        if (OpenDescriptors() != start) _exit(11);
        AutoCopyVolume(L"\\Next");
        if (ReadFile(root + "/next.txt") != "next") _exit(12);
        if (OpenDescriptors() != start) _exit(13);
        _exit(0);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    // The first levels were copied before the descriptors ran out.
    EXPECT_EQ(ReadFile(root + "/d/f.txt"), "0");

    // Plenty of descriptors: the whole tree is copied, and none stays open.
    const size_t before = OpenDescriptors();
    AutoCopyVolume(L"\\Deep");
    EXPECT_EQ(ReadFile(root + "/d/d/d/d/d/d/d/d/d/d/f.txt"), "9");
    EXPECT_EQ(ReadFile(root + deep.substr(root.size() + std::string("/Deep/AutoCopy").size()) +
                       "/f.txt"),
              "99");
    EXPECT_EQ(OpenDescriptors(), before);
}

TEST_F(AutoCopyTest, PathsTooLongForTheBufferAreSkippedNeverCut)
{
    // "\Card\AutoCopy\" is 15 characters; with a 250-character name the
    // full path needs 265 and cannot be held in 259.
    const std::string longName(250, 'L');
    WriteFile(src + "/" + longName, "long");
    // A folder whose own path fits but whose entries do not.
    const std::string folder(200, 'F');
    WriteFile(src + "/" + folder + "/" + std::string(60, 'e'), "too deep");
    WriteFile(src + "/" + folder + "/ok.txt", "fits");
    WriteFile(src + "/short.txt", "short");

    AutoCopyVolume(L"\\Card");

    EXPECT_EQ(ReadFile(root + "/short.txt"), "short");
    EXPECT_EQ(ReadFile(root + "/" + folder + "/ok.txt"), "fits");
    EXPECT_FALSE(Exists(root + "/" + longName));
    // Nothing landed under a shortened name either.
    for (const auto& e : fs::directory_iterator(root))
        EXPECT_EQ(e.path().filename().string().find("LLLL"), std::string::npos);
    EXPECT_EQ(std::distance(fs::directory_iterator(root + "/" + folder), fs::directory_iterator()),
              1);
}

TEST_F(AutoCopyTest, CopyTreeUsesThePrefixForDestinations)
{
    WriteFile(root + "/Card/Stuff/a.txt", "a");
    WriteFile(root + "/Card/Stuff/deep/b.txt", "b");
    fs::create_directories(root + "/Stuff");
    // "\Card" is 5 characters: the destinations are "\Stuff\..." from the root.
    CopyTree(L"\\Card\\Stuff", 5);
    EXPECT_EQ(ReadFile(root + "/Stuff/a.txt"), "a");
    EXPECT_EQ(ReadFile(root + "/Stuff/deep/b.txt"), "b");
}

}  // namespace
