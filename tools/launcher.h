// What the Linux launchers answer themselves: --help and --version, as the
// only argument, print their text and end with exit code 0. Everything
// else goes to the program's entry unchanged, so the program's own
// command-line grammar stays exact.
#pragma once
#include <cstdio>
#include <cstring>

inline constexpr char kBoardSupportVersion[] = "1.7";

// -1 when argv is for the program; else the exit code (0).
inline int LauncherOption(int argc, char** argv, const char* name, const char* help)
{
    if (argc != 2)
        return -1;
    if (std::strcmp(argv[1], "--help") == 0) {
        std::fputs(help, stdout);
        return 0;
    }
    if (std::strcmp(argv[1], "--version") == 0) {
        std::printf("%s %s (board support programs, simulated board)\n", name, kBoardSupportVersion);
        return 0;
    }
    return -1;
}
