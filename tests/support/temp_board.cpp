// A board in a fresh temporary directory for one test.
#include "tests/support/temp_board.h"

#include <sys/stat.h>
#include <unistd.h>
#ifdef _WIN32
// mkdtemp, setenv and unsetenv, which Windows' C library lacks: the same
// shim the Win32 tests are built with.
#include "tests/support/win32_posix_compat.h"
#endif

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>

#include "board/board.h"
#include "platform/sync.h"

namespace {
// BOARDSIM_DIR as it was before the first live TempBoard, so that the
// destructor puts it back. Tests create boards one after another, never
// two at once.
std::optional<std::string> g_savedDir;
bool g_saved = false;
}  // namespace

TempBoard::TempBoard(bool blank)
{
    // Under the test run's own root when there is one (tools/test.sh and
    // tools/test-win32.sh remove it at the end): a board whose test never
    // reached its destructor (a death test's child, a killed test) is
    // removed with it instead of staying behind, 32 MB each.
    const char* base = std::getenv("BOARDSIM_DIR_ROOT");
    if (!base || !*base)
        base = std::getenv("TMPDIR");
    std::string pattern = std::string(base && *base ? base : "/tmp") + "/boardsim-test-XXXXXX";
    if (!mkdtemp(pattern.data())) {
        std::perror("TempBoard: mkdtemp");
        std::abort();
    }
    dir_ = pattern;
    if (!g_saved) {
        const char* old = std::getenv("BOARDSIM_DIR");
        g_savedDir = old ? std::optional<std::string>(old) : std::nullopt;
        g_saved = true;
    }
    setenv("BOARDSIM_DIR", dir_.c_str(), 1);
    board::CloseAll();
    if (!board::Init(blank)) {
        std::fprintf(stderr, "TempBoard: cannot create the board in %s\n", dir_.c_str());
        std::abort();
    }
    // A whole run may go under one flash timing (BOARDSIM_TIMING=max
    // tools/test.sh); tests of the devices' own rules choose theirs.
    static const char* const kFromEnv[][2] = {{"timing", "BOARDSIM_TIMING"}, {"timing-seed", "BOARDSIM_TIMING_SEED"}};
    for (const auto& [key, env] : kFromEnv) {
        const char* value = std::getenv(env);
        if (value && *value && !board::SetSetting(key, value)) {
            std::fprintf(stderr, "TempBoard: bad %s \"%s\"\n", env, value);
            std::abort();
        }
    }
}

TempBoard::~TempBoard()
{
    board::CloseAll();
    if (g_saved) {
        if (g_savedDir)
            setenv("BOARDSIM_DIR", g_savedDir->c_str(), 1);
        else
            unsetenv("BOARDSIM_DIR");
        g_saved = false;
        g_savedDir.reset();
    }
    std::error_code ec;
    std::filesystem::remove_all(dir_, ec);
}

uint32_t FlashLockProbe()
{
    std::atomic<uint32_t> result{OS_WAIT_FAILED};
    auto probe = [](void* p) -> uint32_t {
        Handle m = OsCreateMutex(L"NorFlash");
        uint32_t r = OsWaitForSingleObject(m, 0);
        if (r == OS_WAIT_OBJECT_0)
            OsReleaseMutex(m);
        OsCloseHandle(m);
        static_cast<std::atomic<uint32_t>*>(p)->store(r);
        return 0;
    };
    Handle t = OsCreateThread(probe, &result);
    if (t == nullptr)
        return OS_WAIT_FAILED;
    OsWaitForSingleObject(t, OS_INFINITE);
    OsCloseHandle(t);
    return result.load();
}

bool FlashLockIsFree()
{
    return FlashLockProbe() == OS_WAIT_OBJECT_0;
}
