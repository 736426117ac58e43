// The board's HAL: configuration blocks, running-image version, registry
// clear and restart, answered from the board settings.
#include "board/hal.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "board/board.h"
#include "board/bus.h"
#include "board/default_board.h"
#include "board/registry_store.h"

namespace board {
namespace {

std::atomic<void (*)(bool)> g_restartHook{nullptr};

std::string CleanBootPath() { return Dir() + "/clean-boot"; }

// The answer of one setting: its value, or the fresh board's when unset.
std::string HalSetting(const char* key)
{
    return GetSetting(key, DefaultSetting(key));
}

// The answer the setting key gives into out: true when it is set; silent
// (or a value that does not parse) leaves the fresh board's answer in out
// and returns false.
template <typename T>
bool Answer(const char* key, bool (*parse)(const std::string&, T*), T* out)
{
    std::string v = HalSetting(key);
    if (v != "silent" && parse(v, out))
        return true;
    parse(DefaultSetting(key), out);
    return false;
}

bool ValidRecord(void* in, uint32_t inSize, void* out, uint32_t outSize, HalConfigRecord* rec)
{
    if (!in || inSize != sizeof(HalConfigRecord))
        return false;
    std::memcpy(rec, in, sizeof *rec);
    uint32_t want = rec->selector == 0 ? 8 : rec->selector == 5 ? 24 : 0;
    return want != 0 && rec->size == want && rec->block && out == rec->block && outSize == rec->size;
}

int ConfigGet(void* in, uint32_t inSize, void* out, uint32_t outSize, uint32_t* returned)
{
    HalConfigRecord rec;
    if (!ValidRecord(in, inSize, out, outSize, &rec))
        return 0;
    // Selector 0 answers 8 bytes, selector 5 six words (rec.size, checked).
    uint32_t words[6] = {0, 0, 0, 0, 0, 0};
    const bool answered =
        rec.selector == 0 ? HalSelector0(reinterpret_cast<uint8_t*>(words)) : HalSelector5(words);
    if (!answered)
        return 1;  // silent: the caller keeps its defaults
    std::memcpy(out, words, rec.size);
    if (returned)
        *returned = rec.size;
    return 1;
}

int ConfigSet(void* in, uint32_t inSize, void* out, uint32_t outSize)
{
    HalConfigRecord rec;
    if (!ValidRecord(in, inSize, out, outSize, &rec))
        return 0;
    std::string line = "config-set " + std::to_string(rec.selector);
    if (rec.selector == 0) {
        const uint8_t* b = static_cast<const uint8_t*>(rec.block);
        char hex[17];
        for (int i = 0; i < 8; ++i)
            std::snprintf(hex + 2 * i, 3, "%02x", b[i]);
        line += ' ';
        line += hex;
    }
    RecordEvent(line);
    return 1;
}

int ImageVersion(uint32_t inSize, void* out, uint32_t outSize, uint32_t* returned)
{
    // The programs pass the record with output size 0; an output that states
    // a size must hold the whole record.
    if (inSize != 0 || !out || (outSize != 0 && outSize < 12))
        return 0;
    uint32_t v[3];
    if (!HalVersion(v))
        return 0;  // silent: the record stays as it was
    std::memcpy(out, v, sizeof v);
    if (returned)
        *returned = sizeof v;
    return 1;
}

int RegistryClear()
{
    if (HalSetting("hal-registry-clear") == "fail" || !RegClearFlash()) {
        RecordEvent("registry-clear failed");
        return 0;
    }
    RecordEvent("registry-clear ok");
    return 1;
}

int Restart()
{
    if (HalSetting("hal-restart") == "fail") {
        RecordEvent("restart failed");
        return 0;
    }
    bool cold = HalCleanBootMarked();
    if (cold)
        unlink(CleanBootPath().c_str());
    RecordEvent(cold ? "restart cold" : "restart warm");
    FlashResetDevices();
    if (auto hook = g_restartHook.load()) {
        hook(cold);
        return 1;
    }
    // The device restarts: the program ends here, as it would on the device.
    std::fflush(nullptr);
    _exit(1);
}

}  // namespace

bool ParseSelector0(const std::string& text, uint8_t out[8])
{
    if (text.size() != 16)
        return false;
    for (int i = 0; i < 8; ++i) {
        int hi = HexDigit(text[2 * i]), lo = HexDigit(text[2 * i + 1]);
        if (hi < 0 || lo < 0)
            return false;
        out[i] = uint8_t(hi << 4 | lo);
    }
    return true;
}

bool ParseSelector5(const std::string& text, uint32_t out[3])
{
    std::vector<std::string> parts = SplitCommas(text);
    if (parts.size() != 3)
        return false;
    uint32_t v[3];
    for (int i = 0; i < 3; ++i) {
        // Hexadecimal, with or without a 0x prefix.
        const std::string& p = parts[i];
        const bool prefixed = p.size() > 2 && p[0] == '0' && (p[1] == 'x' || p[1] == 'X');
        if (!ParseHexDigits(prefixed ? p.substr(2) : p, &v[i]))
            return false;
    }
    std::memcpy(out, v, sizeof v);
    return true;
}

bool ParseVersion(const std::string& text, uint32_t out[3])
{
    std::vector<std::string> parts = SplitCommas(text);
    if (parts.size() != 3)
        return false;
    uint32_t v[3];
    for (int i = 0; i < 3; ++i) {
        std::string p = parts[i];
        bool negative = i == 1 && !p.empty() && p[0] == '-';
        if (negative)
            p = p.substr(1);
        uint32_t x;
        if (!ParseU32(p, &x))
            return false;
        if (negative) {
            if (x > 0x80000000u)
                return false;
            x = uint32_t(0) - x;
        } else if (i == 1 && x > 0x7FFFFFFFu) {
            return false;
        }
        v[i] = x;
    }
    std::memcpy(out, v, sizeof v);
    return true;
}

bool HalSelector0(uint8_t out[8])
{
    return Answer("hal-selector0", ParseSelector0, out);
}

bool HalSelector5(uint32_t out[3])
{
    return Answer("hal-selector5", ParseSelector5, out);
}

bool HalVersion(uint32_t out[3])
{
    return Answer("hal-version", ParseVersion, out);
}

void HalRegistryArea(uint32_t* offset, uint32_t* length)
{
    uint32_t w[3];
    HalSelector5(w);
    *offset = w[1];
    *length = w[2] * 2;
}

int HalRequest(uint32_t code, void* in, uint32_t inSize, void* out, uint32_t outSize, uint32_t* returned)
{
    // Nothing returned unless a request says otherwise.
    if (returned)
        *returned = 0;
    switch (code) {
    case kHalConfigGet:
        return ConfigGet(in, inSize, out, outSize, returned);
    case kHalConfigSet:
        return ConfigSet(in, inSize, out, outSize);
    case kHalImageVersion:
        return ImageVersion(inSize, out, outSize, returned);
    case kHalRegistryClear:
        if (inSize != 0 || outSize != 0)
            return 0;
        return RegistryClear();
    case kHalRestart:
        if (inSize != 0 || outSize != 0)
            return 0;
        return Restart();
    default:
        return 0;
    }
}

void HalSetCleanBootMark()
{
    // Through the board's checks: a FIFO in its place must not hang the
    // restart that follows.
    std::string why;
    int fd = OpenBoardFile("clean-boot", O_WRONLY | O_CREAT, &why);
    if (fd >= 0)
        close(fd);
    else
        std::fprintf(stderr, "board: cannot mark the next start as a clean boot: %s\n", why.c_str());
    RecordEvent("clean-boot-mark");
}

void HalClearCleanBootMark()
{
    if (unlink(CleanBootPath().c_str()) == 0)
        RecordEvent("clean-boot-unmark");
}

bool HalCleanBootMarked()
{
    struct stat st;
    return stat(CleanBootPath().c_str(), &st) == 0;
}

void SetRestartHook(void (*hook)(bool cold))
{
    g_restartHook.store(hook);
}

}  // namespace board
