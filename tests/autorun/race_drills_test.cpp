// Drills of a program racing the service: at the very moment a walk, a
// copy or a program start is most exposed, the test (through the race
// hooks) swaps a folder for a link, moves a folder out of the device root,
// or asks the service to end. Nothing outside the root may be read,
// written or started, and an ending service does nothing more.
#include <signal.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "autorun/autorun.h"
#include "board/volumes.h"
#include "platform/clock.h"
#include "platform/host/clock.h"
#include "platform/posix/device_files.h"
#include "platform/posix/object.h"
#include "tests/support/temp_board.h"
#include "tests/autorun/race_hooks.h"
#include "tests/autorun/test_util.h"

using namespace autorun_test;

namespace {

class RaceDrill : public ::testing::Test {
protected:
    TempBoard board;
    std::string root = board.rootfs();
    std::string host = board.dir() + "/host";     // outside the device root
    std::string moved = board.dir() + "/moved";   // where a folder is moved out to
    std::string marks = board.dir() + "/marks";

    void SetUp() override { race_hooks::Clear(); }
    void TearDown() override { race_hooks::Clear(); }

    // Puts a link to the host folder where folder was (the folder is kept
    // aside, inside the root).
    void SwapForLink(const std::string& folder)
    {
        fs::rename(folder, folder + ".aside");
        fs::create_symlink(host, folder);
    }

    size_t Count(const std::string& tag)
    {
        size_t n = 0;
        for (const std::string& l : Lines(ReadFile(marks)))
            if (l.rfind(tag + " ", 0) == 0) ++n;
        return n;
    }

    bool HoldsTemporaries(const std::string& folder)
    {
        for (const auto& e : fs::directory_iterator(folder))
            if (e.path().filename().string().rfind(".copy-", 0) == 0) return true;
        return false;
    }
};

TEST_F(RaceDrill, ProgramSwappedAfterTheCheckIsNotWhatRuns)
{
    WriteMarkScript(root + "/Card/AutoRun/x.exe", "volume", marks);
    WriteMarkScript(host + "/x.exe", "host", marks);
    // Right after the check, before the program's process exists.
    race_hooks::beforeFork = [&] {
        race_hooks::beforeFork = nullptr;
        SwapForLink(root + "/Card/AutoRun");
    };
    LaunchAutoRun(L"\\Card", Executables);
    ASSERT_TRUE(WaitForMarks(marks, 1));
    EXPECT_EQ(Count("volume"), 1u);
    EXPECT_EQ(Count("host"), 0u);
}

TEST_F(RaceDrill, FolderSwappedForALinkDuringTheWalkIsNotFollowed)
{
    const std::string src = root + "/Card/AutoCopy";
    WriteFile(host + "/shadow", "secret", 0600);
    WriteFile(host + "/a.txt", "secret");
    WriteFile(src + "/sub/a.txt", "volume");
    WriteFile(src + "/sub/deeper/b.txt", "volume");

    // After the folder was listed and created at the destination, before
    // the walk goes into it.
    race_hooks::beforeCreateDirectory = [&](const std::wstring& path) {
        if (path == L"\\sub") SwapForLink(src + "/sub");
    };
    AutoCopyVolume(L"\\Card");
    EXPECT_FALSE(Exists(root + "/sub/shadow"));
    EXPECT_FALSE(Exists(root + "/sub/a.txt"));

    // After the folder's own listing, before one of its files is read.
    fs::remove_all(root + "/sub");
    fs::remove(src + "/sub");
    fs::rename(src + "/sub.aside", src + "/sub");
    race_hooks::beforeCopyFile = [&](const std::wstring& source) {
        if (source.size() > 10 && source.compare(source.size() - 10, 10, L"\\sub\\a.txt") == 0)
            SwapForLink(src + "/sub");
    };
    race_hooks::beforeCreateDirectory = nullptr;
    AutoCopyVolume(L"\\Card");
    EXPECT_NE(ReadFile(root + "/sub/a.txt"), "secret");
    EXPECT_FALSE(Exists(root + "/sub/shadow"));
}

TEST_F(RaceDrill, DestinationMovedOutOfTheRootDuringTheCopyReceivesNothing)
{
    const std::string big(3 << 20, 'v');
    WriteFile(root + "/Card/AutoCopy/dst/big.bin", big);
    WriteFile(root + "/Card/AutoCopy/dst/old.bin", big);
    auto moveOut = [&] {
        race_hooks::beforeCopyData = nullptr;
        race_hooks::beforeLink = nullptr;
        if (Exists(root + "/dst")) fs::rename(root + "/dst", moved);
    };
    auto check = [&](const char* when) {
        SCOPED_TRACE(when);
        EXPECT_FALSE(Exists(moved + "/big.bin"));     // a new file never lands there
        EXPECT_TRUE(ReadFile(moved + "/old.bin") == "old");   // a replaced one is put back
        EXPECT_FALSE(HoldsTemporaries(moved));
        fs::remove_all(moved);
    };

    // While the data is copied; and between the last check and the link.
    WriteFile(root + "/dst/old.bin", "old");
    race_hooks::beforeCopyData = moveOut;
    AutoCopyVolume(L"\\Card");
    check("moved during the copy");

    WriteFile(root + "/dst/old.bin", "old");
    race_hooks::beforeLink = moveOut;
    AutoCopyVolume(L"\\Card");
    check("moved right before the link");

    // Left alone, the same copy lands.
    WriteFile(root + "/dst/old.bin", "old");
    AutoCopyVolume(L"\\Card");
    EXPECT_TRUE(ReadFile(root + "/dst/big.bin") == big);
    EXPECT_TRUE(ReadFile(root + "/dst/old.bin") == big);
    EXPECT_FALSE(HoldsTemporaries(root + "/dst"));
}

TEST_F(RaceDrill, AReplacementInProgressHasNoNameToLeaveBehind)
{
    // Killed in the middle of replacing a file, the service would leave
    // nothing: while the data is copied, the folder holds no temporary.
    WriteFile(root + "/Card/AutoCopy/r.bin", std::string(1 << 20, 'r'));
    WriteFile(root + "/r.bin", "old");
    bool seen = true;
    race_hooks::beforeCopyData = [&] { seen = HoldsTemporaries(root); };
    AutoCopyVolume(L"\\Card");
    EXPECT_FALSE(seen);
    EXPECT_EQ(ReadFile(root + "/r.bin").size(), size_t{1} << 20);
    EXPECT_FALSE(HoldsTemporaries(root));

    // The file to replace removed by another program meanwhile: the copy
    // takes its place all the same.
    WriteFile(root + "/r.bin", "old");
    race_hooks::beforeCopyData = [&] { fs::remove(root + "/r.bin"); };
    AutoCopyVolume(L"\\Card");
    EXPECT_EQ(ReadFile(root + "/r.bin").size(), size_t{1} << 20);
    EXPECT_FALSE(HoldsTemporaries(root));
}

TEST_F(RaceDrill, TheStartUpCleanUpRemovesWhatAKilledCopyLeftAndNothingElse)
{
    WriteFile(root + "/Card/AutoCopy/Docs/report.txt", "new");
    WriteFile(root + "/Docs/report.txt", "old");
    // The device user's own files, named like temporaries.
    WriteFile(root + "/.copy-12345-7.tmp", "mine");
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        // Killed once the replacement has a name beside the file it
        // replaces (or, where files without a name are not had, while its
        // data is copied into the named temporary).
        race_hooks::Clear();
        race_hooks::afterLink = [](int result) {
            if (result == 0) raise(SIGKILL);
        };
        race_hooks::beforeCopyData = [this] {
            if (HoldsTemporaries(root + "/Docs")) raise(SIGKILL);
        };
        AutoCopyVolume(L"\\Card");
        _exit(0);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFSIGNALED(status));
    std::string left;
    for (const auto& e : fs::directory_iterator(root + "/Docs"))
        if (e.path().filename().string().rfind(".copy-", 0) == 0) left = e.path().string();
    ASSERT_FALSE(left.empty());
    // One more of the user's, with the very name a copy of that process
    // could have used next.
    const std::string mine = root + "/Docs/.copy-" + std::to_string(child) + "-99.tmp";
    WriteFile(mine, "mine too");

    OsPosixRemoveStaleCopies();
    EXPECT_FALSE(Exists(left));
    EXPECT_EQ(ReadFile(root + "/.copy-12345-7.tmp"), "mine");
    EXPECT_EQ(ReadFile(mine), "mine too");
    EXPECT_EQ(ReadFile(root + "/Docs/report.txt"), "old");
    // The record went with its temporary: a second start has nothing to do.
    WriteFile(left, "a user's file of that name, later");
    OsPosixRemoveStaleCopies();
    EXPECT_TRUE(Exists(left));
}

uint64_t RealMicros()
{
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000000u + static_cast<uint64_t>(ts.tv_nsec) / 1000u;
}

TEST_F(RaceDrill, TerminationDuringACopyAbandonsItAndEndsTheService)
{
    // The flash disk's copy is under way when the request comes; its
    // program and the volume already queued must not follow.
    const std::string flash = root + "/Flash Disk";
    WriteFile(flash + "/AutoCopy/big.bin", std::string(3 << 20, 'n'));
    WriteFile(root + "/big.bin", "old");
    WriteMarkScript(flash + "/AutoRun/x.exe", "flash", marks);
    WriteFile(root + "/Card/AutoCopy/card.txt", "card");
    WriteFile(board::VolumesDir() + "/Card", "");

    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        // Termination cannot be taken back: the service runs in a child.
        race_hooks::Clear();
        OsUseVirtualClock();   // the start pause costs no real time
        uint64_t requested = 0;
        race_hooks::beforeCopyData = [&] {
            race_hooks::beforeCopyData = nullptr;
            requested = RealMicros();
            OsPosixRequestTermination();
        };
        race_hooks::beforeFork = [] {};   // counts the starts
        const int result = ServiceMain(nullptr, nullptr, nullptr, 0);
        const uint64_t took = RealMicros() - requested;
        // A loose bound against a hang only; the real figure is the benchmark's.
        _exit(result != 0 ? 1 : requested == 0 ? 2 : race_hooks::forks != 0 ? 3 : took > 1000000 ? 4 : 0);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0) << "1: not 0, 2: no copy, 3: a program started, 4: slow";
    EXPECT_TRUE(ReadFile(root + "/big.bin") == "old");
    EXPECT_FALSE(HoldsTemporaries(root));
    EXPECT_FALSE(Exists(root + "/card.txt"));
    EXPECT_EQ(Count("flash"), 0u);
}

}  // namespace
