// The board's own files: no lock outlives its use, a device lock left by an
// ended program never hangs the others, a board file of the wrong kind is
// refused, a board with files missing is not replaced, a full disk is an
// error rather than a crash, and what cannot be recorded is reported.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <filesystem>
#include <fstream>
#include <memory>

#include "board/board.h"
#include "board/bus.h"
#include "board/flash_device.h"
#include "board/flash_state.h"
#include "board/hal.h"
#include "board/volumes.h"
#include "platform/clock.h"
#include "platform/host/clock.h"
#include "tests/support/temp_board.h"

using namespace board;
namespace fs = std::filesystem;

namespace {

std::string StatePath() { return Dir() + "/flash.state"; }

std::string ReadAll(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// A child process that runs body and then waits until the pipe closes:
// another program that keeps what body opened.
class Holder {
public:
    template <class F>
    explicit Holder(F body)
    {
        int ready[2], hold[2];
        EXPECT_EQ(pipe(ready), 0);
        EXPECT_EQ(pipe(hold), 0);
        pid_ = fork();
        if (pid_ == 0) {
            close(ready[0]);
            close(hold[1]);
            body();
            char c = 1;
            if (write(ready[1], &c, 1) != 1)
                _exit(2);
            while (read(hold[0], &c, 1) > 0) {
            }
            _exit(0);
        }
        close(ready[1]);
        close(hold[0]);
        hold_ = hold[1];
        char c;
        EXPECT_EQ(read(ready[0], &c, 1), 1);
        close(ready[0]);
    }
    ~Holder() { End(); }
    void End()
    {
        if (hold_ >= 0) {
            close(hold_);
            hold_ = -1;
            waitpid(pid_, nullptr, 0);
        }
    }
    pid_t pid() const { return pid_; }
private:
    pid_t pid_ = -1;
    int hold_ = -1;
};

class BoardFilesTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        OsUseVirtualClock(0, 1);
        board_ = std::make_unique<TempBoard>(true);
    }
    void TearDown() override
    {
        board_.reset();
        OsUseRealClock();
    }
    std::string Path(const std::string& name) const { return board_->dir() + "/" + name; }
    std::unique_ptr<TempBoard> board_;
};

// Whether another open of path could take an exclusive flock at once.
bool FlockFree(const std::string& path)
{
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    bool free = flock(fd, LOCK_EX | LOCK_NB) == 0;
    close(fd);
    return free;
}

TEST_F(BoardFilesTest, AMappedFlashHoldsNoLockOnItsFiles)
{
    // A program that keeps the flash mapped (an open dialog after "BSP
    // Version") must not stop another from mapping it.
    BusRead32(0);
    EXPECT_TRUE(FlockFree(FlashImagePath()));
    EXPECT_TRUE(FlockFree(StatePath()));
    FlashClose();
    Holder other([] { BusRead32(0); });
    EXPECT_TRUE(FlockFree(FlashImagePath()));
    EXPECT_EQ(BusRead32(0), 0xFFFFFFFFu);
    EXPECT_EQ(FlashUsers(), 1);
    other.End();
    EXPECT_EQ(FlashUsers(), 0);
}

flash::SharedState* MapStateForTest()
{
    int fd = open(StatePath().c_str(), O_RDWR);
    if (fd < 0)
        return nullptr;
    void* p = mmap(nullptr, sizeof(flash::SharedState), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    close(fd);
    return p == MAP_FAILED ? nullptr : static_cast<flash::SharedState*>(p);
}

TEST_F(BoardFilesTest, ADeviceLockWordNamingARunningPidIsStillTakenOver)
{
    // The word of a program killed midway, whose pid now belongs to another
    // running process (or to one of another pid namespace).
    BusRead32(0);
    Holder unrelated([] {});
    flash::SharedState* st = MapStateForTest();
    ASSERT_NE(st, nullptr);
    for (uint32_t stale : {uint32_t(unrelated.pid()), uint32_t(getppid()), 1u}) {
        if ((stale & (flash::kOwnerSlots - 1)) == flash::kOwnerSlots - 1)
            continue;  // the slot of programs without one: liveness by pid
        std::atomic_ref<uint32_t>(st->lock).store(stale);
        EXPECT_EQ(BusRead32(0), 0xFFFFFFFFu);  // returns instead of spinning for ever
        EXPECT_EQ(std::atomic_ref<uint32_t>(st->lock).load(), 0u);
    }
    munmap(st, sizeof *st);
}

TEST_F(BoardFilesTest, TheOwnerOfTheDeviceLockIsAliveExactlyWhileItRuns)
{
    FlashClose();
    int tokenPipe[2];
    ASSERT_EQ(pipe(tokenPipe), 0);
    auto other = std::make_unique<Holder>([&] {
        BusRead32(0);
        uint32_t token = flash::g_owner.load();
        if (write(tokenPipe[1], &token, sizeof token) != sizeof token)
            _exit(3);
    });
    uint32_t token = 0;
    ASSERT_EQ(read(tokenPipe[0], &token, sizeof token), ssize_t(sizeof token));
    close(tokenPipe[0]);
    close(tokenPipe[1]);
    BusRead32(0);
    flash::Context* c = &flash::g_ctx;
    EXPECT_NE(token, 0u);
    EXPECT_NE(token, flash::g_owner.load());
    EXPECT_TRUE(flash::OwnerAlive(*c, token));
    other.reset();
    EXPECT_FALSE(flash::OwnerAlive(*c, token));
    // A later program in the same slot is another owner.
    Holder next([] { BusRead32(0); });
    EXPECT_FALSE(flash::OwnerAlive(*c, token));
}

TEST_F(BoardFilesTest, BoardFilesOfTheWrongKindAreRefusedByName)
{
    BusRead32(0);
    FlashClose();
    std::string why;
    // A FIFO in place of a text file: refused at once, never waited on.
    ASSERT_EQ(unlink(Path("events").c_str()), 0);
    ASSERT_EQ(mkfifo(Path("events").c_str(), 0644), 0);
    EXPECT_FALSE(RecordEvent("restart warm"));
    std::string text;
    EXPECT_FALSE(ReadBoardFile("events", &text, &why));
    EXPECT_NE(why.find("events"), std::string::npos) << why;
    EXPECT_NE(why.find("FIFO"), std::string::npos) << why;
    // The lost event is kept for boardsim show.
    std::vector<std::string> damage = BoardDamage();
    ASSERT_EQ(damage.size(), 1u);
    EXPECT_NE(damage[0].find("1 event could not be recorded, the last \"restart warm\""), std::string::npos)
        << damage[0];

    // flash.state as a folder: the error names flash.state.
    ASSERT_EQ(unlink(StatePath().c_str()), 0);
    ASSERT_EQ(mkdir(StatePath().c_str(), 0755), 0);
    EXPECT_LT(OpenBoardFile("flash.state", O_RDWR | O_CREAT, &why), 0);
    EXPECT_NE(why.find("flash.state is a folder"), std::string::npos) << why;
    uint32_t word = 0;
    FlashClose();
    EXPECT_FALSE(FlashPeek(&word, 0, 4));
    ASSERT_EQ(rmdir(StatePath().c_str()), 0);

    // flash.img as a link to /dev/zero: data would go nowhere.
    ASSERT_EQ(rename(FlashImagePath().c_str(), Path("flash.keep").c_str()), 0);
    ASSERT_EQ(symlink("/dev/zero", FlashImagePath().c_str()), 0);
    EXPECT_FALSE(Ensure());
    EXPECT_NE(BoardProblem().find("flash.img is a link out of the board folder"), std::string::npos)
        << BoardProblem();
    FlashClose();
    EXPECT_FALSE(FlashPeek(&word, 0, 4));
    // A link that stays inside the board folder is fine.
    ASSERT_EQ(unlink(FlashImagePath().c_str()), 0);
    ASSERT_EQ(symlink("flash.keep", FlashImagePath().c_str()), 0);
    EXPECT_TRUE(Ensure()) << BoardProblem();
    EXPECT_TRUE(FlashPeek(&word, 0, 4));
}

TEST_F(BoardFilesTest, OnlyAnEmptyFolderBecomesANewBoard)
{
    ASSERT_TRUE(SetSetting("shift", "down"));
    const std::string settings = ReadAll(Path("settings"));
    ASSERT_EQ(unlink(FlashImagePath().c_str()), 0);
    FlashClose();
    EXPECT_FALSE(Ensure());
    EXPECT_NE(BoardProblem().find("flash.img is missing"), std::string::npos) << BoardProblem();
    EXPECT_NE(BoardProblem().find("boardsim init"), std::string::npos);
    EXPECT_FALSE(fs::exists(FlashImagePath()));
    EXPECT_EQ(ReadAll(Path("settings")), settings);
    uint32_t word = 0;
    EXPECT_FALSE(FlashPeek(&word, 0, 4));

    // A folder that holds only the board's locks and state is empty.
    for (const char* name : {"settings", "registry.reg", "events", "flash.state"})
        unlink(Path(name).c_str());
    fs::remove_all(board_->rootfs());
    EXPECT_TRUE(Ensure());
    EXPECT_TRUE(BoardProblem().empty());
    EXPECT_EQ(GetSetting("shift"), "up");
}

TEST_F(BoardFilesTest, DamagedSettingsReadAsDefaultsAndAreNotRewrittenInPart)
{
    ASSERT_TRUE(SetSetting("bus", "16"));
    std::ofstream(Path("settings"), std::ios::app)
        << "fault-erase 0x80000,garbage\nhal-selector5 zz,1,\nshift down\n";
    const std::string before = ReadAll(Path("settings"));
    EXPECT_EQ(GetSetting("bus"), "16");
    EXPECT_EQ(GetSetting("shift"), "down");
    EXPECT_EQ(GetSetting("fault-erase", "dflt"), "dflt");
    uint32_t w[3];
    EXPECT_TRUE(HalSelector5(w));  // the default block, not a half-parsed one
    EXPECT_EQ(w[0], 0x80000u);
    std::string why;
    EXPECT_FALSE(SetSetting("timing", "scaled", &why));
    EXPECT_NE(why.find("settings line"), std::string::npos) << why;
    EXPECT_NE(why.find("fault-erase"), std::string::npos) << why;
    EXPECT_EQ(ReadAll(Path("settings")), before);
    std::vector<std::string> damage = BoardDamage();
    ASSERT_EQ(damage.size(), 2u);
    EXPECT_NE(damage[1].find("hal-selector5"), std::string::npos) << damage[1];
    // Setting a damaged key mends its line; the other damaged line stays
    // as it was.
    ASSERT_TRUE(SetSetting("fault-erase", "none", &why)) << why;
    EXPECT_NE(ReadAll(Path("settings")).find("hal-selector5 zz,1,\n"), std::string::npos);
    ASSERT_FALSE(SetSetting("shift", "up", &why));
    ASSERT_TRUE(SetSetting("hal-selector5", "silent", &why)) << why;
    ASSERT_TRUE(SetSetting("shift", "up", &why)) << why;
    EXPECT_EQ(GetSetting("bus"), "16");
    EXPECT_TRUE(BoardDamage().empty());
}

// A NUL in a line makes it damaged (a validator reading it as C text
// would see only its start), and mending another line writes it back
// whole, not cut at the NUL; a UTF-8 byte-order mark is no part of a key.
TEST_F(BoardFilesTest, SettingsLinesWithNulsOrAMarkAreNeverCut)
{
    const std::string odd("timing-scale 2\0junk\nunknown x\0y\nshift sideways\n", 47);
    std::ofstream(Path("settings"), std::ios::binary | std::ios::trunc) << "\xEF\xBB\xBF" "bus 16\n" << odd;
    EXPECT_EQ(GetSetting("bus"), "16");
    EXPECT_EQ(GetSetting("timing-scale", "dflt"), "dflt");
    std::vector<std::string> damage = BoardDamage();
    ASSERT_EQ(damage.size(), 3u);
    EXPECT_NE(damage[0].find("settings line 2: a NUL byte in the line"), std::string::npos) << damage[0];
    std::string why;
    ASSERT_TRUE(SetSetting("shift", "up", &why)) << why;
    const std::string after = ReadAll(Path("settings"));
    EXPECT_NE(after.find(std::string("timing-scale 2\0junk\n", 20)), std::string::npos);
    EXPECT_NE(after.find(std::string("unknown x\0y\n", 12)), std::string::npos);
    EXPECT_EQ(GetSetting("shift"), "up");
}

// The message about a damaged line quotes a bounded, printable part of it:
// a megabyte line or a terminal's escape sequence is never echoed whole.
TEST_F(BoardFilesTest, ADamagedLineIsQuotedShortAndPrintable)
{
    std::ofstream(Path("settings"), std::ios::binary | std::ios::trunc)
        << "shift \x1b]0;pwned\x07" << std::string(1 << 20, 'x') << "\n\x1b[2J 1\n";
    std::vector<std::string> damage = BoardDamage();
    ASSERT_EQ(damage.size(), 2u);
    for (const std::string& d : damage) {
        EXPECT_LT(d.size(), 400u);
        EXPECT_EQ(d.find('\x1b'), std::string::npos) << d;
    }
    EXPECT_NE(damage[0].find("line 1: bad value \"\\x1B]0;pwned\\x07xx"), std::string::npos) << damage[0];
    EXPECT_NE(damage[0].find("(1048586 bytes)"), std::string::npos) << damage[0];
    EXPECT_NE(damage[1].find("line 2: unknown key \"\\x1B[2J\""), std::string::npos) << damage[1];
}

TEST_F(BoardFilesTest, ARestartThatCannotBeLoggedStillRestarts)
{
    static std::atomic<int> restarts{0};
    restarts = 0;
    SetRestartHook([](bool) { ++restarts; });
    ASSERT_EQ(unlink(Path("events").c_str()), 0);
    ASSERT_EQ(mkfifo(Path("events").c_str(), 0644), 0);
    EXPECT_EQ(HalRequest(kHalRestart, nullptr, 0, nullptr, 0, nullptr), 1);
    SetRestartHook(nullptr);
    EXPECT_EQ(restarts.load(), 1);
    ASSERT_FALSE(BoardDamage().empty());
    EXPECT_NE(BoardDamage().back().find("\"restart warm\""), std::string::npos);
}

TEST_F(BoardFilesTest, InitWorksWhileAnotherProgramMapsTheFlash)
{
    FlashClose();
    Holder other([] { BusWrite32(0, 0x00400040); BusWrite32(0, 0x12345678); });
    EXPECT_EQ(FlashUsers(), 1);
    ASSERT_TRUE(Init(true));
    // The new board knows nothing of the old one's programs or contents.
    EXPECT_EQ(FlashUsers(), 0);
    EXPECT_EQ(BusRead32(0), 0xFFFFFFFFu);

    // boardsim init tells what such a program sees.
    FlashClose();
    Holder again([] { BusRead32(0); });
    FILE* p = popen(("'" + std::string(TEST_BIN_DIR) + "/boardsim' init --blank 2>&1").c_str(), "r");
    ASSERT_NE(p, nullptr);
    std::string said;
    char buf[512];
    for (size_t n; (n = fread(buf, 1, sizeof buf, p)) > 0;)
        said.append(buf, n);
    EXPECT_EQ(pclose(p), 0) << said;
    EXPECT_NE(said.find("1 running program still sees the old flash until it ends"), std::string::npos) << said;
}

TEST_F(BoardFilesTest, WhatAKilledInsertLeftIsCleanedAtTheNextInsert)
{
    const std::string leftover = Path("staging/insert-999999-Card");
    fs::create_directories(leftover + "/AutoRun");
    std::ofstream(leftover + "/AutoRun/half.exe") << "x";
    const std::string host = Path("host");
    fs::create_directories(host);
    ASSERT_EQ(VolumeInsert("Other", host), 0);
    EXPECT_FALSE(fs::exists(leftover));
    fs::create_directories(leftover);
    ASSERT_TRUE(Init(true));
    EXPECT_FALSE(fs::exists(leftover));
}

// A full disk when the device state must be created: an error that names
// the file and the cause, never a SIGBUS. Needs a small file system of its
// own (a tmpfs in a mount namespace of the child).
TEST_F(BoardFilesTest, AFullDiskIsAnErrorNotACrash)
{
    const std::string small = Path("small");
    fs::create_directories(small);
    int err[2];
    ASSERT_EQ(pipe(err), 0);
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        dup2(err[1], 2);
        if (unshare(CLONE_NEWNS) != 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
            mount("tmpfs", small.c_str(), "tmpfs", 0, "size=34m") != 0)
            _exit(77);
        fs::copy(FlashImagePath(), small + "/flash.img");
        fs::copy(Path("settings"), small + "/settings");
        fs::copy(Path("registry.reg"), small + "/registry.reg");
        fs::create_directories(small + "/rootfs");
        {
            // Fill what is left.
            std::ofstream fill(small + "/fill", std::ios::binary);
            std::string chunk(4096, 'x');
            while (fill.write(chunk.data(), chunk.size()))
                ;
        }
        setenv("BOARDSIM_DIR", small.c_str(), 1);
        CloseAll();
        uint32_t word = 0;
        bool peeked = FlashPeek(&word, 0, 4);
        _exit(peeked ? 1 : 0);
    }
    close(err[1]);
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    std::string said;
    char buf[4096];
    for (ssize_t n; (n = read(err[0], buf, sizeof buf)) > 0;)
        said.append(buf, size_t(n));
    close(err[0]);
    if (WIFEXITED(status) && WEXITSTATUS(status) == 77)
        GTEST_SKIP() << "no tmpfs of our own here";
    EXPECT_TRUE(WIFEXITED(status)) << "ended by signal " << WTERMSIG(status);
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_NE(said.find("flash.state: No space left on device"), std::string::npos) << "[" << said << "]";
}

}  // namespace
