#include "fuzz/fuzz_support.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>

#include "board/board.h"
#include "platform/testing/temp_board.h"

namespace fuzz {

namespace {
TempBoard* g_board = nullptr;

void DropBoard()
{
    // Leave the board's folder before it is removed.
    if (chdir("/") != 0) {
    }
    delete g_board;
    g_board = nullptr;
}
}  // namespace

const std::string& Board()
{
    if (g_board == nullptr) {
        g_board = new TempBoard(true);
        std::atexit(DropBoard);
        std::string work = g_board->dir() + "/work";
        std::filesystem::create_directories(work);
        if (chdir(work.c_str()) != 0)
            Fail("cannot enter the board's work folder");
    }
    return g_board->dir();
}

void Fail(const char* what)
{
    std::fprintf(stderr, "fuzz invariant broken: %s\n", what);
    std::fflush(stderr);
    std::abort();
}

}  // namespace fuzz
