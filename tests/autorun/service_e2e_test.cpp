// The autorun program end to end: the built autorun and boardsim binaries
// on a temporary board, with real volumes and real programs.
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "board/board.h"
#include "board/registry_store.h"
#include "board/volumes.h"
#include "tests/support/temp_board.h"
#include "tests/autorun/test_util.h"

using namespace autorun_test;

namespace {

const std::string kBin = TEST_BIN_DIR;

// How soon after an insert the volume's programs must have run. A second
// in an ordinary build; sanitizers make every program start (boardsim's,
// the service's forks) several times slower, and CI runs them on a loaded
// machine, so there the bound is wider; the ordinary build keeps the
// one-second promise.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define AUTORUN_TEST_SANITIZED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define AUTORUN_TEST_SANITIZED 1
#endif
#endif
#ifdef AUTORUN_TEST_SANITIZED
constexpr long kPromptMs = 4000;
#else
constexpr long kPromptMs = 1000;
#endif

// With tty, the program runs in a session of its own whose controlling
// terminal (and standard input and error) is that terminal.
pid_t Spawn(const std::vector<std::string>& args, const std::string& log,
            const std::string& tty = "")
{
    std::vector<char*> argv;
    std::vector<std::string> copy = args;
    for (std::string& a : copy) argv.push_back(a.data());
    argv.push_back(nullptr);
    const pid_t pid = fork();
    if (pid == 0) {
        if (!tty.empty()) setsid();
        const int in = tty.empty() ? open("/dev/null", O_RDONLY) : open(tty.c_str(), O_RDWR);
        const int out = open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
        dup2(in, 0);
        dup2(out, 1);
        dup2(tty.empty() ? out : in, 2);
        execv(argv[0], argv.data());
        _exit(127);
    }
    return pid;
}

int RunTool(const std::vector<std::string>& args, const std::string& log)
{
    const pid_t pid = Spawn(args, log);
    int status = 0;
    if (pid < 0 || waitpid(pid, &status, 0) != pid) return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string TaskFile(pid_t pid, const std::string& tid, const std::string& name)
{
    return ReadFile("/proc/" + std::to_string(pid) + "/task/" + tid + "/" + name);
}

long VoluntarySwitches(pid_t pid)
{
    const std::string status = TaskFile(pid, std::to_string(pid), "status");
    const size_t at = status.find("voluntary_ctxt_switches:");
    return at == std::string::npos ? -1 : std::stol(status.substr(at + 24));
}

// Whether the thread sleeps in poll()/ppoll() without a time-out.
bool BlockedForever(pid_t pid, const std::string& tid)
{
    std::vector<std::string> f;
    std::stringstream s(TaskFile(pid, tid, "syscall"));
    for (std::string w; s >> w;) f.push_back(w);
    if (f.size() < 4) return false;
    const long nr = std::stol(f[0]);
    // A sleep that a signal interrupted goes on as restart_syscall, which
    // shows no arguments.
#if defined(__x86_64__)
    if (nr == 7) return f[3] == "0xffffffffffffffff" || f[3] == "0xffffffff";
    if (nr == 271) return f[3] == "0x0";
    if (nr == 219) return true;
#elif defined(__aarch64__)
    if (nr == 73) return f[3] == "0x0";
    if (nr == 128) return true;
#endif
    return false;
}

// ThreadSanitizer's runtime keeps a thread of its own that wakes now and
// then; it is none of the service's.
bool SanitizerThread(pid_t pid, const std::string& tid)
{
#if defined(__SANITIZE_THREAD__) && defined(__x86_64__)
    std::stringstream s(TaskFile(pid, tid, "syscall"));
    long nr = -1;
    s >> nr;
    return tid != std::to_string(pid) && (nr == 35 || nr == 230);
#else
    (void)pid;
    (void)tid;
    return false;
#endif
}

std::vector<std::string> Threads(pid_t pid)
{
    std::vector<std::string> out;
    std::error_code ec;
    for (const auto& e : fs::directory_iterator("/proc/" + std::to_string(pid) + "/task", ec))
        out.push_back(e.path().filename().string());
    return out;
}

// Whether every thread of the process sleeps without a time-out.
bool AllBlocked(pid_t pid)
{
    const std::vector<std::string> threads = Threads(pid);
    if (threads.empty()) return false;
    for (const std::string& t : threads)
        if (!BlockedForever(pid, t) && !SanitizerThread(pid, t)) return false;
    return true;
}

size_t OpenDescriptors(pid_t pid)
{
    size_t n = 0;
    for (const auto& e : fs::directory_iterator("/proc/" + std::to_string(pid) + "/fd")) {
        (void)e;
        ++n;
    }
    return n;
}

class ServiceEndToEnd : public ::testing::Test {
protected:
    TempBoard board;
    std::string root = board.rootfs();
    std::string marks = board.dir() + "/marks";
    std::string log = board.dir() + "/log";
    pid_t service = -1;
    std::string tty;   // the service's terminal, when it has one

    void TearDown() override
    {
        if (service > 0) {
            kill(service, SIGKILL);
            waitpid(service, nullptr, 0);
        }
    }

    // Starts the service and waits until its watcher runs (its signal
    // handlers are in place by then).
    void Start()
    {
        service = Spawn({kBin + "/autorun"}, log, tty);
        ASSERT_GT(service, 0);
        ASSERT_TRUE(WaitFor([&] {
            for (const std::string& t : Threads(service))
                if (t != std::to_string(service) &&
                    (BlockedForever(service, t) || TaskFile(service, t, "syscall").empty()))
                    return true;
            return false;
        })) << ReadFile(log);
    }

    int Boardsim(const std::vector<std::string>& args)
    {
        std::vector<std::string> all{kBin + "/boardsim"};
        all.insert(all.end(), args.begin(), args.end());
        return RunTool(all, log);
    }

    // A host folder for a volume, with an AutoRun program that marks tag.
    std::string HostVolume(const std::string& name, const std::string& tag)
    {
        const std::string dir = board.dir() + "/host-" + name;
        WriteMarkScript(dir + "/AutoRun/" + tag + ".exe", tag, marks);
        WriteFile(dir + "/AutoCopy/" + tag + ".txt", tag);
        return dir;
    }

    size_t Count(const std::string& tag)
    {
        size_t n = 0;
        for (const std::string& l : Lines(ReadFile(marks)))
            if (l.rfind(tag + " ", 0) == 0) ++n;
        return n;
    }

    // Waits until the service woke up after the given count of switches
    // and went back to sleep on its queue: the message was handled.
    bool HandledSince(long switches)
    {
        return WaitFor([&] { return VoluntarySwitches(service) > switches && AllBlocked(service); });
    }

    // What every thread of the service is doing, for failure messages.
    std::string ThreadsDump()
    {
        std::string out;
        for (const std::string& t : Threads(service))
            out += t + " " + TaskFile(service, t, "comm") + "  " + TaskFile(service, t, "syscall");
        return out;
    }

    bool CanSeeSyscalls()
    {
        return !TaskFile(service, std::to_string(service), "syscall").empty();
    }

    int Stop(int signal = SIGTERM)
    {
        kill(service, signal);
        int status = 0;
        bool ended = WaitFor([&] { return waitpid(service, &status, WNOHANG) == service; });
        service = -1;
        if (!ended) return -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : 1000 + WTERMSIG(status);
    }
};

TEST_F(ServiceEndToEnd, ProcessesFlashDiskAndEveryVolume)
{
    // The flash disk, and a volume mounted before the service starts.
    WriteMarkScript(root + "/Flash Disk/AutoRun/flash.exe", "flash", marks);
    WriteFile(root + "/Flash Disk/AutoCopy/fromflash.txt", "flash");
    ASSERT_EQ(Boardsim({"insert", "Early", HostVolume("early", "early")}), 0);

    Start();
    ASSERT_TRUE(WaitForMarks(marks, 2)) << ReadFile(log);
    EXPECT_EQ(Count("flash"), 1u);
    EXPECT_EQ(Count("early"), 1u);
    EXPECT_EQ(ReadFile(root + "/fromflash.txt"), "flash");
    EXPECT_EQ(ReadFile(root + "/early.txt"), "early");

    // A volume whose shortcut starts a program that its own AutoCopy put in place.
    const std::string card = HostVolume("card", "card");
    WriteMarkScript(card + "/AutoCopy/tools/tool.sh", "tool", marks);
    WriteFile(card + "/AutoRun/go.lnk", "1#\\tools\\tool.sh from-shortcut");
    const auto before = std::chrono::steady_clock::now();
    ASSERT_EQ(Boardsim({"insert", "Card", card}), 0);
    ASSERT_TRUE(WaitForMarks(marks, 4)) << ReadFile(log);
    const auto took = std::chrono::duration_cast<std::chrono::milliseconds>(
        std::chrono::steady_clock::now() - before);
    EXPECT_LT(took.count(), kPromptMs) << "the volume's programs ran " << took.count()
                                       << " ms after the insert began";
    EXPECT_EQ(Count("card"), 1u);
    EXPECT_EQ(Count("tool"), 1u);
    EXPECT_NE(ReadFile(marks).find("[from-shortcut]"), std::string::npos);
    EXPECT_EQ(ReadFile(root + "/card.txt"), "card");

    // The flash disk announced as a mount is processed again.
    WriteFile(board::VolumesDir() + "/Flash Disk", "");
    ASSERT_TRUE(WaitFor([&] { return Count("flash") == 2; }));

    if (!CanSeeSyscalls()) GTEST_SKIP() << "cannot see the service's system calls";
    ASSERT_TRUE(HandledSince(-1)) << ThreadsDump();
    // Idle: every thread sleeps without a time-out (no polling loop).
    EXPECT_TRUE(AllBlocked(service));

    // A removal is processed like a mount and finds nothing.
    const std::string snapshot = Snapshot(root, "Card");
    const std::string marked = ReadFile(marks);
    long switches = VoluntarySwitches(service);
    ASSERT_EQ(Boardsim({"remove", "Card"}), 0);
    ASSERT_TRUE(HandledSince(switches)) << ThreadsDump();
    EXPECT_EQ(ReadFile(marks), marked);
    EXPECT_EQ(Snapshot(root), snapshot);

    // Nothing the service holds grows with the volumes it handles.
    const size_t fds = OpenDescriptors(service);
    for (int i = 0; i < 3; ++i) {
        switches = VoluntarySwitches(service);
        ASSERT_EQ(Boardsim({"insert", "More", HostVolume("more", "more")}), 0);
        ASSERT_TRUE(WaitFor([&] { return Count("more") == static_cast<size_t>(i + 1); }));
        ASSERT_TRUE(HandledSince(switches)) << ThreadsDump();
        switches = VoluntarySwitches(service);
        ASSERT_EQ(Boardsim({"remove", "More"}), 0);
        ASSERT_TRUE(HandledSince(switches)) << ThreadsDump();
    }
    EXPECT_EQ(OpenDescriptors(service), fds);

    EXPECT_EQ(Stop(), 0);
}

TEST_F(ServiceEndToEnd, ShiftSkipsVolumesButNotTheFlashDisk)
{
    WriteMarkScript(root + "/Flash Disk/AutoRun/flash.exe", "flash", marks);
    ASSERT_EQ(Boardsim({"set", "shift", "down"}), 0);
    ASSERT_EQ(Boardsim({"insert", "Early", HostVolume("early", "early")}), 0);
    Start();
    ASSERT_TRUE(WaitForMarks(marks, 1)) << ReadFile(log);
    EXPECT_EQ(Count("flash"), 1u);
    if (!CanSeeSyscalls()) GTEST_SKIP() << "cannot see the service's system calls";
    ASSERT_TRUE(HandledSince(-1)) << ThreadsDump();

    long switches = VoluntarySwitches(service);
    ASSERT_EQ(Boardsim({"insert", "Skip", HostVolume("skip", "skip")}), 0);
    ASSERT_TRUE(HandledSince(switches)) << ThreadsDump();

    ASSERT_EQ(Boardsim({"set", "shift", "up"}), 0);
    ASSERT_EQ(Boardsim({"insert", "After", HostVolume("after", "after")}), 0);
    ASSERT_TRUE(WaitFor([&] { return Count("after") == 1; }));
    EXPECT_EQ(Count("early"), 0u);
    EXPECT_EQ(Count("skip"), 0u);
    EXPECT_FALSE(Exists(root + "/early.txt"));
    EXPECT_FALSE(Exists(root + "/skip.txt"));
    EXPECT_EQ(ReadFile(root + "/after.txt"), "after");
    EXPECT_EQ(Stop(), 0);
}

TEST_F(ServiceEndToEnd, WithoutTheFlashStoreOnlyTheLoopRuns)
{
    WriteMarkScript(root + "/Flash Disk/AutoRun/flash.exe", "flash", marks);
    ASSERT_TRUE(board::SetSetting("stores", "DSK1:"));
    Start();
    ASSERT_EQ(Boardsim({"insert", "Card", HostVolume("card", "card")}), 0);
    ASSERT_TRUE(WaitFor([&] { return Count("card") == 1; })) << ReadFile(log);
    EXPECT_EQ(Count("flash"), 0u);
    EXPECT_EQ(Stop(), 0);
}

TEST_F(ServiceEndToEnd, FlashDiskFolderComesFromTheRegistry)
{
    // A folder without a leading separator is taken from the device root.
    WriteMarkScript(root + "/Flash Disk/AutoRun/flash.exe", "flash", marks);
    WriteMarkScript(root + "/Other Disk/AutoRun/other.exe", "other", marks);
    ASSERT_TRUE(board::RegSetValue("System\\StorageManager\\Profiles\\MSFlash", "Folder",
                                   board::RegValue::String("Other Disk")));
    Start();
    ASSERT_TRUE(WaitFor([&] { return Count("other") == 1; })) << ReadFile(log);
    ASSERT_EQ(Boardsim({"insert", "Card", HostVolume("card", "card")}), 0);
    ASSERT_TRUE(WaitFor([&] { return Count("card") == 1; })) << ReadFile(log);
    EXPECT_EQ(Count("flash"), 0u);
    EXPECT_EQ(Stop(), 0);
}

TEST_F(ServiceEndToEnd, EndsWithZeroOnTermination)
{
    Start();
    // Whether the signal meets the start pause or the wait, the end is clean.
    EXPECT_EQ(Stop(), 0);

    // Started from a terminal, the service leaves it as it was: it reads
    // nothing from it (a start in a shell's background is never stopped
    // for terminal access).
    const int master = posix_openpt(O_RDWR | O_NOCTTY);
    if (master < 0) GTEST_SKIP() << "no pseudo-terminals here";
    ASSERT_EQ(grantpt(master), 0);
    ASSERT_EQ(unlockpt(master), 0);
    tty = ptsname(master);
    termios before{};
    ASSERT_EQ(tcgetattr(master, &before), 0);
    ASSERT_NE(before.c_lflag & ECHO, 0u);
    Start();
    ASSERT_EQ(Boardsim({"insert", "Card", HostVolume("card", "card")}), 0);
    ASSERT_TRUE(WaitFor([&] { return Count("card") == 1; })) << ReadFile(log);
    termios during{};
    ASSERT_EQ(tcgetattr(master, &during), 0);
    EXPECT_EQ(during.c_lflag, before.c_lflag);
    EXPECT_EQ(Stop(), 0);
    close(master);
}

TEST_F(ServiceEndToEnd, ASecondServiceOnTheBoardSaysSoAndEnds)
{
    Start();
    const std::string second = board.dir() + "/second";
    const pid_t other = Spawn({kBin + "/autorun"}, second);
    ASSERT_GT(other, 0);
    int status = -1;
    const bool ended = WaitFor([&] { return waitpid(other, &status, WNOHANG) == other; });
    if (!ended) {
        kill(other, SIGKILL);
        waitpid(other, nullptr, 0);
    }
    ASSERT_TRUE(ended) << "the second service went on running";
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    EXPECT_NE(ReadFile(second).find("autorun: the service runs on this board already"),
              std::string::npos)
        << ReadFile(second);
    // Every volume's programs start once, from the first.
    ASSERT_EQ(Boardsim({"insert", "Card", HostVolume("card", "card")}), 0);
    ASSERT_TRUE(WaitFor([&] { return Count("card") == 1; })) << ReadFile(log);
    EXPECT_EQ(Stop(), 0);
    // Once the first has ended, a new one runs.
    Start();
    ASSERT_EQ(Boardsim({"remove", "Card"}), 0);
    ASSERT_EQ(Boardsim({"insert", "Again", HostVolume("again", "again")}), 0);
    ASSERT_TRUE(WaitFor([&] { return Count("again") == 1; })) << ReadFile(log);
    EXPECT_EQ(Stop(), 0);
    EXPECT_EQ(ReadFile(log).find("already"), std::string::npos);
}

TEST_F(ServiceEndToEnd, EveryEndSignalEndsThePauseAndNothingFollows)
{
    // Each of them, sent while the service pauses before its start-up
    // pass, ends it with 0 at once: the flash disk is neither copied nor
    // started. (Copied files are in place before the service could end;
    // a started program would leave its mark long before the pause ends.)
    WriteFile(root + "/Flash Disk/AutoCopy/flash.txt", "flash");
    WriteMarkScript(root + "/Flash Disk/AutoRun/flash.exe", "flash", marks);
    for (int signal : {SIGTERM, SIGINT, SIGHUP}) {
        SCOPED_TRACE(signal);
        Start();
        EXPECT_EQ(Stop(signal), 0);
        EXPECT_FALSE(Exists(root + "/flash.txt"));
    }
    // Left alone, the same pass runs.
    Start();
    ASSERT_TRUE(WaitForMarks(marks, 1)) << ReadFile(log);
    EXPECT_EQ(ReadFile(root + "/flash.txt"), "flash");
    EXPECT_EQ(Stop(SIGHUP), 0);
    EXPECT_EQ(Count("flash"), 1u);
}

}  // namespace
