// The boardsim command: exit statuses and the set/get/events contract.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/ptrace.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "board/board.h"
#include "board/imagekit.h"
#include "tests/support/temp_board.h"

namespace {
const std::string kBoardsim = std::string(TEST_BIN_DIR) + "/boardsim";

std::string ReadAll(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Runs boardsim with args on the current board; returns its exit status and
// its standard output in *out.
int RunBoardsim(const std::string& args, std::string* out = nullptr)
{
    std::string cmd = "'" + kBoardsim + "' " + args + " 2>/dev/null";
    FILE* p = popen(cmd.c_str(), "r");
    if (!p)
        return -1;
    std::string text;
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, p)) > 0)
        text.append(buf, n);
    int status = pclose(p);
    if (out)
        *out = text;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// Runs boardsim with args under ptrace and kills it with SIGKILL the moment
// a rename whose new path ends in target has succeeded: a program killed
// exactly between two of its steps. Returns false when that rename never
// came (or tracing is not allowed here: *traced false).
bool KillAfterRename(const std::vector<std::string>& args, const std::string& target, bool* traced)
{
    *traced = false;
    pid_t pid = fork();
    if (pid == 0) {
        std::vector<char*> argv{const_cast<char*>(kBoardsim.c_str())};
        for (const std::string& a : args)
            argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        if (ptrace(PTRACE_TRACEME, 0, nullptr, nullptr) != 0)
            _exit(99);
        execv(argv[0], argv.data());
        _exit(98);
    }
    int status = 0;
    if (waitpid(pid, &status, 0) != pid || !WIFSTOPPED(status)) {
        waitpid(pid, &status, 0);
        return false;
    }
    *traced = true;
    ptrace(PTRACE_SETOPTIONS, pid, nullptr, PTRACE_O_TRACESYSGOOD | PTRACE_O_EXITKILL);
    bool killed = false, watching = false;
    while (ptrace(PTRACE_SYSCALL, pid, nullptr, nullptr) == 0 && waitpid(pid, &status, 0) == pid &&
           WIFSTOPPED(status)) {
        if (WSTOPSIG(status) != (SIGTRAP | 0x80))
            continue;
        __ptrace_syscall_info info{};
        if (ptrace(PTRACE_GET_SYSCALL_INFO, pid, sizeof info, &info) <= 0)
            break;
        if (info.op == PTRACE_SYSCALL_INFO_ENTRY) {
            uint64_t newPath = 0;
            if (info.entry.nr == SYS_renameat2 || info.entry.nr == SYS_renameat)
                newPath = info.entry.args[3];
#ifdef SYS_rename
            if (info.entry.nr == SYS_rename)
                newPath = info.entry.args[1];
#endif
            watching = false;
            if (newPath) {
                char path[4096] = {};
                std::ifstream mem("/proc/" + std::to_string(pid) + "/mem", std::ios::binary);
                mem.seekg(std::streamoff(newPath));
                mem.read(path, sizeof path - 1);
                const std::string p = path;
                watching = p.size() >= target.size() && p.compare(p.size() - target.size(), target.size(), target) == 0;
            }
        } else if (info.op == PTRACE_SYSCALL_INFO_EXIT && watching && info.exit.rval == 0) {
            kill(pid, SIGKILL);
            killed = true;
            break;
        }
    }
    waitpid(pid, &status, 0);
    return killed;
}

bool HaveBoardsim()
{
    struct stat st;
    return stat(kBoardsim.c_str(), &st) == 0;
}
}  // namespace

TEST(BoardsimCli, UsageErrorsExitWithTwo)
{
    ASSERT_TRUE(HaveBoardsim()) << kBoardsim << " is missing: it is built with the tests";
    TempBoard tb;
    const std::string timing = board::GetSetting("timing");
    EXPECT_EQ(RunBoardsim(""), 2);
    EXPECT_EQ(RunBoardsim("frobnicate"), 2);
    EXPECT_EQ(RunBoardsim("set timing"), 2);
    EXPECT_EQ(RunBoardsim("set timing fast"), 2);
    EXPECT_EQ(RunBoardsim("set no-such-key 1"), 2);
    EXPECT_EQ(RunBoardsim("get"), 2);
    EXPECT_EQ(RunBoardsim("init --wrong"), 2);
    EXPECT_EQ(RunBoardsim("show all"), 2);
    EXPECT_EQ(RunBoardsim("power-cut now"), 2);
    EXPECT_EQ(board::GetSetting("timing"), timing);
}

TEST(BoardsimCli, SetGetEventsAndShow)
{
    ASSERT_TRUE(HaveBoardsim()) << kBoardsim << " is missing: it is built with the tests";
    TempBoard tb;
    std::string out;
    EXPECT_EQ(RunBoardsim("set shift down"), 0);
    EXPECT_EQ(board::GetSetting("shift"), "down");
    EXPECT_EQ(RunBoardsim("get shift", &out), 0);
    EXPECT_EQ(out, "down\n");
    board::RecordEvent("restart warm");
    board::RecordEvent("registry-clear ok");
    EXPECT_EQ(RunBoardsim("events", &out), 0);
    EXPECT_EQ(out, "restart warm\nregistry-clear ok\n");
    EXPECT_EQ(RunBoardsim("show", &out), 0);
    EXPECT_NE(out.find("version block at 0x00000200: id 1, version 2.3"), std::string::npos) << out;
    EXPECT_NE(out.find("ROM image 0x00080000.."), std::string::npos) << out;
    EXPECT_NE(out.find("Shift: down"), std::string::npos) << out;
    EXPECT_EQ(RunBoardsim("help", &out), 0);
    EXPECT_NE(out.find("hal-restart"), std::string::npos);
    EXPECT_NE(out.find("ends the calling program"), std::string::npos);
    EXPECT_EQ(RunBoardsim("init --blank"), 0);
    EXPECT_EQ(RunBoardsim("show", &out), 0);
    EXPECT_NE(out.find("nothing found"), std::string::npos) << out;
    EXPECT_EQ(board::GetSetting("shift"), "up");  // a new board has default settings
}

// An insert killed after its copy went into the device root but before its
// record was written, and a removal killed after the folder was taken away
// but before the record went: the next insert, removal or init undoes or
// finishes them, so nothing half-done stands in the user's way.
TEST(BoardsimCli, InsertAndRemoveKilledMidwayDoNotBlockTheNext)
{
    ASSERT_TRUE(HaveBoardsim()) << kBoardsim << " is missing: it is built with the tests";
    namespace fs = std::filesystem;
    TempBoard tb;
    const std::string host = tb.dir() + "/host";
    fs::create_directories(host + "/AutoRun");
    std::ofstream(host + "/AutoRun/a.exe") << "x";
    bool traced = false;
    ASSERT_TRUE(KillAfterRename({"insert", "Card", host}, "/rootfs/Card", &traced) || !traced);
    if (!traced)
        GTEST_SKIP() << "no ptrace here";
    ASSERT_TRUE(fs::exists(tb.rootfs() + "/Card/AutoRun/a.exe"));  // killed at the right step
    ASSERT_FALSE(fs::exists(tb.dir() + "/volumes/Card"));
    // A folder of that name that the user made is never taken for the copy.
    fs::create_directories(tb.rootfs() + "/Mine");
    EXPECT_EQ(RunBoardsim("insert Card '" + host + "'"), 0);
    EXPECT_TRUE(fs::exists(tb.dir() + "/volumes/Card"));
    EXPECT_TRUE(fs::exists(tb.rootfs() + "/Card/AutoRun/a.exe"));

    ASSERT_TRUE(KillAfterRename({"remove", "Card"}, "-Card", &traced));
    ASSERT_FALSE(fs::exists(tb.rootfs() + "/Card"));
    ASSERT_TRUE(fs::exists(tb.dir() + "/volumes/Card"));
    EXPECT_EQ(RunBoardsim("remove Card"), 0);  // the removal again: done
    EXPECT_FALSE(fs::exists(tb.dir() + "/volumes/Card"));
    EXPECT_EQ(RunBoardsim("insert Card '" + host + "'"), 0);

    // Init undoes a killed insert too.
    ASSERT_TRUE(KillAfterRename({"insert", "Other", host}, "/rootfs/Other", &traced));
    ASSERT_TRUE(fs::exists(tb.rootfs() + "/Other"));
    EXPECT_EQ(RunBoardsim("init"), 0);
    EXPECT_FALSE(fs::exists(tb.rootfs() + "/Other"));
    EXPECT_TRUE(fs::exists(tb.rootfs() + "/Mine"));
    EXPECT_TRUE(fs::exists(tb.rootfs() + "/Card/AutoRun/a.exe"));
    EXPECT_EQ(RunBoardsim("insert Other '" + host + "'"), 0);
}

// A new board under a running update would let the update finish, and say
// so, in a flash nobody sees again: init refuses while the flash lock is
// held, and --force still creates the board.
TEST(BoardsimCli, InitRefusesWhileTheFlashLockIsHeld)
{
    TempBoard tb;
    ASSERT_EQ(RunBoardsim("set shift down"), 0);  // a change that init undoes
    const std::string lockPath = board::LockFilePath("NorFlash");
    int fd = open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(flock(fd, LOCK_EX), 0);
    std::string out;
    EXPECT_EQ(RunBoardsim("init --blank"), 2);
    EXPECT_EQ(RunBoardsim("get shift", &out), 0);
    EXPECT_NE(out.find("down"), std::string::npos) << out;  // the board as it was

    EXPECT_EQ(RunBoardsim("init --force", &out), 0);
    EXPECT_NE(out.find("board created"), std::string::npos) << out;
    EXPECT_EQ(RunBoardsim("get shift", &out), 0);
    EXPECT_NE(out.find("up"), std::string::npos) << out;
    close(fd);
    EXPECT_EQ(RunBoardsim("init"), 0);  // with the lock free, as ever
}

// An update cut off after its erase leaves the image's header and table of
// contents but erased blocks in its span: show, map and verify call it
// incomplete, where before they drew a whole image with all its modules.
TEST(BoardsimCli, ACutOffImageIsCalledIncomplete)
{
    namespace fs = std::filesystem;
    TempBoard tb;
    std::string show, svg;
    const std::string map = tb.dir() + "/map.svg";
    ASSERT_EQ(RunBoardsim("show", &show), 0);
    EXPECT_EQ(show.find("INCOMPLETE"), std::string::npos) << show;
    ASSERT_EQ(RunBoardsim("map '" + map + "'"), 0);
    svg = ReadAll(map);
    EXPECT_EQ(svg.find("INCOMPLETE"), std::string::npos);
    EXPECT_NE(svg.find("UTC"), std::string::npos);   // the modules' dates

    {   // two blocks inside the running image (0x80000, 1.5 MB) erased
        std::fstream flash(tb.dir() + "/flash.img", std::ios::in | std::ios::out | std::ios::binary);
        flash.seekp(0x100000);
        const std::string erased(2 * 0x40000, '\xFF');
        flash.write(erased.data(), std::streamsize(erased.size()));
        ASSERT_TRUE(flash.good());
    }
    ASSERT_EQ(RunBoardsim("show", &show), 0);
    EXPECT_NE(show.find("INCOMPLETE: 2 blocks"), std::string::npos) << show;
    ASSERT_EQ(RunBoardsim("map '" + map + "'"), 0);
    svg = ReadAll(map);
    EXPECT_NE(svg.find("INCOMPLETE, 2 blocks"), std::string::npos);

    // verify: an image whose place in flash is erased.
    const std::string bin = tb.dir() + "/os.bin";
    ASSERT_TRUE(imagekit::WriteFile(bin, imagekit::OsImageBin(0x80000000, 0x80000)));
    ASSERT_EQ(RunBoardsim("init --blank"), 0);
    std::string out;
    EXPECT_EQ(RunBoardsim("verify '" + bin + "'", &out), 1);
    EXPECT_NE(out.find("INCOMPLETE: 2 blocks"), std::string::npos) << out;
}
