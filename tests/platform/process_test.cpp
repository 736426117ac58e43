// Processes of the POSIX backend: programs of the device started for real
// (shell scripts in the board's rootfs that leave a mark).
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "platform/process.h"
#include "platform/sync.h"
#include "tests/support/temp_board.h"

namespace fs = std::filesystem;

namespace {

void Write(const std::string& path, const std::string& text, int mode)
{
    fs::create_directories(fs::path(path).parent_path());
    std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
    chmod(path.c_str(), static_cast<mode_t>(mode));
}

std::string Read(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

// Waits (with a deadline) until path exists and its writer is done: the
// scripts write name.tmp and rename it.
bool WaitFor(const std::string& path)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!fs::exists(path)) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

class ProcessTest : public ::testing::Test {
protected:
    TempBoard board;
    std::string root = board.rootfs();
    std::string out = board.dir() + "/out";

    // \bin\args.sh writes its arguments, one a line between brackets.
    void SetUp() override
    {
        Write(root + "/bin/args.sh",
              "#!/bin/sh\nfor a in \"$@\"; do printf '[%s]\\n' \"$a\"; done > '" + out + ".tmp'\n"
              "mv '" + out + ".tmp' '" + out + "'\n",
              0755);
    }

    std::string ArgsOf(const wchar_t* args)
    {
        fs::remove(out);
        OsProcessInformation info{};
        EXPECT_EQ(OsCreateProcess(L"\\bin\\args.sh", args, &info), 1);
        OsCloseHandle(info.process);
        OsCloseHandle(info.thread);
        EXPECT_TRUE(WaitFor(out));
        return Read(out);
    }
};

TEST_F(ProcessTest, ArgumentsAreSplitAsTheDeviceRuntimeDoes)
{
    EXPECT_EQ(ArgsOf(nullptr), "");
    EXPECT_EQ(ArgsOf(L"one  two\tthree"), "[one]\n[two]\n[three]\n");
    EXPECT_EQ(ArgsOf(L"\"a b\" c\"d e\"f"), "[a b]\n[cd ef]\n");
    EXPECT_EQ(ArgsOf(L"a\\\\b \\\"q\\\" x\\\\\"y z\""), "[a\\\\b]\n[\"q\"]\n[x\\y z]\n");
    EXPECT_EQ(ArgsOf(L"\"\" end"), "[]\n[end]\n");
    EXPECT_EQ(ArgsOf(L"\"in \"\"quotes\"\"\""), "[in \"quotes\"]\n");
    EXPECT_EQ(ArgsOf(L"  "), "");
    EXPECT_EQ(ArgsOf(L"caf\u00e9"), "[caf\xc3\xa9]\n");
}

TEST_F(ProcessTest, ProgramRunsDetachedWithNothingOfOurs)
{
    // The program reports its session, its descriptors, its signal state
    // and its working folder, one file each, and then the mark.
    Write(root + "/bin/report.sh",
          "#!/bin/sh\n"
          "ls /proc/self/fd > '" + out + ".fds'\n"
          "readlink /proc/$$/fd/3 > '" + out + ".three'\n"
          "[ /proc/$$/fd/0 -ef /dev/null ] && [ /proc/$$/fd/1 -ef /dev/null ] &&"
          " [ /proc/$$/fd/2 -ef /dev/null ] && echo null > '" + out + ".std'\n"
          "grep -E '^Sig(Blk|Ign)' /proc/self/status > '" + out + ".sig'\n"
          "cut -d' ' -f6 /proc/self/stat > '" + out + ".sid'\n"
          "pwd > '" + out + ".pwd'\n"
          "touch '" + out + "'\n",
          0755);
    // Our own state that must not leak into the program.
    int keep[2];
    ASSERT_EQ(pipe(keep), 0);   // not close-on-exec on purpose
    sigset_t blocked, saved;
    sigemptyset(&blocked);
    sigaddset(&blocked, SIGUSR1);
    pthread_sigmask(SIG_BLOCK, &blocked, &saved);
    struct sigaction ignore {}, old {};
    ignore.sa_handler = SIG_IGN;
    sigaction(SIGUSR2, &ignore, &old);

    OsProcessInformation info{};
    const int started = OsCreateProcess(L"\\BIN\\Report.sh", nullptr, &info);

    sigaction(SIGUSR2, &old, nullptr);
    pthread_sigmask(SIG_SETMASK, &saved, nullptr);
    close(keep[0]);
    close(keep[1]);
    ASSERT_EQ(started, 1);
    EXPECT_NE(info.process, nullptr);
    EXPECT_NE(info.processId, 0u);
    EXPECT_EQ(OsCloseHandle(info.process), 1);
    EXPECT_EQ(OsCloseHandle(info.thread), 1);

    // Never left a zombie: the intermediate child was reaped, the program
    // itself is no child of ours.
    int status;
    EXPECT_EQ(waitpid(-1, &status, WNOHANG), -1);
    EXPECT_EQ(errno, ECHILD);

    ASSERT_TRUE(WaitFor(out));
    EXPECT_NE(Read(out + ".sid"), std::to_string(getsid(0)) + "\n");
    // Descriptors of ls, started by the program: 0, 1, 2, 3 (the script
    // itself, which its interpreter reads through /dev/fd/3: the very file
    // that was checked) and the one ls opens for the listing; a descriptor
    // of ours would push that to 5.
    EXPECT_EQ(Read(out + ".fds"), "0\n1\n2\n3\n4\n");
    std::string three = Read(out + ".three");
    ASSERT_FALSE(three.empty());
    three.pop_back();
    EXPECT_EQ(fs::canonical(three), fs::canonical(root + "/bin/report.sh"));
    EXPECT_EQ(Read(out + ".std"), "null\n");
    EXPECT_EQ(Read(out + ".sig"), "SigBlk:\t0000000000000000\nSigIgn:\t0000000000000000\n");
    std::string pwd = Read(out + ".pwd");
    ASSERT_FALSE(pwd.empty());
    pwd.pop_back();
    EXPECT_EQ(fs::canonical(pwd), fs::canonical(root));
}

TEST_F(ProcessTest, OnlyRegularFilesOfTheDeviceAreStarted)
{
    OsProcessInformation info{};
    const std::string outside = board.dir() + "/outside.sh";
    Write(outside, "#!/bin/sh\ntouch '" + out + "'\n", 0755);
    fs::create_symlink(outside, root + "/bin/link.sh");
    fs::create_directories(root + "/bin/folder.exe");
    ASSERT_EQ(mkfifo((root + "/bin/fifo.exe").c_str(), 0755), 0);
    Write(root + "/bin/plain.txt", "#!/bin/sh\ntouch '" + out + "'\n", 0644);   // not executable
    Write(root + "/bin/garbage.exe", std::string(64, '\xCC'), 0755);   // exec cannot run it

    EXPECT_EQ(OsCreateProcess(L"\\bin\\missing.exe", nullptr, &info), 0);
    EXPECT_EQ(OsCreateProcess(L"\\bin\\link.sh", nullptr, &info), 0);
    EXPECT_EQ(OsCreateProcess(L"\\bin\\folder.exe", nullptr, &info), 0);
    EXPECT_EQ(OsCreateProcess(L"\\bin\\fifo.exe", nullptr, &info), 0);
    EXPECT_EQ(OsCreateProcess(L"\\bin\\plain.txt", nullptr, &info), 0);
    EXPECT_EQ(OsCreateProcess(L"\\bin\\garbage.exe", nullptr, &info), 0);
    EXPECT_EQ(OsCreateProcess(L"", nullptr, &info), 0);
    EXPECT_EQ(OsCreateProcess(nullptr, nullptr, &info), 0);
    EXPECT_EQ(info.process, nullptr);
    // A program is always the device's: a host path is taken from the
    // device root, so a host program cannot be started.
    EXPECT_EQ(OsCreateProcess(std::wstring(outside.begin(), outside.end()).c_str(), nullptr, &info),
              0);
    EXPECT_EQ(OsCreateProcess(L"\\..\\outside.sh", nullptr, &info), 0);
    int status;
    EXPECT_EQ(waitpid(-1, &status, WNOHANG), -1);   // no child left behind by the failures

    // A name without a leading separator is taken from the root.
    ASSERT_EQ(OsCreateProcess(L"bin\\args.sh", L"rel", &info), 1);
    OsCloseHandle(info.process);
    OsCloseHandle(info.thread);
    ASSERT_TRUE(WaitFor(out));
    EXPECT_EQ(Read(out), "[rel]\n");
}

TEST_F(ProcessTest, ABareNameIsLookedForInWindowsThenInTheRoot)
{
    // Each script writes its own place (a script sees itself as /dev/fd/3).
    auto script = [&](const std::string& place) {
        Write(root + "/" + place,
              "#!/bin/sh\nprintf '%s' '" + place + "' > '" + out + ".tmp'\nmv '" + out + ".tmp' '" +
                  out + "'\n",
              0755);
    };
    script("Windows/tool.exe");
    script("tool.exe");
    script("rooted.exe");
    script("Windows/plain");
    auto started = [&](const wchar_t* name) {
        fs::remove(out);
        OsProcessInformation info{};
        if (OsCreateProcess(name, nullptr, &info) != 1) return std::string("(not started)");
        OsCloseHandle(info.process);
        OsCloseHandle(info.thread);
        return WaitFor(out) ? Read(out) : std::string();
    };
    EXPECT_EQ(started(L"TOOL.EXE"), "Windows/tool.exe");
    EXPECT_EQ(started(L"tool"), "Windows/tool.exe");   // ".exe" assumed
    EXPECT_EQ(started(L"rooted"), "rooted.exe");
    EXPECT_EQ(started(L"plain"), "(not started)");     // "plain.exe" is nowhere
    EXPECT_EQ(started(L"plain."), "(not started)");
}

}  // namespace
