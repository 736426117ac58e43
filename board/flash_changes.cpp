// The record of what this process's own bus cycles changed in the flash
// array (see FlashProgramChanges), kept apart from the firmware's rewrites.
#include <atomic>

#include "board/flash_state.h"

namespace board {
namespace {

std::atomic<uint64_t> g_erasedBytes{0};
std::atomic<uint64_t> g_programmedBytes{0};
std::atomic<uint32_t> g_changedLow{~0u}, g_changedHigh{0};
std::atomic<uint32_t> g_programmedLow{~0u}, g_programmedHigh{0};
thread_local int t_firmware = 0;

void Widen(std::atomic<uint32_t>& low, std::atomic<uint32_t>& high, uint32_t from, uint32_t to)
{
    uint32_t now = low.load();
    while (from < now && !low.compare_exchange_weak(now, from)) {
    }
    now = high.load();
    while (to > now && !high.compare_exchange_weak(now, to)) {
    }
}

}  // namespace

namespace flash {

void NoteArrayChange(size_t offset, size_t span, size_t bytes, bool erase)
{
    if (t_firmware > 0)
        return;
    const auto from = static_cast<uint32_t>(offset), to = static_cast<uint32_t>(offset + span);
    Widen(g_changedLow, g_changedHigh, from, to);
    if (!erase)
        Widen(g_programmedLow, g_programmedHigh, from, to);
    (erase ? g_erasedBytes : g_programmedBytes).fetch_add(bytes);
}

}  // namespace flash

FlashChanges FlashProgramChanges()
{
    return FlashChanges{g_erasedBytes.load(),  g_programmedBytes.load(), g_changedLow.load(),
                        g_changedHigh.load(),   g_programmedLow.load(),   g_programmedHigh.load()};
}

void FlashResetProgramChanges()
{
    g_erasedBytes.store(0);
    g_programmedBytes.store(0);
    g_changedLow.store(~0u);
    g_changedHigh.store(0);
    g_programmedLow.store(~0u);
    g_programmedHigh.store(0);
}

FlashFirmwareWrites::FlashFirmwareWrites()
{
    ++t_firmware;
}

FlashFirmwareWrites::~FlashFirmwareWrites()
{
    --t_firmware;
}

}  // namespace board
