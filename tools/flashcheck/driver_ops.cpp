#include "tools/flashcheck/driver_ops.h"

#include "flash/flash_access.h"

namespace flashcheck {

namespace {

constexpr uint32_t kWindowBytes = 32u << 20;
constexpr uint32_t kBlockA = 0x100000, kBlockB = 0x140000, kBlockC = 0x180000;

// The data programmed: bytes that are neither erased (0xFF) nor zero, and
// readable past every count used, as the driver wants of a partial word.
alignas(4) uint8_t g_source[0x4000 + 64];

}  // namespace

void RunDriverOps(DriverReport report)
{
    for (uint32_t i = 0; i < sizeof g_source; ++i)
        g_source[i] = uint8_t(0x21 + (i * 13) % 0xD0);
    Handle lock = LockFlash();
    uint8_t* w = MapFlashWindow(kWindowBytes);
    report("map", w != nullptr ? 1 : 0);
    if (w == nullptr) {
        UnlockFlash(lock);
        return;
    }
    report("erase-blank-block", uint32_t(EraseBlock(w + kBlockA)));
    report("program-aligned-1000", uint32_t(ProgramFlash(g_source, w + kBlockA, 1000)));
    // 48 bytes past a buffer line: buffers of 4, 16 and 5 words.
    report("program-unaligned-100", uint32_t(ProgramFlash(g_source + 8, w + kBlockA + 0x1000 + 48, 100)));
    // 5 bytes: two bus words, the second one's last bytes from past the data.
    report("program-partial-5", uint32_t(ProgramFlash(g_source + 16, w + kBlockA + 0x2000, 5)));
    // 60 bytes past a line: a first buffer of one word.
    report("program-one-word-first", uint32_t(ProgramFlash(g_source + 24, w + kBlockA + 0x3000 + 60, 64)));
    report("program-zero-bytes", uint32_t(ProgramFlash(g_source, w + kBlockA + 0x3800, 0)));
    // A whole chunk of the update: many buffers in one call.
    report("program-chunk-16k", uint32_t(ProgramFlash(g_source, w + kBlockB, 0x4000)));
    report("blank-check-written", uint32_t(IsBlockErased(w + kBlockB, FlashBlockSize())));
    report("erase-written-block", uint32_t(EraseBlock(w + kBlockB)));
    report("blank-check-erased", uint32_t(IsBlockErased(w + kBlockB, FlashBlockSize())));
    report("program-after-erase", uint32_t(ProgramFlash(g_source + 4, w + kBlockB + 0x80, 256)));
    report("program-block-end", uint32_t(ProgramFlash(g_source, w + kBlockC - 64, 64)));
    report("erase-written-again", uint32_t(EraseBlock(w + kBlockA)));
    report("program-last-word", uint32_t(ProgramFlash(g_source, w + kBlockA + FlashBlockSize() - 4, 4)));
    ResetToReadArray(w);
    UnlockFlash(lock);
    UnmapFlashWindow(w);
}

}  // namespace flashcheck
