// Bus economy of the flash routines: bus cycles per 64 bytes programmed and
// per blank block checked, from the board's cycle counters. The flash runs
// with timing "none", so the figures are cycles, not waits.
#include <benchmark/benchmark.h>

#include <cstdint>

#include "bench/bench_support.h"
#include "board/board.h"
#include "board/flash_device.h"
#include "board/imagekit.h"
#include "flash/flash_access.h"
#include "platform/testing/temp_board.h"

namespace {

void SetCycleCounters(benchmark::State& state, const board::FlashCounters& c, double units,
                      const char* per)
{
    state.counters[std::string("writes/") + per] = double(c.busWrites) / units;
    state.counters[std::string("reads/") + per] = double(c.busReads) / units;
}

// ProgramFlash as the update worker calls it: chunks of chunkBytes.
void BM_ProgramChunk(benchmark::State& state)
{
    const uint32_t chunk = uint32_t(state.range(0));
    TempBoard tb(true);
    board::SetSetting("timing", "none");
    imagekit::Bytes data = imagekit::Pattern(chunk + 4, 41);
    uint8_t* window = MapFlashWindow(FLASH_WINDOW_FULL);
    if (window == nullptr) {
        state.SkipWithError("no flash window");
        return;
    }
    const uint32_t area = 8u << 20;   // programmed over and over: only clears bits
    uint32_t offset = 0x400000;
    board::FlashResetCounters();
    int ok = 1;
    for (auto _ : state) {
        ok &= ProgramFlash(data.data(), window + offset, chunk);
        offset += chunk;
        if (offset + chunk > 0x400000 + area)
            offset = 0x400000;
    }
    board::FlashCounters c = board::FlashGetCounters();
    ResetToReadArray(window);
    UnmapFlashWindow(window);
    if (!ok)
        state.SkipWithError("ProgramFlash failed");
    double buffers = double(state.iterations()) * chunk / 64.0;
    SetCycleCounters(state, c, buffers, "64B");
    state.SetBytesProcessed(int64_t(state.iterations()) * chunk);
}
BENCHMARK(BM_ProgramChunk)->Arg(64)->Arg(16384);

// The blank check that decides whether a block needs an erase.
void BM_BlankCheckBlock(benchmark::State& state)
{
    TempBoard tb(true);
    uint8_t* window = MapFlashWindow(FLASH_WINDOW_FULL);
    if (window == nullptr) {
        state.SkipWithError("no flash window");
        return;
    }
    const uint32_t block = FlashBlockSize();
    board::FlashResetCounters();
    int blank = 1;
    uint32_t b = 0;
    for (auto _ : state) {
        blank &= IsBlockErased(window + b * block, block);
        b = (b + 1) % (FLASH_WINDOW_FULL / block);
    }
    board::FlashCounters c = board::FlashGetCounters();
    UnmapFlashWindow(window);
    if (!blank)
        state.SkipWithError("blank flash did not read blank");
    SetCycleCounters(state, c, double(state.iterations()), "block");
    state.SetBytesProcessed(int64_t(state.iterations()) * block);
}
BENCHMARK(BM_BlankCheckBlock);

// EraseBlock on a block that is already blank: the blank check only.
void BM_EraseBlankBlock(benchmark::State& state)
{
    TempBoard tb(true);
    uint8_t* window = MapFlashWindow(FLASH_WINDOW_FULL);
    if (window == nullptr) {
        state.SkipWithError("no flash window");
        return;
    }
    const uint32_t block = FlashBlockSize();
    board::FlashResetCounters();
    int ok = 1;
    for (auto _ : state)
        ok &= EraseBlock(window + 0x1000000);
    board::FlashCounters c = board::FlashGetCounters();
    UnmapFlashWindow(window);
    if (!ok)
        state.SkipWithError("EraseBlock failed");
    SetCycleCounters(state, c, double(state.iterations()), "block");
    state.SetBytesProcessed(int64_t(state.iterations()) * block);
}
BENCHMARK(BM_EraseBlankBlock);

// EraseBlock on a block with one programmed word at its end: a full read
// pass, then the erase sequence.
void BM_EraseDirtyBlock(benchmark::State& state)
{
    TempBoard tb(true);
    uint8_t* window = MapFlashWindow(FLASH_WINDOW_FULL);
    if (window == nullptr) {
        state.SkipWithError("no flash window");
        return;
    }
    const uint32_t block = FlashBlockSize();
    const uint8_t word[4] = {0xCC, 0xCC, 0xCC, 0xCC};
    uint8_t* target = window + 0x1000000;
    int ok = 1;
    board::FlashCounters total{};
    for (auto _ : state) {
        state.PauseTiming();
        ok &= ProgramFlash(word, target + block - 4, 4);
        board::FlashResetCounters();
        state.ResumeTiming();
        ok &= EraseBlock(target);
        board::FlashCounters c = board::FlashGetCounters();
        total.busReads += c.busReads;
        total.busWrites += c.busWrites;
    }
    ResetToReadArray(window);
    UnmapFlashWindow(window);
    if (!ok)
        state.SkipWithError("program or erase failed");
    SetCycleCounters(state, total, double(state.iterations()), "block");
}
BENCHMARK(BM_EraseDirtyBlock);

}  // namespace
