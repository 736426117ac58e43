// The update worker in-process on the board's flash devices.
//
// BM_UpdateDeviceTime: a 20 MB operating-system image written over an
// earlier one with datasheet-like flash timing on the virtual clock. The
// reported time is emulated device time (manual time); "limit_s" is what
// the devices themselves need (blocks erased x erase time + buffers x
// buffer program time) and "ratio" the worker's time over that limit.
//
// BM_UpdateThroughput: the same update with timing "none", in real time:
// what the worker and the bus model cost per megabyte.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstring>
#include <cwchar>

#include "bench/bench_support.h"
#include "board/board.h"
#include "board/flash_device.h"
#include "board/hal.h"
#include "board/imagekit.h"
#include "flash/flash_access.h"
#include "flash/flash_layout.h"
#include "platform/clock.h"
#include "platform/testing/temp_board.h"
#include "platform/testing/ui_double.h"
#include "update/globals.h"
#include "update/image_update.h"

namespace {

constexpr uint32_t kImageBytes = 20u << 20;
constexpr uint32_t kImageStart = 0x80000000;
constexpr uint32_t kFlashStart = 0x80000;   // where the HAL places OS images

void NoRestart(bool) {}

// One run of the worker on a fresh progress dialog. 1 = completed.
uint32_t RunWorker(const std::wstring& path)
{
    std::memcpy(FlashLayout, DefaultFlashLayout, sizeof(FlashLayout));
    Window dialog = uidouble::NewDialog(&bench::kProgressDialog);
    if (dialog == nullptr)
        return 0;
    uidouble::AnswerNext(OS_IDOK);   // the overlap warning: go on
    uidouble::AnswerNext(OS_IDNO);   // no restart
    std::wcsncpy(ImagePath, path.c_str(), IMAGE_PATH_CHARS - 1);
    ImagePath[IMAGE_PATH_CHARS - 1] = 0;
    AbortRequested = 0;
    return ImageUpdateWorker(dialog);
}

void BM_UpdateDeviceTime(benchmark::State& state)
{
    TempBoard tb(true);
    uidouble::Install();
    board::SetRestartHook(NoRestart);
    std::wstring path =
        bench::PlaceInRoot(tb.rootfs(), "nk.bin", imagekit::OsImageBin(kImageStart, kImageBytes, 9));
    board::SetSetting("timing", "none");
    bool ok = !path.empty() && RunWorker(path) == 1;   // an earlier image to erase
    double lastRatio = 0, lastLimit = 0, blocks = 0, buffers = 0;
    for (auto _ : state) {
        blocks = bench::DirtyBlocks(kFlashStart, kImageBytes, board::FlashBusBlockBytes());
        buffers = double(kImageBytes) / (16.0 * board::FlashBusWidth());
        board::SetSetting("timing", "datasheet");
        OsUseVirtualClock(1000000, 1);
        uint64_t t0 = OsClockMicros();
        ok = ok && RunWorker(path) == 1;
        uint64_t t1 = OsClockMicros();
        OsUseRealClock();
        board::SetSetting("timing", "none");
        double seconds = double(t1 - t0) / 1e6;
        lastLimit = (blocks * double(board::kEraseMicros) + buffers * double(board::kBufferProgramMicros)) / 1e6;
        lastRatio = seconds / lastLimit;
        state.SetIterationTime(seconds);
    }
    board::SetRestartHook(nullptr);
    uidouble::Uninstall();
    if (!ok)
        state.SkipWithError("the update did not complete");
    state.counters["blocks_erased"] = blocks;
    state.counters["buffers"] = buffers;
    state.counters["limit_s"] = lastLimit;
    state.counters["ratio"] = lastRatio;
}
BENCHMARK(BM_UpdateDeviceTime)->UseManualTime()->Iterations(1)->Unit(benchmark::kSecond);

void BM_UpdateThroughput(benchmark::State& state)
{
    TempBoard tb(true);
    uidouble::Install();
    board::SetRestartHook(NoRestart);
    board::SetSetting("timing", "none");
    std::wstring path =
        bench::PlaceInRoot(tb.rootfs(), "nk.bin", imagekit::OsImageBin(kImageStart, kImageBytes, 9));
    bool ok = !path.empty();
    board::FlashResetCounters();
    for (auto _ : state)
        ok = ok && RunWorker(path) == 1;
    board::FlashCounters c = board::FlashGetCounters();
    board::SetRestartHook(nullptr);
    uidouble::Uninstall();
    if (!ok)
        state.SkipWithError("the update did not complete");
    state.SetBytesProcessed(int64_t(state.iterations()) * kImageBytes);
    double per64 = double(state.iterations()) * kImageBytes / 64.0;
    state.counters["writes/64B"] = double(c.busWrites) / per64;
    state.counters["reads/64B"] = double(c.busReads) / per64;
}
BENCHMARK(BM_UpdateThroughput)->Iterations(3)->Unit(benchmark::kMillisecond);

}  // namespace
