// Processes of the POSIX backend.
//
// A program is started detached by a double fork (the intermediate child
// starts a new session, forks and ends; the program never becomes our
// zombie), with /dev/null as its standard streams, none of our
// descriptors, default signals and the device root as its working folder.
// Whether exec succeeded comes back through a close-on-exec pipe. The file
// is opened beneath the root without following links and started from
// that very descriptor (execveat), so a swapped path cannot change what runs.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <string>
#include <vector>

#include "board/board.h"
#include "platform/common/device_path.h"
#include "platform/host/files.h"
#include "platform/posix/device_files.h"
#include "platform/posix/host_names.h"
#include "platform/posix/object.h"
#include "platform/process.h"

extern char** environ;

namespace {

// What the children report through the pipe.
struct StartReport {
    int32_t kind;    // 1 = process id of the program, 2 = errno of a failed start
    int32_t value;
};

// Splits an argument text into arguments as the device's C runtime splits
// a command line: blanks (space, tab) separate outside double quotes;
// double quotes group and are removed; 2n backslashes before a quote give n
// backslashes and the quote groups, 2n+1 give n backslashes and a literal
// quote; inside quotes a doubled quote is a literal quote; other
// backslashes are literal.
std::vector<std::wstring> SplitArguments(const wchar_t* text)
{
    std::vector<std::wstring> args;
    const wchar_t* p = text;
    bool quoted = false;
    for (;;) {
        while (*p == L' ' || *p == L'\t') ++p;
        if (*p == L'\0') break;
        std::wstring arg;
        for (;;) {
            size_t slashes = 0;
            while (*p == L'\\') {
                ++slashes;
                ++p;
            }
            if (*p == L'"') {
                arg.append(slashes / 2, L'\\');
                if (slashes % 2 == 1) {
                    arg += L'"';
                    ++p;
                } else if (quoted && p[1] == L'"') {
                    arg += L'"';
                    p += 2;
                } else {
                    quoted = !quoted;
                    ++p;
                }
                continue;
            }
            arg.append(slashes, L'\\');
            if (*p == L'\0') break;
            if (!quoted && (*p == L' ' || *p == L'\t')) break;
            arg += *p++;
        }
        args.push_back(arg);
    }
    return args;
}

// A program file that can be started, held open: the very file that was
// checked is the one that runs, whatever happens to its path meanwhile.
struct Program {
    device_tree::Fd fd;
    bool script = false;   // "#!": its interpreter reads it through /dev/fd
    std::string host;      // its host path at the check, for argv[0]
};

// Opens the device path as a program that can be started: a regular file
// reached from the device root without following a link anywhere on the
// way (so inside the root).
bool OpenProgram(const std::wstring& device, Program& program)
{
    int fd = OsPosixOpenDevicePath(device.c_str(), O_RDONLY | O_NONBLOCK);
    if (fd < 0 && errno == EACCES)   // a program that may be run but not read
        fd = OsPosixOpenDevicePath(device.c_str(), O_PATH);
    if (fd < 0) return false;
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        close(fd);
        return false;
    }
    char start[2] = {0, 0};
    program.script = pread(fd, start, 2, 0) == 2 && start[0] == '#' && start[1] == '!';
    program.fd.reset(fd);
    char host[PATH_MAX];
    program.host = OsHostPath(device.c_str(), host, sizeof host) ? host : "";
    return true;
}

// The program a name stands for, as the device finds it (OsProgramPaths).
bool FindProgram(const wchar_t* text, Program& program)
{
    for (const std::wstring& path : OsProgramPaths(text))
        if (OpenProgram(path, program)) return true;
    return false;
}

void WriteReport(int fd, int32_t kind, int32_t value)
{
    const StartReport report{kind, value};
    ssize_t r = write(fd, &report, sizeof report);
    (void)r;
}

// The program's process, after the second fork: only async-signal-safe
// calls from here on.
[[noreturn]] void ExecProgram(int program, bool script, char* const* argv, char* const* envp,
                              const char* folder, int devNull, int report)
{
    struct sigaction dfl;
    std::memset(&dfl, 0, sizeof dfl);
    dfl.sa_handler = SIG_DFL;
    sigemptyset(&dfl.sa_mask);
    for (int sig = 1; sig < NSIG; ++sig) sigaction(sig, &dfl, nullptr);
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);

    if (dup2(devNull, 0) < 0 || dup2(devNull, 1) < 0 || dup2(devNull, 2) < 0) {
        WriteReport(report, 2, errno);
        _exit(127);
    }
    // Every other descriptor is closed by exec (the report pipe too).
    close_range(3, ~0U, CLOSE_RANGE_CLOEXEC);
    if (chdir(folder) != 0) {
        // The root folder is only a courtesy; start anyway.
    }
    // A script's interpreter is handed the script as /dev/fd/3, so that
    // descriptor stays open for it.
    if (script) {
        if (program != 3) {
            if (dup2(program, 3) < 0) {
                WriteReport(report, 2, errno);
                _exit(127);
            }
            program = 3;
        } else {
            fcntl(program, F_SETFD, 0);
        }
    }
    syscall(SYS_execveat, program, "", argv, envp, AT_EMPTY_PATH);
    WriteReport(report, 2, errno);
    _exit(127);
}

}  // namespace

int OsCreateProcess(const wchar_t* program, const wchar_t* args, OsProcessInformation* info)
{
    if (info != nullptr) *info = OsProcessInformation{nullptr, nullptr, 0, 0};
    if (program == nullptr || program[0] == L'\0') return 0;

    // A program being ended starts nothing more.
    if (OsTerminationRequested()) return 0;
    Program found;
    if (!FindProgram(program, found)) return 0;

    // Everything the children need is built before forking.
    std::vector<std::string> strings;
    strings.emplace_back(found.host);
    if (args != nullptr)
        for (const std::wstring& a : SplitArguments(args)) strings.push_back(device_tree::Utf8(a.c_str(), a.size()));
    std::vector<char*> argv;
    for (std::string& s : strings) argv.push_back(s.data());
    argv.push_back(nullptr);
    const std::string folder = board::RootFs();

    const device_tree::Fd devNull(open("/dev/null", O_RDWR | O_CLOEXEC));
    int pipeFds[2];
    if (devNull.get() < 0 || pipe2(pipeFds, O_CLOEXEC) != 0) return 0;
    device_tree::Fd reportIn(pipeFds[0]);
    device_tree::Fd reportOut(pipeFds[1]);

    // No signal handler of ours may run in the children.
    sigset_t all;
    sigset_t saved;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &saved);
    // A termination signal that arrived up to here is seen here; a later
    // one waits for the start to be done.
    if (OsTerminationRequested()) {
        pthread_sigmask(SIG_SETMASK, &saved, nullptr);
        return 0;
    }
    const pid_t middle = fork();
    if (middle == 0) {
        close(reportIn.get());
        setsid();
        const pid_t child = fork();
        if (child == 0)
            ExecProgram(found.fd.get(), found.script, argv.data(), environ, folder.c_str(), devNull.get(),
                        reportOut.get());
        if (child < 0) {
            WriteReport(reportOut.get(), 2, errno);
            _exit(1);
        }
        WriteReport(reportOut.get(), 1, static_cast<int32_t>(child));
        _exit(0);
    }
    pthread_sigmask(SIG_SETMASK, &saved, nullptr);
    reportOut.reset(-1);   // the children's ends alone: the read below ends with them
    if (middle < 0) return 0;
    int status = 0;
    while (waitpid(middle, &status, 0) < 0 && errno == EINTR) {
    }

    pid_t pid = 0;
    bool failed = false;
    for (;;) {
        StartReport report;
        const ssize_t n = read(reportIn.get(), &report, sizeof report);
        if (n < 0 && errno == EINTR) continue;
        if (n != static_cast<ssize_t>(sizeof report)) break;   // end: exec succeeded
        if (report.kind == 1) pid = report.value;
        if (report.kind == 2) failed = true;
    }
    if (failed || pid <= 0) return 0;

    // The program runs detached: its handles only name it (a wait on them
    // fails).
    if (info != nullptr) {
        info->process = OsHandleFor(new OsObject);
        info->thread = OsHandleFor(new OsObject);
        info->processId = static_cast<uint32_t>(pid);
        info->threadId = static_cast<uint32_t>(pid);
    }
    return 1;
}
