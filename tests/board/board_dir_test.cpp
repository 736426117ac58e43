// Board directory: location, creation, settings, event log, lock files.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <set>
#include <thread>

#include "board/board.h"
#include "board/default_board.h"
#include "tests/support/temp_board.h"

namespace {

std::string ReadAll(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Restores an environment variable when the test ends.
class EnvGuard {
public:
    explicit EnvGuard(const char* name) : name_(name)
    {
        const char* v = std::getenv(name);
        had_ = v != nullptr;
        if (had_)
            old_ = v;
    }
    ~EnvGuard()
    {
        if (had_)
            setenv(name_, old_.c_str(), 1);
        else
            unsetenv(name_);
    }
private:
    const char* name_;
    bool had_ = false;
    std::string old_;
};

std::string MakeTempDir()
{
    std::string p = "/tmp/boardcore-dir-XXXXXX";
    EXPECT_NE(mkdtemp(p.data()), nullptr);
    return p;
}

}  // namespace

TEST(BoardDir, FollowsEnvironment)
{
    EnvGuard a("BOARDSIM_DIR"), b("XDG_STATE_HOME"), c("HOME");
    setenv("BOARDSIM_DIR", "/x/board", 1);
    EXPECT_EQ(board::Dir(), "/x/board");
    EXPECT_EQ(board::FlashImagePath(), "/x/board/flash.img");
    EXPECT_EQ(board::RootFs(), "/x/board/rootfs");
    unsetenv("BOARDSIM_DIR");
    setenv("XDG_STATE_HOME", "/state", 1);
    EXPECT_EQ(board::Dir(), "/state/boardsim/default");
    unsetenv("XDG_STATE_HOME");
    setenv("HOME", "/home/u", 1);
    EXPECT_EQ(board::Dir(), "/home/u/.local/state/boardsim/default");
}

TEST(BoardDir, EnsureCreatesOnceAndKeepsAnExistingBoard)
{
    EnvGuard g("BOARDSIM_DIR");
    std::string base = MakeTempDir();
    std::string dir = base + "/nested/board";
    setenv("BOARDSIM_DIR", dir.c_str(), 1);
    board::CloseAll();
    ASSERT_TRUE(board::Ensure());
    struct stat st;
    ASSERT_EQ(stat((dir + "/flash.img").c_str(), &st), 0);
    EXPECT_EQ(uint64_t(st.st_size), uint64_t(32u << 20));
    // A board that exists is left alone: a mark in its flash survives.
    {
        std::fstream f(dir + "/flash.img", std::ios::in | std::ios::out | std::ios::binary);
        f.seekp(0x1000000);
        f.put(char(0xCC));
    }
    ASSERT_TRUE(board::SetSetting("shift", "down"));
    ASSERT_TRUE(board::Ensure());
    std::ifstream f(dir + "/flash.img", std::ios::binary);
    f.seekg(0x1000000);
    EXPECT_EQ(f.get(), 0xCC);
    EXPECT_EQ(board::GetSetting("shift"), "down");
    board::CloseAll();
    std::filesystem::remove_all(base);
}

TEST(BoardDir, ConcurrentFirstRunsCreateOneSoundBoard)
{
    EnvGuard g("BOARDSIM_DIR");
    std::string base = MakeTempDir();
    setenv("BOARDSIM_DIR", base.c_str(), 1);
    board::CloseAll();
    std::vector<pid_t> kids;
    for (int i = 0; i < 4; ++i) {
        pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0)
            _exit(board::Ensure() ? 0 : 3);
        kids.push_back(pid);
    }
    for (pid_t pid : kids) {
        int status = 0;
        ASSERT_EQ(waitpid(pid, &status, 0), pid);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }
    struct stat st;
    ASSERT_EQ(stat((base + "/flash.img").c_str(), &st), 0);
    EXPECT_EQ(uint64_t(st.st_size), uint64_t(32u << 20));
    std::ifstream f(base + "/flash.img", std::ios::binary);
    char sig[4] = {};
    f.seekg(0x80040);
    f.read(sig, 4);
    EXPECT_EQ(std::string(sig, 4), "ECEC");
    EXPECT_FALSE(std::filesystem::exists(base + "/flash.img.tmp"));
    board::CloseAll();
    std::filesystem::remove_all(base);
}

TEST(BoardSettings, ValidatesKeysAndValues)
{
    TempBoard tb;
    EXPECT_EQ(board::GetSetting("bus"), "32");  // (a run may choose the timing)
    EXPECT_EQ(board::GetSetting("no-such-key", "dflt"), "dflt");
    struct Case {
        const char* key;
        const char* value;
        bool ok;
    } cases[] = {
        {"timing", "scaled", true},          {"timing", "fast", false},
        {"timing-scale", "0.5", true},       {"timing-scale", "0", false},
        {"timing-scale", "-1", false},       {"timing-scale", "2x", false},
        {"bus", "16", true},                 {"bus", "8", false},
        {"fault-erase", "0x80000,262144", true}, {"fault-erase", "0x2000000", false},
        {"fault-busy", "none", true},        {"fault-busy", "0x40000,", false},
        {"shift", "down", true},             {"shift", "pressed", false},
        {"hal-selector0", "0011223344556677", true}, {"hal-selector0", "00112233445566", false},
        {"hal-selector0", "00112233445566zz", false}, {"hal-selector0", "silent", true},
        {"hal-selector5", "80000,1400000,40000", true}, {"hal-selector5", "80000,1400000", false},
        {"hal-version", "1,-2,0x00030002", true}, {"hal-version", "1,2", false},
        {"hal-version", "1,2147483648,0", false},
        // The numbers: decimal or 0x-hex (timing-seed), hex with or without 0x (selector 5).
        {"timing-seed", "0xFFFFFFFF", true}, {"timing-seed", "0x100000000", false},
        {"timing-seed", "4294967296", false}, {"hal-selector5", "0x80000,1400000,0X40000", true},
        {"hal-selector5", "80000,123456789,40000", false}, {"hal-selector5", "80000,,40000", false},
        {"hal-restart", "fail", true},       {"hal-restart", "maybe", false},
        {"registry-flush", "fail", true},    {"stores", "DSK0:,DSK1:", true},
        {"stores", "DSK0:,", false},         {"stores", "a/b", false},
        {"colour", "red", false},
    };
    for (const Case& c : cases) {
        uint64_t before = board::SettingsGeneration();
        std::string old = board::GetSetting(c.key, "unset");
        EXPECT_EQ(board::SetSetting(c.key, c.value), c.ok) << c.key << " " << c.value;
        if (c.ok) {
            EXPECT_EQ(board::GetSetting(c.key), c.value);
            EXPECT_GT(board::SettingsGeneration(), before);
        } else {
            EXPECT_EQ(board::GetSetting(c.key, "unset"), old) << c.key;
        }
    }
    // Every default of the table passes its own validation.
    for (const board::SettingInfo& s : board::SettingKeys())
        EXPECT_TRUE(board::ValidSetting(s.key, s.def, nullptr)) << s.key;
}

TEST(BoardSettings, SeesChangesMadeByAnotherProgram)
{
    TempBoard tb;
    EXPECT_EQ(board::GetSetting("shift"), "up");
    uint64_t gen = board::SettingsGeneration();
    // Another process rewrites the file (a new file: new inode).
    std::string path = tb.dir() + "/settings";
    {
        std::ofstream f(path + ".new");
        f << "shift down\n# comment\n  bus   16  \n";
    }
    std::filesystem::rename(path + ".new", path);
    EXPECT_EQ(board::GetSetting("shift"), "down");
    EXPECT_EQ(board::GetSetting("bus"), "16");
    EXPECT_EQ(board::GetSetting("timing", "unset"), "unset");
    EXPECT_GT(board::SettingsGeneration(), gen);
}

TEST(BoardSettings, OffsetListParsing)
{
    std::vector<uint32_t> v;
    EXPECT_TRUE(board::ParseOffsetList("none", &v));
    EXPECT_TRUE(v.empty());
    EXPECT_TRUE(board::ParseOffsetList("0x80000,16,0X1FFFFFF", &v));
    EXPECT_EQ(v, (std::vector<uint32_t>{0x80000, 16, 0x1FFFFFF}));
    for (const char* bad : {"", ",", "0x", "12a", "0x80000,,1", "99999999999", "-1", "0x2000000"})
        EXPECT_FALSE(board::ParseOffsetList(bad, &v)) << bad;
    EXPECT_TRUE(v.empty());
}

TEST(BoardFiles, ReplaceFileSwapsWholeContentAndNamesWhatFailed)
{
    TempBoard tb;
    const std::string path = tb.dir() + "/note";
    std::string why;
    ASSERT_TRUE(board::ReplaceFile(path, std::string("first\0x", 7), &why)) << why;
    ASSERT_TRUE(board::ReplaceFile(path, "second", &why)) << why;
    EXPECT_EQ(ReadAll(path), "second");
    EXPECT_FALSE(std::filesystem::exists(path + ".tmp"));

    // The temporary file cannot be created: the message names it.
    const std::string lost = tb.dir() + "/no-such-folder/note";
    EXPECT_FALSE(board::ReplaceFile(lost, "x", &why));
    EXPECT_EQ(why.rfind(lost + ".tmp: ", 0), 0u) << why;
    // It cannot take the place of a folder: the message names the target,
    // and nothing is left behind.
    const std::string folder = tb.dir() + "/rootfs";
    EXPECT_FALSE(board::ReplaceFile(folder, "x", &why));
    EXPECT_EQ(why.rfind(folder + ": ", 0), 0u) << why;
    EXPECT_FALSE(std::filesystem::exists(folder + ".tmp"));
    EXPECT_TRUE(std::filesystem::is_directory(folder));
}

TEST(BoardEvents, AppendInOrderOneLineEach)
{
    TempBoard tb;
    EXPECT_TRUE(board::Events().empty());
    board::RecordEvent("restart warm");
    board::RecordEvent("two\nlines");
    board::RecordEvent("restart cold");
    EXPECT_EQ(board::Events(), (std::vector<std::string>{"restart warm", "two lines", "restart cold"}));
}

TEST(BoardEvents, ThreadedWritersNeverInterleave)
{
    TempBoard tb;
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([t] {
            for (int i = 0; i < 50; ++i)
                board::RecordEvent("writer " + std::to_string(t) + " line " + std::to_string(i) +
                                   std::string(100, 'x'));
        });
    for (auto& th : threads)
        th.join();
    std::vector<std::string> ev = board::Events();
    ASSERT_EQ(ev.size(), 200u);
    std::set<std::string> unique(ev.begin(), ev.end());
    EXPECT_EQ(unique.size(), 200u);
    for (const std::string& e : ev)
        EXPECT_EQ(e.rfind("writer ", 0), 0u) << e;
}

TEST(BoardLocks, NamesStayInsideTheLocksFolder)
{
    TempBoard tb;
    std::string locks = tb.dir() + "/locks/";
    EXPECT_EQ(board::LockFilePath("NorFlash"), locks + "NorFlash");
    std::set<std::string> seen;
    for (const char* name : {"../escape", "a/b", "a_b", "a%2Fb", ".", "..", "", "Nor Flash", "nor flash"}) {
        std::string p = board::LockFilePath(name);
        ASSERT_EQ(p.rfind(locks, 0), 0u) << name;
        std::string leaf = p.substr(locks.size());
        EXPECT_EQ(leaf.find('/'), std::string::npos) << name;
        EXPECT_NE(leaf, ".");
        EXPECT_NE(leaf, "..");
        EXPECT_TRUE(seen.insert(p).second) << "collision for " << name;
    }
    std::string longName(1000, 'n');
    std::string p = board::LockFilePath(longName);
    EXPECT_LE(p.size() - locks.size(), 255u);
    EXPECT_NE(p, board::LockFilePath(longName + "m"));
}
