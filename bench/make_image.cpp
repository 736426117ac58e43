// Writes an operating-system image file for the whole-program benchmarks:
//   bench_make_image PATH MEGABYTES
// A .bin built for 0x80000000 (so it lands where the HAL places OS images),
// filled with the image kit's pattern in 64 KB records.
#include <cstdio>
#include <cstdlib>

#include "board/imagekit.h"

int main(int argc, char** argv)
{
    if (argc != 3) {
        std::fprintf(stderr, "usage: bench_make_image PATH MEGABYTES\n");
        return 2;
    }
    long mb = std::strtol(argv[2], nullptr, 10);
    if (mb <= 0 || mb > 31) {
        std::fprintf(stderr, "bench_make_image: MEGABYTES must be 1..31\n");
        return 2;
    }
    imagekit::Bytes bin = imagekit::OsImageBin(0x80000000, uint32_t(mb) << 20, 9);
    if (!imagekit::WriteFile(argv[1], bin)) {
        std::fprintf(stderr, "bench_make_image: cannot write %s\n", argv[1]);
        return 1;
    }
    return 0;
}
