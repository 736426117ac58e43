#include <gtest/gtest.h>
#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <chrono>
#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include "board/volumes.h"
#include "platform/files.h"
#include "platform/host/files.h"
#include "platform/posix/device_files.h"
#include "platform/sync.h"
#include "tests/platform/files_board_dir.h"

namespace fs = std::filesystem;

namespace {

std::string HostOf(const wchar_t* path)
{
    char out[4096];
    return OsHostPath(path, out, sizeof out) ? std::string(out) : std::string("<refused>");
}

struct Found {
    std::wstring name;
    uint32_t attributes;
    bool operator<(const Found& o) const { return name < o.name; }
    bool operator==(const Found& o) const { return name == o.name && attributes == o.attributes; }
};

std::vector<Found> FindAll(const wchar_t* pattern)
{
    std::vector<Found> all;
    OsFindData data;
    Handle search = OsFindFirstFile(pattern, &data);
    if (search == OS_INVALID_HANDLE)
        return all;
    do {
        all.push_back({data.name, data.attributes});
    } while (OsFindNextFile(search, &data));
    EXPECT_EQ(OsFindClose(search), 1);
    std::sort(all.begin(), all.end());
    return all;
}

// Everything in a folder except the names given: finds stray temporary files.
std::set<std::string> Listing(const std::string& dir)
{
    std::set<std::string> names;
    for (const auto& e : fs::directory_iterator(dir))
        names.insert(e.path().filename().string());
    return names;
}

class FilesTest : public ::testing::Test {
protected:
    BoardDir board_;
};

TEST_F(FilesTest, DevicePathsMatchLetterCaseOfExistingNames)
{
    board_.Write("rootfs/Windows/Default.FDF", "x");
    const std::string root = board_.rootfs();
    EXPECT_EQ(HostOf(L"\\windows\\DEFAULT.fdf"), root + "/Windows/Default.FDF");
    EXPECT_EQ(HostOf(L"\\WINDOWS/default.fdf"), root + "/Windows/Default.FDF");
    // Parts that do not exist keep their spelling, so they can be created.
    EXPECT_EQ(HostOf(L"\\WINDOWS\\New\\Sub.txt"), root + "/Windows/New/Sub.txt");
    EXPECT_EQ(HostOf(L"\\"), root);
    EXPECT_EQ(HostOf(L"\\.\\windows\\.\\"), root + "/Windows");
    // Host paths are used as given.
    EXPECT_EQ(HostOf(L"/tmp/Some File.bin"), "/tmp/Some File.bin");
    EXPECT_EQ(HostOf(L"rel/nk.bin"), "rel/nk.bin");

    char small[8];
    EXPECT_EQ(OsHostPath(L"\\windows", small, sizeof small), 0);
}

TEST_F(FilesTest, OpenRefusesWhatIsNoExistingRegularFile)
{
    board_.Write("rootfs/Folder/f", "x");
    ASSERT_EQ(mkfifo((board_.rootfs() + "/pipe").c_str(), 0644), 0);
    EXPECT_EQ(OsCreateFile(L"\\Folder", OS_GENERIC_READ, 0, OS_OPEN_EXISTING, 0), OS_INVALID_HANDLE);
    EXPECT_EQ(OsCreateFile(L"\\missing", OS_GENERIC_READ, 0, OS_OPEN_EXISTING, 0), OS_INVALID_HANDLE);
    // A FIFO with no writer would block an ordinary open for ever.
    EXPECT_EQ(OsCreateFile(L"\\pipe", OS_GENERIC_READ, 0, OS_OPEN_EXISTING, 0), OS_INVALID_HANDLE);
    EXPECT_EQ(OsCreateFile(L"\\Folder\\f", OS_GENERIC_WRITE, 0, OS_OPEN_EXISTING, 0),
              OS_INVALID_HANDLE);
    EXPECT_EQ(OsCreateFile(nullptr, OS_GENERIC_READ, 0, OS_OPEN_EXISTING, 0), OS_INVALID_HANDLE);
}

TEST_F(FilesTest, FileTimeIsTheModificationTime)
{
    board_.Write("rootfs/windows/default.fdf", "fdf");
    // 2021-03-04 05:06:07.890 UTC, a Thursday.
    timespec times[2] = {{1614834367, 890'000'000}, {1614834367, 890'000'000}};
    ASSERT_EQ(utimensat(AT_FDCWD, (board_.rootfs() + "/windows/default.fdf").c_str(), times, 0), 0);
    Handle file = OsCreateFile(L"\\Windows\\Default.fdf", OS_GENERIC_READ, 0, OS_OPEN_EXISTING, 0);
    ASSERT_NE(file, OS_INVALID_HANDLE);
    FileTime ft = 0;
    ASSERT_EQ(OsGetFileTime(file, &ft), 1);
    OsCloseHandle(file);
    EXPECT_EQ(ft, (1614834367ull + 11644473600ull) * 10'000'000ull + 8'900'000ull);
    SystemTime st{};
    ASSERT_EQ(OsFileTimeToSystemTime(&ft, &st), 1);
    EXPECT_EQ(st.year, 2021);
    EXPECT_EQ(st.month, 3);
    EXPECT_EQ(st.day, 4);
    EXPECT_EQ(st.dayOfWeek, 4);
    EXPECT_EQ(st.hour, 5);
    EXPECT_EQ(st.minute, 6);
    EXPECT_EQ(st.second, 7);
    EXPECT_EQ(st.milliseconds, 890);
}

SystemTime Convert(int64_t unixSeconds)
{
    FileTime ft = static_cast<FileTime>(unixSeconds + 11644473600LL) * 10'000'000ull;
    SystemTime st{};
    EXPECT_EQ(OsFileTimeToSystemTime(&ft, &st), 1);
    return st;
}

TEST_F(FilesTest, CalendarConversionFollowsTheGregorianRules)
{
    FileTime zero = 0;
    SystemTime st{};
    ASSERT_EQ(OsFileTimeToSystemTime(&zero, &st), 1);
    EXPECT_EQ(st.year, 1601);
    EXPECT_EQ(st.month, 1);
    EXPECT_EQ(st.day, 1);
    EXPECT_EQ(st.dayOfWeek, 1);  // a Monday

    st = Convert(951782400);  // 2000-02-29, divisible by 400: a leap year
    EXPECT_EQ(st.month, 2);
    EXPECT_EQ(st.day, 29);
    EXPECT_EQ(st.dayOfWeek, 2);
    st = Convert(-2203891200LL);  // 1900-03-01, no leap day in 1900
    EXPECT_EQ(st.year, 1900);
    EXPECT_EQ(st.month, 3);
    EXPECT_EQ(st.day, 1);
    EXPECT_EQ(st.dayOfWeek, 4);
    st = Convert(1735689599);  // 2024-12-31 23:59:59, day 366 of a leap year
    EXPECT_EQ(st.year, 2024);
    EXPECT_EQ(st.month, 12);
    EXPECT_EQ(st.day, 31);
    EXPECT_EQ(st.hour, 23);
    EXPECT_EQ(st.second, 59);

    // The last representable moment, and one unit later.
    FileTime last = (910670515199ull + 11644473600ull) * 10'000'000ull + 9'999'999ull;
    ASSERT_EQ(OsFileTimeToSystemTime(&last, &st), 1);
    EXPECT_EQ(st.year, 30827);
    EXPECT_EQ(st.month, 12);
    EXPECT_EQ(st.day, 31);
    EXPECT_EQ(st.milliseconds, 999);
    FileTime beyond = last + 1;
    EXPECT_EQ(OsFileTimeToSystemTime(&beyond, &st), 0);
    FileTime huge = ~0ull;
    EXPECT_EQ(OsFileTimeToSystemTime(&huge, &st), 0);
}

TEST_F(FilesTest, FindMatchesWildcardsWithoutLetterCase)
{
    board_.Write("rootfs/Card/AutoRun/Setup.Exe", "");
    board_.Write("rootfs/Card/AutoRun/b.EXE", "");
    board_.Write("rootfs/Card/AutoRun/readme.txt", "");
    board_.Write("rootfs/Card/AutoRun/setup.exe.bak", "");
    board_.Write("rootfs/Card/AutoRun/go.lnk", "", 0444);
    fs::create_directories(board_.rootfs() + "/Card/AutoRun/Tools.exe");

    std::vector<Found> exes = FindAll(L"\\card\\autorun\\*.exe");
    ASSERT_EQ(exes.size(), 3u);
    EXPECT_EQ(exes[0], (Found{L"Setup.Exe", OS_FILE_ATTRIBUTE_ARCHIVE}));
    EXPECT_EQ(exes[1], (Found{L"Tools.exe", OS_FILE_ATTRIBUTE_DIRECTORY}));
    EXPECT_EQ(exes[2], (Found{L"b.EXE", OS_FILE_ATTRIBUTE_ARCHIVE}));

    std::vector<Found> one = FindAll(L"\\Card\\AutoRun\\?.exe");
    ASSERT_EQ(one.size(), 1u);
    EXPECT_EQ(one[0].name, L"b.EXE");

    std::vector<Found> lnk = FindAll(L"\\Card\\AutoRun\\*.LNK");
    ASSERT_EQ(lnk.size(), 1u);
    EXPECT_EQ(lnk[0].attributes, OS_FILE_ATTRIBUTE_ARCHIVE | OS_FILE_ATTRIBUTE_READONLY);

    EXPECT_EQ(FindAll(L"\\Card\\AutoRun\\*").size(), 6u);
    EXPECT_EQ(FindAll(L"\\Card\\AutoRun\\*.*").size(), 6u);
    EXPECT_EQ(FindAll(L"\\Card\\AutoRun\\s*p.e?e*").size(), 2u);
}

TEST_F(FilesTest, SymbolicLinksAreNeverReportedAsFolders)
{
    fs::create_directories(board_.rootfs() + "/Vol/AutoCopy/Real");
    fs::create_directory_symlink("/etc", board_.rootfs() + "/Vol/AutoCopy/Escape");
    std::vector<Found> all = FindAll(L"\\Vol\\AutoCopy\\*");
    ASSERT_EQ(all.size(), 2u);
    EXPECT_EQ(all[0], (Found{L"Escape", OS_FILE_ATTRIBUTE_REPARSE_POINT}));
    EXPECT_EQ(all[1], (Found{L"Real", OS_FILE_ATTRIBUTE_DIRECTORY}));
}

TEST_F(FilesTest, HostNamesThatAreNotUtf8SurviveTheRoundTrip)
{
    board_.Write(std::string("rootfs/odd\xff.txt"), "odd");
    std::vector<Found> all = FindAll(L"\\*");
    ASSERT_EQ(all.size(), 1u);
    std::wstring path = L"\\" + all[0].name;
    Handle file = OsCreateFile(path.c_str(), OS_GENERIC_READ, 0, OS_OPEN_EXISTING, 0);
    ASSERT_NE(file, OS_INVALID_HANDLE);
    OsCloseHandle(file);
    EXPECT_EQ(OsCopyFile(path.c_str(), L"\\copy.txt", 0), 1);
    EXPECT_EQ(BoardDir::Read(board_.rootfs() + "/copy.txt"), "odd");
}

TEST_F(FilesTest, CreatesFoldersButNeverThroughLinks)
{
    EXPECT_EQ(OsCreateDirectory(L"\\NewDir"), 1);
    EXPECT_TRUE(fs::is_directory(board_.rootfs() + "/NewDir"));
    EXPECT_EQ(OsCreateDirectory(L"\\newdir"), 0);  // exists already
    EXPECT_EQ(OsCreateDirectory(L"\\NEWDIR\\Inner"), 1);
    EXPECT_TRUE(fs::is_directory(board_.rootfs() + "/NewDir/Inner"));
    EXPECT_EQ(OsCreateDirectory(L"\\Missing\\Inner"), 0);
    EXPECT_EQ(OsCreateDirectory(L"\\"), 0);

    fs::create_directories(board_.dir() + "/outside");
    fs::create_directory_symlink(board_.dir() + "/outside", board_.rootfs() + "/Link");
    EXPECT_EQ(OsCreateDirectory(L"\\Link\\Planted"), 0);
    EXPECT_FALSE(fs::exists(board_.dir() + "/outside/Planted"));
}

class CopyTest : public FilesTest {
protected:
    void SetUp() override
    {
        board_.Write("rootfs/Vol/AutoCopy/app.exe", "program bytes", 0755);
        src_ = board_.rootfs() + "/Vol/AutoCopy/";
    }
    std::string src_;
};

TEST_F(CopyTest, CopiesContentAndPermissions)
{
    ASSERT_EQ(OsCopyFile(L"\\Vol\\AutoCopy\\app.exe", L"\\app.exe", 0), 1);
    EXPECT_EQ(BoardDir::Read(board_.rootfs() + "/app.exe"), "program bytes");
    struct stat st;
    ASSERT_EQ(stat((board_.rootfs() + "/app.exe").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0755u);
    EXPECT_EQ(Listing(board_.rootfs()), (std::set<std::string>{"Vol", "app.exe"}));
}

TEST_F(CopyTest, ReplacesAnExistingFileOfAnyLetterCase)
{
    board_.Write("rootfs/Windows/APP.EXE", "old and longer content");
    ASSERT_EQ(OsCopyFile(L"\\Vol\\AutoCopy\\app.exe", L"\\windows\\app.exe", 0), 1);
    EXPECT_EQ(Listing(board_.rootfs() + "/Windows"), (std::set<std::string>{"APP.EXE"}));
    EXPECT_EQ(BoardDir::Read(board_.rootfs() + "/Windows/APP.EXE"), "program bytes");

    board_.Write("rootfs/keep.exe", "kept");
    EXPECT_EQ(OsCopyFile(L"\\Vol\\AutoCopy\\app.exe", L"\\keep.exe", 1), 0);
    EXPECT_EQ(BoardDir::Read(board_.rootfs() + "/keep.exe"), "kept");
}

TEST_F(CopyTest, CopiesLargeFilesExactly)
{
    std::string big(3 * 1024 * 1024 + 17, '\0');
    for (size_t i = 0; i < big.size(); ++i)
        big[i] = static_cast<char>((i * 131 + i / 4096) & 0xFF);
    board_.Write("rootfs/Vol/AutoCopy/big.bin", big);
    ASSERT_EQ(OsCopyFile(L"\\Vol\\AutoCopy\\big.bin", L"\\big.bin", 0), 1);
    EXPECT_TRUE(BoardDir::Read(board_.rootfs() + "/big.bin") == big);
}

TEST_F(CopyTest, RefusesSourcesThatAreNoRegularFiles)
{
    fs::create_symlink(board_.dir() + "/secret", src_ + "link.txt");
    board_.Write("secret", "outside");
    EXPECT_EQ(OsCopyFile(L"\\Vol\\AutoCopy\\link.txt", L"\\link.txt", 0), 0);
    EXPECT_FALSE(fs::exists(board_.rootfs() + "/link.txt"));

    ASSERT_EQ(mkfifo((src_ + "fifo").c_str(), 0644), 0);
    auto before = std::chrono::steady_clock::now();
    EXPECT_EQ(OsCopyFile(L"\\Vol\\AutoCopy\\fifo", L"\\fifo", 0), 0);
    EXPECT_LT(std::chrono::steady_clock::now() - before, std::chrono::seconds(5));

    EXPECT_EQ(OsCopyFile(L"\\Vol\\AutoCopy", L"\\AutoCopy", 0), 0);
    EXPECT_EQ(OsCopyFile(L"\\Vol\\AutoCopy\\none", L"\\none", 0), 0);
    EXPECT_EQ(Listing(board_.rootfs()), (std::set<std::string>{"Vol"}));
}

TEST_F(CopyTest, KeepsReadOnlyFilesAndFolders)
{
    board_.Write("rootfs/app.exe", "read-only", 0444);
    EXPECT_EQ(OsCopyFile(L"\\Vol\\AutoCopy\\app.exe", L"\\APP.exe", 0), 0);
    EXPECT_EQ(BoardDir::Read(board_.rootfs() + "/app.exe"), "read-only");

    board_.Write("rootfs/Folder/inside", "in");
    EXPECT_EQ(OsCopyFile(L"\\Vol\\AutoCopy\\app.exe", L"\\folder", 0), 0);
    EXPECT_TRUE(fs::is_directory(board_.rootfs() + "/Folder"));
    EXPECT_EQ(Listing(board_.rootfs()), (std::set<std::string>{"Folder", "Vol", "app.exe"}));
}

TEST_F(CopyTest, NeverWritesThroughSymbolicLinks)
{
    fs::create_directories(board_.dir() + "/outside");
    board_.Write("outside/target.txt", "untouched");
    // A folder link left in the root by an earlier copy.
    fs::create_directory_symlink(board_.dir() + "/outside", board_.rootfs() + "/Planted");
    EXPECT_EQ(OsCopyFile(L"\\Vol\\AutoCopy\\app.exe", L"\\Planted\\app.exe", 0), 0);
    EXPECT_EQ(OsCopyFile(L"\\Vol\\AutoCopy\\app.exe", L"\\Planted\\target.txt", 0), 0);
    // A file link as the destination itself.
    fs::create_symlink(board_.dir() + "/outside/target.txt", board_.rootfs() + "/target.txt");
    EXPECT_EQ(OsCopyFile(L"\\Vol\\AutoCopy\\app.exe", L"\\target.txt", 0), 0);

    EXPECT_EQ(Listing(board_.dir() + "/outside"), (std::set<std::string>{"target.txt"}));
    EXPECT_EQ(BoardDir::Read(board_.dir() + "/outside/target.txt"), "untouched");
    EXPECT_TRUE(fs::is_symlink(board_.rootfs() + "/target.txt"));
}

TEST_F(CopyTest, HostPathsWorkBothWays)
{
    std::string host = board_.dir() + "/host.bin";
    board_.Write("host.bin", "from the host");
    std::wstring wide(host.begin(), host.end());
    ASSERT_EQ(OsCopyFile(wide.c_str(), L"\\fromhost.bin", 0), 1);
    EXPECT_EQ(BoardDir::Read(board_.rootfs() + "/fromhost.bin"), "from the host");
}

TEST_F(FilesTest, LinksAnywhereOnAPathAreNeverFollowed)
{
    // Not only the last component: a link to a folder inside the root, or
    // out of it, leads nowhere for reading, listing or copying.
    board_.Write("rootfs/real/file.txt", "inside");
    board_.Write("outside/file.txt", "outside");
    fs::create_symlink(board_.rootfs() + "/real", board_.rootfs() + "/in");
    fs::create_symlink(board_.dir() + "/outside", board_.rootfs() + "/out");
    for (const wchar_t* path : {L"\\in\\file.txt", L"\\OUT\\file.txt", L"\\out\\.\\file.txt"}) {
        SCOPED_TRACE(std::wstring(path).size());
        EXPECT_EQ(OsCreateFile(path, OS_GENERIC_READ, 0, OS_OPEN_EXISTING, 0), OS_INVALID_HANDLE);
        EXPECT_EQ(OsCopyFile(path, L"\\copied.txt", 0), 0);
    }
    EXPECT_TRUE(FindAll(L"\\in\\*").empty());
    EXPECT_TRUE(FindAll(L"\\out\\*").empty());
    EXPECT_FALSE(fs::exists(board_.rootfs() + "/copied.txt"));
    // The real folder, in any letter case, is fine.
    EXPECT_EQ(OsCopyFile(L"\\REAL\\File.txt", L"\\copied.txt", 0), 1);
    EXPECT_EQ(BoardDir::Read(board_.rootfs() + "/copied.txt"), "inside");
}

// Records a temporary in a folder as a copy does before it creates it.
void Record(const std::string& folder, const std::string& name)
{
    const int fd = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    copy_journal::Add(fd, name);
    close(fd);
}

// Records, from a process that then ends without removing anything, one
// temporary in each folder (which exist), and returns their names.
std::vector<std::string> RecordedByAProcessGone(const std::vector<std::string>& folders)
{
    const pid_t gone = fork();
    if (gone == 0) {
        for (size_t i = 0; i < folders.size(); ++i)
            Record(folders[i], ".copy-" + std::to_string(getpid()) + "-" + std::to_string(i) + ".tmp");
        _exit(0);
    }
    std::vector<std::string> names;
    if (gone < 0 || waitpid(gone, nullptr, 0) != gone)
        return names;
    for (size_t i = 0; i < folders.size(); ++i)
        names.push_back(".copy-" + std::to_string(gone) + "-" + std::to_string(i) + ".tmp");
    return names;
}

TEST_F(FilesTest, TemporariesOfProcessesGoneAreRemovedAtStart)
{
    const std::string root = board_.rootfs();
    const std::string outside = board_.dir() + "/outside";
    board_.Write("rootfs/a/b/other", "");
    board_.Write("outside/other", "");
    fs::create_symlink(outside, root + "/link");
    const std::vector<std::string> dead = RecordedByAProcessGone({root, root + "/a/b", outside});
    ASSERT_EQ(dead.size(), 3u);
    // One of a process that runs (ours).
    const std::string live = ".copy-" + std::to_string(getpid()) + "-7.tmp";
    Record(root + "/a", live);
    board_.Write("rootfs/" + dead[0], "left");
    board_.Write("rootfs/a/b/" + dead[1], "left");
    board_.Write("outside/" + dead[2], "not the device's");
    // Files merely named like temporaries: of no process, or not where recorded.
    board_.Write("rootfs/a/" + dead[0], "the user's");
    board_.Write("rootfs/.copy-12345-7.tmp", "the user's");
    board_.Write("rootfs/a/" + live, "in use");
    OsPosixRemoveStaleCopies();
    EXPECT_FALSE(fs::exists(root + "/" + dead[0]));
    EXPECT_FALSE(fs::exists(root + "/a/b/" + dead[1]));
    EXPECT_TRUE(fs::exists(outside + "/" + dead[2]));
    EXPECT_TRUE(fs::exists(root + "/a/" + dead[0]));
    EXPECT_TRUE(fs::exists(root + "/.copy-12345-7.tmp"));
    EXPECT_TRUE(fs::exists(root + "/a/" + live));
    copy_journal::Drop(live);
}

TEST_F(FilesTest, TemporariesOnMountedVolumesAreLeftAlone)
{
    // A card mounted before the service starts (its folder and its
    // record), and one whose insert has moved its folder in but not yet
    // written its record; a folder of the device of the same depth, for
    // comparison. Even a record naming a card's folder removes nothing there.
    board_.Write("volumes/Card", "");
    board_.Write("staging/mounting-Coming", "0 0\n");
    const std::string root = board_.rootfs();
    for (const char* folder : {"Card/Docs", "Coming/Docs", "Docs"})
        fs::create_directories(root + "/" + folder);
    const std::vector<std::string> stale =
        RecordedByAProcessGone({root + "/Card/Docs", root + "/Coming/Docs", root + "/Docs"});
    ASSERT_EQ(stale.size(), 3u);
    board_.Write("rootfs/Card/Docs/" + stale[0], "the card's");
    board_.Write("rootfs/Coming/Docs/" + stale[1], "the card's");
    board_.Write("rootfs/Docs/" + stale[2], "left");
    OsPosixRemoveStaleCopies();
    EXPECT_TRUE(fs::exists(root + "/Card/Docs/" + stale[0]));
    EXPECT_TRUE(fs::exists(root + "/Coming/Docs/" + stale[1]));
    EXPECT_FALSE(fs::exists(root + "/Docs/" + stale[2]));
}

// Whether a mounted volume is left at a mount point inside it. Runs in a
// child with a mount namespace of its own. 0, or the first check that
// failed; 100: no mounting here.
int CrossingChecks(const std::string& outside, const std::string& mountPoint,
                   const std::string& freeMountPoint)
{
    if (unshare(CLONE_NEWNS) != 0 && unshare(CLONE_NEWUSER | CLONE_NEWNS) != 0)
        return 100;
    if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
        mount(outside.c_str(), mountPoint.c_str(), nullptr, MS_BIND, nullptr) != 0 ||
        mount(outside.c_str(), freeMountPoint.c_str(), nullptr, MS_BIND, nullptr) != 0)
        return 100;
    for (const wchar_t* path : {L"\\Card\\AutoRun\\x.exe", L"\\CARD\\autorun\\X.EXE"}) {
        Handle file = OsCreateFile(path, OS_GENERIC_READ, 0, OS_OPEN_EXISTING, 0);
        if (file != OS_INVALID_HANDLE) {
            OsCloseHandle(file);
            return 1;
        }
        if (OsCopyFile(path, L"\\copied.exe", 0) != 0) return 2;
    }
    if (!FindAll(L"\\Card\\AutoRun\\*").empty()) return 3;
    if (!FindAll(L"\\card\\AUTORUN\\*").empty()) return 4;
    // Outside a volume a mount point is an ordinary folder.
    if (FindAll(L"\\Free\\Sub\\*").size() != 1) return 5;
    if (OsCopyFile(L"\\Free\\Sub\\x.exe", L"\\free.exe", 0) != 1) return 6;
    return 0;
}

TEST_F(FilesTest, AMountedVolumeIsNeverLeftForAnotherMount)
{
    board_.Write("volumes/Card", "");
    board_.Write("rootfs/Card/AutoRun/x.exe", "the card's");
    board_.Write("rootfs/Free/Sub/x.exe", "the device's");
    board_.Write("outside/x.exe", "the host's");
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0)
        _exit(CrossingChecks(board_.dir() + "/outside", board_.rootfs() + "/Card/AutoRun",
                             board_.rootfs() + "/Free/Sub"));
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    if (WEXITSTATUS(status) == 100) GTEST_SKIP() << "mounting is not permitted here";
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_FALSE(fs::exists(board_.rootfs() + "/copied.exe"));
}

}  // namespace
