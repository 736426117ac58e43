// Runs AutoCopyVolume once for the volume path given (a device path such as
// "\BENCH") on the board in $BOARDSIM_DIR and prints the seconds it took.
// tools/bench.sh compares that with `cp -r` of the same tree.
#include <chrono>
#include <cstdio>
#include <string>

#include "autorun/autorun.h"

int main(int argc, char** argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: bench_autocopy_run VOLUME\n");
        return 2;
    }
    std::string narrow = argv[1];
    std::wstring volume(narrow.begin(), narrow.end());
    auto t0 = std::chrono::steady_clock::now();
    AutoCopyVolume(volume.c_str());
    auto t1 = std::chrono::steady_clock::now();
    std::printf("%.6f\n", std::chrono::duration<double>(t1 - t0).count());
    return 0;
}
