// Drills with the real flashupdate program on a board: killed in the middle
// of programming, and two updates at once. They check what only whole
// processes show: the flash lock is freed by a dying holder, the flash ends
// whole, never a mix of two images.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "board/board.h"
#include "board/flash_state.h"
#include "board/hal.h"
#include "board/imagekit.h"
#include "tests/support/temp_board.h"

namespace {

const std::string kFlashUpdate = std::string(TEST_BIN_DIR) + "/flashupdate";

// A child process with its standard input and error on pipes.
struct Child {
    pid_t pid = -1;
    int in = -1;    // we write its standard input
    int err = -1;   // we read its standard error
    std::string seen;
    bool asNobody = false;   // root only: the program runs as the unprivileged user

    void Start(const std::string& imagePath) { StartWith({"/u", imagePath}); }
    void StartWith(const std::vector<std::string>& args)
    {
        int inPipe[2], errPipe[2];
        ASSERT_EQ(pipe(inPipe), 0);
        ASSERT_EQ(pipe(errPipe), 0);
        pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            dup2(inPipe[0], 0);
            dup2(errPipe[1], 2);
            int devnull = open("/dev/null", O_WRONLY);
            dup2(devnull, 1);
            close(inPipe[1]);
            close(errPipe[0]);
            if (asNobody && (setgid(65534) != 0 || setuid(65534) != 0))
                _exit(126);
            std::vector<char*> argv{const_cast<char*>("flashupdate")};
            for (const std::string& a : args)
                argv.push_back(const_cast<char*>(a.c_str()));
            argv.push_back(nullptr);
            execv(kFlashUpdate.c_str(), argv.data());
            _exit(127);
        }
        close(inPipe[0]);
        close(errPipe[1]);
        in = inPipe[1];
        err = errPipe[0];
        fcntl(err, F_SETFL, O_NONBLOCK);
    }
    void Say(const char* line) { ASSERT_GT(write(in, line, strlen(line)), 0); }
    void CloseInput()
    {
        if (in >= 0)
            close(in);
        in = -1;
    }
    // Reads standard error until text appears (true) or the deadline passes.
    bool WaitFor(const std::string& text, int seconds)
    {
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
        do {
            char buf[4096];
            ssize_t n = read(err, buf, sizeof buf);
            if (n > 0)
                seen.append(buf, (size_t)n);
            if (seen.find(text) != std::string::npos)
                return true;
            if (n == 0)
                return false;
            if (n < 0)
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
        } while (std::chrono::steady_clock::now() < deadline);
        return false;
    }
    // Waits for the end of the program with all it wrote (at most a
    // minute); its status.
    int Finish()
    {
        CloseInput();
        WaitFor("\x01never", 60);
        return Wait();
    }
    // The last line it wrote.
    std::string LastLine() const
    {
        size_t end = seen.size() && seen.back() == '\n' ? seen.size() - 1 : seen.size();
        size_t start = seen.rfind('\n', end ? end - 1 : 0);
        return seen.substr(start == std::string::npos ? 0 : start + 1, end - (start == std::string::npos ? 0 : start + 1));
    }
    int Wait()
    {
        CloseInput();
        WaitFor("\x01never", 0);
        int status = 0;
        waitpid(pid, &status, 0);
        if (err >= 0)
            close(err);
        err = -1;
        return status;
    }
};

imagekit::Bytes FlashRange(uint32_t offset, size_t n)
{
    imagekit::Bytes all;
    EXPECT_TRUE(imagekit::ReadFile(board::FlashImagePath(), &all));
    if (all.size() < offset + n)
        return {};
    return imagekit::Bytes(all.begin() + offset, all.begin() + offset + n);
}

// An OS image of `size` pattern bytes in the board's folder, and the flash
// at a twentieth of its speed, so that a drill's signal or second program
// lands while the update works. The image's path; *image gets its bytes.
std::string SlowUpdateOf(TempBoard& tb, uint32_t size, uint32_t seed, imagekit::Bytes* image)
{
    *image = imagekit::Pattern(size, seed);
    std::string path = tb.dir() + "/big.bin";
    EXPECT_TRUE(imagekit::WriteFile(path, imagekit::BinOfImage(0x80000000, *image)));
    EXPECT_TRUE(board::SetSetting("timing", "scaled"));
    EXPECT_TRUE(board::SetSetting("timing-scale", "0.05"));
    return path;
}

TEST(ProcessDrill, KilledMidProgrammingThenTheNextRunCompletes)
{
    TempBoard tb;
    const uint32_t size = 4u << 20;
    imagekit::Bytes image;
    // Slow flash, so that the kill lands while buffers are being programmed.
    std::string path = SlowUpdateOf(tb, size, 21, &image);

    Child first;
    first.Start(path);
    first.Say("OK\n");
    ASSERT_TRUE(first.WaitFor("Section", 60)) << first.seen;
    kill(first.pid, SIGKILL);
    int status = first.Wait();
    ASSERT_TRUE(WIFSIGNALED(status));

    ASSERT_TRUE(board::SetSetting("timing", "none"));
    Child second;
    second.Start(path);
    second.Say("OK\nNo\n");
    ASSERT_TRUE(second.WaitFor("RESET", 120)) << "the lock of the killed run must be free\n"
                                               << second.seen;
    status = second.Wait();
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 1);
    EXPECT_TRUE(FlashRange(0x80000, size) == image) << "the flash must hold the image whole";
}

TEST(ProcessDrill, TwoUpdatesAtOnceNeverMix)
{
    TempBoard tb;
    const uint32_t size = 2u << 20;
    imagekit::Bytes imageA = imagekit::Pattern(size, 31);
    imagekit::Bytes imageB = imagekit::Pattern(size, 32);
    std::string pathA = tb.dir() + "/a.bin", pathB = tb.dir() + "/b.bin";
    ASSERT_TRUE(imagekit::WriteFile(pathA, imagekit::BinOfImage(0x80000000, imageA)));
    ASSERT_TRUE(imagekit::WriteFile(pathB, imagekit::BinOfImage(0x80000000, imageB)));
    ASSERT_TRUE(board::SetSetting("timing", "scaled"));
    ASSERT_TRUE(board::SetSetting("timing-scale", "0.01"));

    Child a, b;
    a.Start(pathA);
    a.Say("OK\n");
    ASSERT_TRUE(a.WaitFor("Erasing", 60)) << a.seen;   // a holds the lock now
    b.Start(pathB);
    b.Say("OK\n");
    ASSERT_TRUE(a.WaitFor("RESET", 120)) << a.seen;
    b.WaitFor("WARNING", 0);
    EXPECT_EQ(b.seen.find("WARNING"), std::string::npos) << "b must wait for a's lock";
    EXPECT_EQ(b.seen.find("Erasing"), std::string::npos) << "b must wait for a's lock";
    a.Say("No\n");
    ASSERT_TRUE(b.WaitFor("RESET", 120)) << b.seen;
    b.Say("No\n");
    a.Wait();
    b.Wait();
    EXPECT_TRUE(FlashRange(0x80000, size) == imageB) << "the last writer's image, whole";
}

// A hang-up (the session that ran the update went away) in the middle of
// the erase: the erase is finished and the run ends with the warning that
// the image is incomplete, never killed halfway with nothing said.
TEST(ProcessDrill, HangUpDuringTheUpdateEndsItWithTheWarning)
{
    TempBoard tb;
    imagekit::Bytes image;
    std::string path = SlowUpdateOf(tb, 2u << 20, 41, &image);

    Child child;
    child.Start(path);
    child.Say("OK\n");
    ASSERT_TRUE(child.WaitFor("Erasing", 60)) << child.seen;
    kill(child.pid, SIGHUP);
    ASSERT_TRUE(child.WaitFor("Update aborted! The image in Flash is incomplete.", 60)) << child.seen;
    int status = child.Wait();
    ASSERT_TRUE(WIFEXITED(status)) << "ended by the program, not by the signal\n" << child.seen;
    EXPECT_EQ(WEXITSTATUS(status), 1);
    EXPECT_EQ(child.seen.find("RESET"), std::string::npos) << child.seen;
}

// Ctrl-C during the erase: the transcript answers it at once, as every
// answer is echoed, while the erase runs on to its end; once, however many
// times the dialog is asked to close afterwards.
TEST(ProcessDrill, CtrlCDuringTheEraseIsEchoedAtOnceAndOnce)
{
    TempBoard tb;
    imagekit::Bytes image;
    std::string path = SlowUpdateOf(tb, 2u << 20, 43, &image);

    Child child;
    child.Start(path);
    child.Say("OK\n");
    ASSERT_TRUE(child.WaitFor("Erasing", 60)) << child.seen;
    kill(child.pid, SIGINT);
    const std::string echo = "\n-> [2] Abort (interrupted)\n";
    ASSERT_TRUE(child.WaitFor(echo, 60)) << child.seen;
    EXPECT_EQ(child.seen.find("Update aborted!"), std::string::npos) << "echoed before the erase ended\n"
                                                                     << child.seen;
    ASSERT_TRUE(child.WaitFor("Update aborted! The image in Flash is incomplete.", 120)) << child.seen;
    int status = child.Wait();
    ASSERT_TRUE(WIFEXITED(status)) << child.seen;
    EXPECT_EQ(WEXITSTATUS(status), 1);
    size_t first = child.seen.find(echo);
    EXPECT_EQ(child.seen.find(echo, first + 1), std::string::npos) << "echoed twice\n" << child.seen;
    EXPECT_LT(first, child.seen.find("Closed: Updating IMAGE")) << child.seen;
}

// "/r" from another program while an update programs the flash: the
// restart waits for the update to end. It once reset the devices in the
// middle of a record (on the device: a half-written image, with nothing
// said).
TEST(ProcessDrill, ARestartWaitsForTheUpdateInProgress)
{
    TempBoard tb;
    const uint32_t size = 2u << 20;
    imagekit::Bytes image;
    std::string path = SlowUpdateOf(tb, size, 51, &image);

    Child update;
    update.Start(path);
    update.Say("OK\nNo\n");
    update.CloseInput();
    ASSERT_TRUE(update.WaitFor("Section", 60)) << update.seen;
    Child restart;
    restart.StartWith({"/r"});
    ASSERT_TRUE(update.WaitFor("Closed: Updating IMAGE", 120)) << update.seen;
    update.Wait();
    restart.Wait();
    EXPECT_NE(update.seen.find("RESET"), std::string::npos) << update.seen;
    EXPECT_EQ(update.seen.find("ERROR"), std::string::npos) << update.seen;
    bool restarted = false;
    for (const std::string& e : board::Events())
        restarted = restarted || e == "restart warm";
    EXPECT_TRUE(restarted) << "the restart comes once the update has ended";
    EXPECT_TRUE(FlashRange(0x80000, size) == image) << "the flash must hold the image whole";
}

// A restart while another program holds the flash (its update asks
// whether to overwrite the image): after a short while the waiting program
// says what it waits for, in the update's words; Ctrl-C then gives the
// wait up, and the restart never comes; nor does the clean boot that a
// cold one asked for. From the command line and from the main dialog's
// buttons alike.
TEST(ProcessDrill, AWaitForTheFlashIsSaidAndCtrlCGivesItUp)
{
    struct Case {
        std::vector<std::string> args;
        const char* input;
    };
    for (const Case& c : {Case{{"/r"}, ""}, Case{{"/rc"}, ""}, Case{{}, "Warmboot\n"}, Case{{}, "Coldboot\n"}}) {
        SCOPED_TRACE(c.args.empty() ? std::string(c.input) : c.args[0]);
        TempBoard tb;
        ASSERT_TRUE(board::Ensure());
        Child holder;
        holder.StartWith({"/u", "\\nk.bin"});
        ASSERT_TRUE(holder.WaitFor("[OK / Cancel]", 60)) << holder.seen;
        Child waiter;
        waiter.StartWith(c.args);
        if (c.input[0])
            waiter.Say(c.input);
        ASSERT_TRUE(waiter.WaitFor("Waiting for the Flash: another program is using it\n", 60)) << waiter.seen;
        kill(waiter.pid, SIGINT);
        int status = waiter.Wait();
        ASSERT_TRUE(WIFEXITED(status)) << "ended by the program, not by the signal\n" << waiter.seen;
        EXPECT_EQ(WEXITSTATUS(status), 1);
        for (const std::string& e : board::Events())
            EXPECT_EQ(e.rfind("restart", 0), std::string::npos) << e;
        EXPECT_FALSE(board::HalCleanBootMarked()) << "the next ordinary restart must keep the registry";
        holder.Say("Cancel\n");
        holder.Wait();
    }
}

// The open-file dialog is in front when Ctrl-C comes: it is cancelled, and
// the interrupt is not kept for the progress dialog, which would take it
// as an Abort once a file had been chosen (the erase with nothing written).
TEST(ProcessDrill, CtrlCAtTheOpenFileDialogCancelsTheUpdate)
{
    TempBoard tb;
    ASSERT_TRUE(board::Ensure());
    imagekit::Bytes before = FlashRange(0x80000, 0x40000);
    ASSERT_EQ(before.size(), 0x40000u);
    Child child;
    child.StartWith({"/u", ""});   // the command line "/u ": the chooser asks
    ASSERT_TRUE(child.WaitFor("Path (empty line: cancel):", 60)) << child.seen;
    kill(child.pid, SIGINT);
    // What a chooser deaf to Ctrl-C would take. The program may have ended
    // already: a write to its closed input must not end the test.
    signal(SIGPIPE, SIG_IGN);
    const char answers[] = "\\nk.bin\nOK\nNo\n";
    ssize_t ignored = write(child.in, answers, sizeof answers - 1);
    (void)ignored;
    child.CloseInput();
    child.WaitFor("\x01never", 30);   // everything it writes, until it ends
    int status = child.Wait();
    EXPECT_NE(child.seen.find("(cancelled)"), std::string::npos) << child.seen;
    ASSERT_TRUE(WIFEXITED(status)) << child.seen;
    EXPECT_EQ(WEXITSTATUS(status), 1);
    EXPECT_EQ(child.seen.find("Erasing"), std::string::npos) << child.seen;
    EXPECT_EQ(child.seen.find("RESET"), std::string::npos) << child.seen;
    EXPECT_TRUE(FlashRange(0x80000, 0x40000) == before) << "the running image must stay";
}

// Ctrl-C or SIGTERM during the delay of "/rc": the program ends and the
// device is not restarted.
TEST(ProcessDrill, SignalDuringTheRestartDelayEndsWithoutARestart)
{
    for (int sig : {SIGTERM, SIGINT}) {
        SCOPED_TRACE(sig);
        TempBoard tb;
        Child child;
        child.StartWith({"/rc", "600000"});
        // The clean-boot mark comes before the delay: once it is recorded
        // the program sleeps.
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
        bool marked = false;
        while (!marked && std::chrono::steady_clock::now() < deadline) {
            for (const std::string& e : board::Events())
                marked = marked || e.rfind("clean-boot-mark", 0) == 0;
            if (!marked)
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        ASSERT_TRUE(marked);
        kill(child.pid, sig);
        int status = child.Wait();
        ASSERT_TRUE(WIFEXITED(status)) << "ended by the program, not by the signal";
        EXPECT_EQ(WEXITSTATUS(status), 1);
        for (const std::string& e : board::Events())
            EXPECT_EQ(e.rfind("restart", 0), std::string::npos) << e;
        // The cold restart never came: its mark must not make the next
        // ordinary restart a clean boot (which drops the saved registry).
        EXPECT_FALSE(board::HalCleanBootMarked());
    }
}

// A signal that comes before the program has set itself up (here while it
// creates its board) still ends it with exit code 1, as every other way out.
TEST(ProcessDrill, ASignalAtOnceStillEndsWithExitCodeOne)
{
    std::error_code ec;
    for (int sig : {SIGTERM, SIGINT, SIGHUP}) {
        SCOPED_TRACE(sig);
        TempBoard tb;
        std::filesystem::remove_all(tb.dir());   // so that the program makes it anew
        Child child;
        child.StartWith({"/r", "600000"});
        // Once the program has begun to make its board (it does that
        // before anything else is set up), and while it still does.
        for (int i = 0; i < 20000 && !std::filesystem::exists(tb.dir(), ec); ++i)
            std::this_thread::sleep_for(std::chrono::microseconds(100));
        kill(child.pid, sig);
        int status = child.Wait();
        ASSERT_TRUE(WIFEXITED(status)) << "ended by the signal, not by the program";
        EXPECT_EQ(WEXITSTATUS(status), 1);
    }
}


// Every run ends with its closing line, whatever it did to the flash and
// however it ended: completed, cancelled, ended by a restart, failed on a
// program fault, aborted by Ctrl-C, stopped in a restart delay.
TEST(ProcessDrill, EveryRunEndsWithAClosingLineThatSaysWhatHappened)
{
    struct Case {
        const char* name;
        std::vector<std::string> args;
        const char* answers;
        const char* fault;   // fault-program setting, or nullptr
        const char* lastLine;
    } cases[] = {
        {"completed", {"/u", "\\nk.bin"}, "OK\nNo\n", nullptr,
         "flashupdate: flash written and read back: 2097152 bytes at flash offset 0x00080000"},
        {"restart", {"/u", "\\nk.bin"}, "OK\nYes\n", nullptr,
         "flashupdate: flash written and read back: 2097152 bytes at flash offset 0x00080000; cold restart"},
        {"cancel", {"/u", "\\nk.bin"}, "Cancel\n", nullptr, "flashupdate: flash unchanged"},
        {"chooser cancelled", {"/u"}, "\n", nullptr, "flashupdate: nothing done, flash unchanged"},
        {"program fault", {"/u", "\\nk.bin"}, "OK\n", "0x100000", "flashupdate: FAILED: flash changed ("},
        {"registry", {"/f"}, "", nullptr, "flashupdate: registry saved"},
        {"warm restart", {"/r"}, "", nullptr, "flashupdate: warm restart"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TempBoard tb;
        if (c.fault) {
            ASSERT_TRUE(board::SetSetting("fault-program", c.fault));
        }
        Child child;
        child.StartWith(c.args);
        if (*c.answers)
            child.Say(c.answers);
        int status = child.Finish();
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1) << child.seen;
        EXPECT_EQ(child.LastLine().rfind(c.lastLine, 0), 0u) << child.seen;
        EXPECT_EQ(child.seen.back(), '\n');
    }
}

TEST(ProcessDrill, AnInterruptedRunStillEndsWithItsClosingLine)
{
    {
        SCOPED_TRACE("Ctrl-C while the image is programmed: its Abort");
        TempBoard tb;
        imagekit::Bytes image;
        std::string path = SlowUpdateOf(tb, 2u << 20, 43, &image);
        Child child;
        child.Start(path);
        child.Say("OK\n");
        ASSERT_TRUE(child.WaitFor("Section", 60)) << child.seen;
        kill(child.pid, SIGINT);
        child.Finish();
        std::string last = child.LastLine();
        EXPECT_EQ(last.rfind("flashupdate: FAILED: flash changed (", 0), 0u) << child.seen;
        EXPECT_NE(last.find("do not restart"), std::string::npos) << last;
    }
    {
        SCOPED_TRACE("SIGTERM in the restart delay");
        TempBoard tb;
        Child child;
        child.StartWith({"/rc", "600000"});
        for (int i = 0; i < 6000 && board::Events().empty(); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        kill(child.pid, SIGTERM);
        child.Finish();
        EXPECT_EQ(child.LastLine(), "flashupdate: nothing done, flash unchanged; stopped by a signal") << child.seen;
    }
}

// A file the update cannot open: the box's text is the program's, the
// system's reason follows on a line of the platform's own.
void ExpectReasonBesideTheBox(const char* path, const char* reason, bool asNobody = false)
{
    SCOPED_TRACE(path);
    Child child;
    child.asNobody = asNobody;
    child.StartWith({"/u", path});
    child.Finish();
    std::string box = std::string("ERROR\nCannot Open Image File ") + path + "\nflashupdate: " + reason + "\n[OK]\n";
    EXPECT_NE(child.seen.find(box), std::string::npos) << child.seen;
    EXPECT_EQ(child.LastLine(), "flashupdate: flash unchanged") << child.seen;
}

TEST(ProcessDrill, TheReasonAFileCannotBeOpenedIsSaidBesideTheBox)
{
    TempBoard tb;
    std::filesystem::create_directory(tb.rootfs() + "/folder.bin");
    ExpectReasonBesideTheBox("\\missing.bin", "No such file or directory");
    ExpectReasonBesideTheBox("\\folder.bin", "Is a directory");
}

// The box that says the flash is out of reach gets the reason: the
// system's when the board's flash lock cannot be made (its folder is a
// file), the board's when it refuses to let the flash be mapped (its
// device state is a folder; the other build's programs use the board).
void ExpectFlashOutOfReach(const char* reason, const char* closing)
{
    SCOPED_TRACE(reason);
    Child child;
    child.StartWith({"/u", "\\nk.bin"});
    child.Finish();
    const std::string box = std::string("ERROR\nCannot access the Flash!\nflashupdate: ") + reason + "\n[OK]\n";
    EXPECT_NE(child.seen.find(box), std::string::npos) << child.seen;
    EXPECT_EQ(child.LastLine(), closing) << child.seen;
}

TEST(ProcessDrill, TheReasonTheFlashCannotBeReachedIsSaidBesideTheBox)
{
    namespace fs = std::filesystem;
    {
        TempBoard tb;
        ASSERT_TRUE(board::Ensure());
        fs::remove_all(tb.dir() + "/locks");
        std::ofstream(tb.dir() + "/locks") << "not a folder\n";
        ExpectFlashOutOfReach("Not a directory", "flashupdate: flash unchanged");
    }
    {
        TempBoard tb;
        ASSERT_TRUE(board::Ensure());
        fs::remove(tb.dir() + "/flash.state");
        fs::create_directory(tb.dir() + "/flash.state");
        ExpectFlashOutOfReach("flash.state is a folder, not a file", "flashupdate: nothing done, flash unchanged");
    }
    {
        // The mark a Windows program leaves while it has the flash open:
        // a shared lock on the byte after the Linux side's in flash.state.
        TempBoard tb;
        ASSERT_TRUE(board::Ensure());
        int fd = open((tb.dir() + "/flash.state").c_str(), O_RDWR | O_CREAT, 0644);
        ASSERT_GE(fd, 0);
        struct flock mark = {};
        mark.l_type = F_RDLCK;
        mark.l_whence = SEEK_SET;
        mark.l_start = board::flash::kSlotLockBase + off_t(board::flash::kOwnerSlots) + 16 + 1;
        mark.l_len = 1;
        ASSERT_EQ(fcntl(fd, F_OFD_SETLK, &mark), 0);
        ExpectFlashOutOfReach("the board is in use by the Windows build",
                              "flashupdate: nothing done, flash unchanged");
        close(fd);
    }
}

TEST(ProcessDrill, TheReasonAFileCannotBeReadIsSaidBesideTheBox)
{
    namespace fs = std::filesystem;
    // Permission bits refuse no read to root: as root the program runs as
    // the unprivileged user, on a board that user may reach and use (under
    // a folder of its own in /tmp, the test run's root being private).
    const bool root = geteuid() == 0;
    std::string shared;
    if (root) {
        char pattern[] = "/tmp/reason-drill-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        shared = pattern;
        fs::permissions(shared, fs::perms::others_exec | fs::perms::group_exec, fs::perm_options::add);
    }
    const char* oldRoot = std::getenv("BOARDSIM_DIR_ROOT");
    const std::string savedRoot = oldRoot ? oldRoot : "";
    if (root)
        setenv("BOARDSIM_DIR_ROOT", shared.c_str(), 1);
    {
        TempBoard tb;
        if (oldRoot)
            setenv("BOARDSIM_DIR_ROOT", savedRoot.c_str(), 1);
        else
            unsetenv("BOARDSIM_DIR_ROOT");
        std::string unreadable = tb.rootfs() + "/locked.bin";
        fs::copy_file(tb.rootfs() + "/nk.bin", unreadable);
        fs::permissions(unreadable, fs::perms::none);
        if (root) {
            for (const auto& entry : fs::recursive_directory_iterator(tb.dir()))
                if (entry.path() != unreadable && !entry.is_symlink())
                    fs::permissions(entry.path(), fs::perms::all, fs::perm_options::add);
            fs::permissions(tb.dir(), fs::perms::all, fs::perm_options::add);
        }
        int probe = open(unreadable.c_str(), O_RDONLY);
        if (probe >= 0)
            close(probe);
        if (probe >= 0 && !root)
            GTEST_SKIP() << "this user reads a file without read permission";
        ExpectReasonBesideTheBox("\\locked.bin", "Permission denied", root);
    }
    if (root)
        fs::remove_all(shared);
}

}  // namespace
