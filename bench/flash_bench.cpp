// Bus economy of the flash routines: bus cycles per 64 bytes programmed,
// from the board's cycle counters. The flash runs with timing "none", so the
// figures are cycles, not waits.
#include <benchmark/benchmark.h>

#include <cstdint>

#include "board/board.h"
#include "board/flash_device.h"
#include "board/imagekit.h"
#include "flash/flash_access.h"
#include "tests/support/temp_board.h"

namespace {

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
    const double buffers = double(state.iterations()) * chunk / 64.0;
    state.counters["writes/64B"] = double(c.busWrites) / buffers;
    state.counters["reads/64B"] = double(c.busReads) / buffers;
    state.SetBytesProcessed(int64_t(state.iterations()) * chunk);
}
BENCHMARK(BM_ProgramChunk)->Arg(64)->Arg(16384);

}  // namespace
