// Checksum and scans: ByteSum against memcpy of the same buffer, the
// running-image search over the whole flash window, and the version
// report's scans of a 128 KB copy of the flash's start.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstring>
#include <vector>

#include "board/board.h"
#include "board/imagekit.h"
#include "flash/flash_access.h"
#include "flash/flash_layout.h"
#include "platform/testing/temp_board.h"
#include "update/image_update.h"
#include "version/bsp_version.h"

namespace {

void BM_ByteSum(benchmark::State& state)
{
    imagekit::Bytes data = imagekit::Pattern(size_t(state.range(0)), 2);
    for (auto _ : state) {
        uint32_t sum = ByteSum(data.data(), uint32_t(data.size()));
        benchmark::DoNotOptimize(sum);
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * state.range(0));
}
BENCHMARK(BM_ByteSum)->Arg(16384)->Arg(4 << 20);

void BM_Memcpy(benchmark::State& state)
{
    imagekit::Bytes data = imagekit::Pattern(size_t(state.range(0)), 2);
    std::vector<uint8_t> copy(data.size());
    for (auto _ : state) {
        std::memcpy(copy.data(), data.data(), data.size());
        benchmark::DoNotOptimize(copy.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * state.range(0));
}
BENCHMARK(BM_Memcpy)->Arg(16384)->Arg(4 << 20);

// blank = 1: an erased flash, so every 256 KB step is looked at (the worst
// case); 0: the default board, whose image lies at the second step.
void BM_FindRunningImage(benchmark::State& state)
{
    const bool blank = state.range(0) != 0;
    TempBoard tb(blank);
    uint8_t* window = MapFlashWindow(FLASH_WINDOW_FULL);
    if (window == nullptr) {
        state.SkipWithError("no flash window");
        return;
    }
    int found = 0;
    for (auto _ : state) {
        uint32_t start = 0, length = 0;
        found = FindRunningImage(window, FLASH_WINDOW_FULL, &start, &length);
        benchmark::DoNotOptimize(start);
    }
    UnmapFlashWindow(window);
    if (found == blank)
        state.SkipWithError("unexpected search result");
}
BENCHMARK(BM_FindRunningImage)->Arg(1)->Arg(0)->Unit(benchmark::kMicrosecond);

// found = 0: a window without the thing searched for (a full pass).
std::vector<uint8_t> VersionWindow(bool found)
{
    if (!found)
        return imagekit::Pattern(VERSION_WINDOW_SIZE, 12);
    imagekit::BootloaderSpec spec;
    spec.versionOffset = 0x1F000;   // late in the window: nearly a full pass
    spec.bannerOffset = 0x1F400;
    imagekit::Bytes boot = imagekit::BuildBootloader(spec);
    boot.resize(VERSION_WINDOW_SIZE, 0xFF);
    return boot;
}

void BM_FindVersionBlock(benchmark::State& state)
{
    std::vector<uint8_t> window = VersionWindow(state.range(0) != 0);
    if (window.size() != VERSION_WINDOW_SIZE) {
        state.SkipWithError("no bootloader");
        return;
    }
    int found = 0;
    for (auto _ : state) {
        BuildVersion record{};
        found = FindVersionBlock(window.data(), &record);
        benchmark::DoNotOptimize(record);
    }
    if (found != int(state.range(0)))
        state.SkipWithError("unexpected search result");
}
BENCHMARK(BM_FindVersionBlock)->Arg(0)->Arg(1)->Unit(benchmark::kMicrosecond);

void BM_FindText(benchmark::State& state)
{
    std::vector<uint8_t> window = VersionWindow(state.range(0) != 0);
    if (window.size() != VERSION_WINDOW_SIZE) {
        state.SkipWithError("no bootloader");
        return;
    }
    int found = 0;
    for (auto _ : state) {
        uint32_t after = 0;
        found = FindText(window.data(), imagekit::kBannerPrefix, &after);
        benchmark::DoNotOptimize(after);
    }
    if (found != int(state.range(0)))
        state.SkipWithError("unexpected search result");
}
BENCHMARK(BM_FindText)->Arg(0)->Arg(1)->Unit(benchmark::kMicrosecond);

}  // namespace
