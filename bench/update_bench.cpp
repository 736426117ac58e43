// The update worker in-process on the board's flash devices: a 20 MB
// operating-system image written over an earlier one with datasheet-like
// flash timing on the virtual clock. The reported time is emulated device
// time (manual time); "limit_s" is what the devices themselves need (blocks
// erased x erase time + buffers x buffer program time) and "ratio" the
// worker's time over that limit.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <cwchar>
#include <vector>

#include "board/board.h"
#include "board/flash_device.h"
#include "board/hal.h"
#include "board/imagekit.h"
#include "flash/flash_layout.h"
#include "platform/clock.h"
#include "platform/host/clock.h"
#include "tests/support/temp_board.h"
#include "tests/support/ui_double.h"
#include "resources/resources.h"
#include "update/globals.h"
#include "update/image_update.h"

namespace {

// The region table as the program starts with it, saved before anything
// changes it.
const std::array<FlashRegion, FLASH_REGION_COUNT> kStartLayout = std::to_array(FlashLayout);

constexpr uint32_t kImageBytes = 20u << 20;
constexpr uint32_t kFlashStart = 0x80000;   // where the HAL places OS images

// One run of the worker on a fresh progress dialog. 1 = completed.
uint32_t RunWorker()
{
    std::copy(kStartLayout.begin(), kStartLayout.end(), FlashLayout);
    Window dialog = uidouble::NewDialog(&ProgressDialogTemplate);
    if (dialog == nullptr)
        return 0;
    uidouble::AnswerNext(OS_IDOK);   // the overlap warning: go on
    uidouble::AnswerNext(OS_IDNO);   // no restart
    std::wcscpy(ImagePath, L"\\nk.bin");
    AbortRequested = 0;
    return ImageUpdateWorker(dialog);
}

// The flash bus blocks of the image's span that hold anything but 0xFF.
uint32_t DirtyBlocks()
{
    const uint32_t blockBytes = board::FlashBusBlockBytes();
    std::vector<uint8_t> block(blockBytes);
    uint32_t dirty = 0;
    for (uint32_t at = kFlashStart; at < kFlashStart + kImageBytes; at += blockBytes) {
        if (!board::FlashPeek(block.data(), at, blockBytes))
            return 0;
        if (std::any_of(block.begin(), block.end(), [](uint8_t v) { return v != 0xFF; }))
            ++dirty;
    }
    return dirty;
}

void BM_UpdateDeviceTime(benchmark::State& state)
{
    TempBoard tb(true);
    uidouble::Install();
    board::SetRestartHook([](bool) {});   // a restart ends nothing
    bool ok = imagekit::WriteFile(tb.rootfs() + "/nk.bin", imagekit::OsImageBin(0x80000000, kImageBytes, 9));
    board::SetSetting("timing", "none");
    ok = ok && RunWorker() == 1;   // an earlier image to erase
    double lastRatio = 0, lastLimit = 0, blocks = 0, buffers = 0;
    for (auto _ : state) {
        blocks = DirtyBlocks();
        buffers = double(kImageBytes) / (16.0 * board::FlashBusWidth());
        board::SetSetting("timing", "datasheet");
        OsUseVirtualClock(1000000, 1);
        uint64_t t0 = OsClockMicros();
        ok = ok && RunWorker() == 1;
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

}  // namespace
