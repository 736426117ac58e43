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
//
// BM_CheckPass and BM_ReadBackPass: the two parts of that update that make
// it safe, on their own, with the worker's own calls: the check of the
// whole file before the flash is touched (every chunk read and summed), and
// the read-back (every erased block checked blank, every 16 KB chunk read
// back and compared). Their times over BM_UpdateThroughput's are the
// shares that bench.sh reports.
#include <benchmark/benchmark.h>

#include <array>
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
#include "platform/files.h"
#include "platform/host/clock.h"
#include "platform/mmio.h"
#include "platform/sync.h"
#include "platform/testing/temp_board.h"
#include "platform/testing/ui_double.h"
#include "update/globals.h"
#include "update/image_update.h"

namespace {

// The region table as the program starts with it, saved before anything
// changes it.
const std::array<FlashRegion, FLASH_REGION_COUNT> kStartLayout = std::to_array(FlashLayout);

constexpr uint32_t kImageBytes = 20u << 20;
constexpr uint32_t kImageStart = 0x80000000;
constexpr uint32_t kFlashStart = 0x80000;   // where the HAL places OS images

void NoRestart(bool) {}

// One run of the worker on a fresh progress dialog. 1 = completed.
uint32_t RunWorker(const std::wstring& path)
{
    std::copy(kStartLayout.begin(), kStartLayout.end(), FlashLayout);
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

void BM_CheckPass(benchmark::State& state)
{
    TempBoard tb(true);
    std::wstring path =
        bench::PlaceInRoot(tb.rootfs(), "nk.bin", imagekit::OsImageBin(kImageStart, kImageBytes, 9));
    // As the worker reads: 16 KB chunks, the last of a record with the next
    // record's header, and the first header with the file's.
    static uint8_t data[IMAGE_CHUNK_BYTES + 12];
    uint32_t sums = 0;
    for (auto _ : state) {
        Handle file = OsCreateFile(path.c_str(), OS_GENERIC_READ, 0, OS_OPEN_EXISTING, 0);
        uint32_t got = 0;
        OsReadFile(file, data, 27, &got);
        uint32_t header[3];
        std::memcpy(header, data + 15, 12);
        // (The image has no empty records: each record's last chunk brings
        // the next header.)
        while (!(header[0] == 0 && header[2] == 0) && header[1] != 0) {
            for (uint32_t left = header[1]; left != 0;) {
                uint32_t chunk = left < IMAGE_CHUNK_BYTES ? left : IMAGE_CHUNK_BYTES;
                OsReadFile(file, data, chunk + (chunk == left ? 12 : 0), &got);
                sums += ByteSum(data, chunk);
                left -= chunk;
                if (left == 0)
                    std::memcpy(header, data + chunk, 12);
            }
        }
        OsCloseHandle(file);
    }
    benchmark::DoNotOptimize(sums);
    state.SetBytesProcessed(int64_t(state.iterations()) * kImageBytes);
}
BENCHMARK(BM_CheckPass)->Iterations(3)->Unit(benchmark::kMillisecond);

void BM_ReadBackPass(benchmark::State& state)
{
    TempBoard tb(true);
    board::SetSetting("timing", "none");
    uint8_t* window = MapFlashWindow(FLASH_WINDOW_FULL);
    static uint8_t data[IMAGE_CHUNK_BYTES + 4], back[IMAGE_CHUNK_BYTES + 4];
    std::memset(data, 0xFF, sizeof data);
    int same = 0;
    for (auto _ : state) {
        for (uint32_t b = kFlashStart; b < kFlashStart + kImageBytes; b += FlashBlockSize())
            same += IsBlockErased(window + b, FlashBlockSize());
        for (uint32_t at = kFlashStart; at < kFlashStart + kImageBytes; at += IMAGE_CHUNK_BYTES) {
            ResetToReadArray(window + at);
            OsReadBulk(back, window + at, IMAGE_CHUNK_BYTES);
            same += std::memcmp(back, data, IMAGE_CHUNK_BYTES) == 0;
        }
    }
    UnmapFlashWindow(window);
    benchmark::DoNotOptimize(same);
    state.SetBytesProcessed(int64_t(state.iterations()) * kImageBytes);
}
BENCHMARK(BM_ReadBackPass)->Iterations(3)->Unit(benchmark::kMillisecond);

}  // namespace
