// libFuzzer entry of one fuzz case, FUZZ_CASE (see fuzz/cases.h for what
// each runs and checks). Every target has one board of its own, erased, in
// a temporary directory that lives as long as the process; the working
// directory is an empty folder inside it, so that a relative host path
// reaches nothing outside.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "fuzz/cases.h"
#include "tests/support/temp_board.h"

namespace {

TempBoard* g_board = nullptr;

// Stops the fuzzer with a message: an invariant of the code under test
// does not hold for this input.
[[noreturn]] void Fail(const char* what)
{
    std::fprintf(stderr, "fuzz invariant broken: %s\n", what);
    std::fflush(stderr);
    std::abort();
}

void DropBoard()
{
    // Leave the board's folder before it is removed.
    if (chdir("/") != 0) {
    }
    delete g_board;
    g_board = nullptr;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (g_board == nullptr) {
        g_board = new TempBoard(true);
        std::atexit(DropBoard);
        const std::string work = g_board->dir() + "/work";
        std::filesystem::create_directories(work);
        if (chdir(work.c_str()) != 0)
            Fail("cannot enter the board's work folder");
    }
    const std::string why = fuzz::FUZZ_CASE(data, size);
    if (!why.empty())
        Fail(why.c_str());
    return 0;
}
