// The default board and the table of board settings.
#include "board/default_board.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <chrono>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>

#include "board/board.h"
#include "board/bus.h"
#include "board/file_lock.h"
#include "board/hal.h"
#include "board/imagekit.h"
#include "board/registry_store.h"

namespace board {
namespace {

bool OneOf(const std::string& v, std::initializer_list<const char*> options)
{
    for (const char* o : options)
        if (v == o)
            return true;
    return false;
}

// Validators of setting values (see SettingInfo::valid).
bool ValidTimingScale(const std::string& value)
{
    char* end = nullptr;
    errno = 0;
    double d = value.empty() ? 0 : std::strtod(value.c_str(), &end);
    return !value.empty() && end && *end == 0 && errno == 0 && std::isfinite(d) && d > 0 && d <= 1e6;
}

bool ValidOffsets(const std::string& value)
{
    std::vector<uint32_t> list;
    return ParseOffsetList(value, &list);
}

bool ValidStores(const std::string& value)
{
    for (const std::string& name : SplitCommas(value)) {
        if (name.empty() || name.size() > 31)
            return false;
        for (unsigned char c : name)
            if (!(std::isalnum(c) || c == ':' || c == '_' || c == '-'))
                return false;
    }
    return true;
}

bool ValidOkFail(const std::string& v) { return OneOf(v, {"ok", "fail"}); }

// Every setting: key, default, accepted values, help, validator. A new key
// needs only its line here (and its reader).
const std::vector<SettingInfo> kSettings = {
    {"timing", "none", "none|typical|datasheet|max|random|scaled",
     "flash operation durations: none (instant), typical (datasheet is the same), max, random (uniform between "
     "typical and max, by timing-seed), or typical times the timing-scale",
     [](const std::string& v) { return OneOf(v, {"none", "typical", "datasheet", "max", "random", "scaled"}); }},
    {"timing-scale", "0.001", "N (decimal, > 0)",
     "factor applied to typical durations by `timing scaled` (a buffer is still busy for one status read)",
     ValidTimingScale},
    {"timing-seed", "1", "N (decimal or 0x-hex)", "seed of the durations `timing random` draws: the same seed, the same times",
     [](const std::string& v) {
         uint32_t n;
         return ParseU32(v, &n);
     }},
    {"power-cut-after", "none", "none|N (N >= 1)",
     "the next program that uses the flash loses power after N bus cycles (as a restart ends it)",
     [](const std::string& v) {
         uint32_t n;
         return v == "none" || (ParseU32(v, &n) && n >= 1);
     }},
    {"bus", "32", "32|16", "flash arrangement: two 16-bit devices side by side (32) or one after the other (16)",
     [](const std::string& v) { return OneOf(v, {"32", "16"}); }},
    {"fault-locked", "none", "none|OFFSET,...", "flash blocks (by any offset inside them) that act locked",
     ValidOffsets},
    {"fault-erase", "none", "none|OFFSET,...", "flash blocks whose erase fails", ValidOffsets},
    {"fault-busy", "none", "none|OFFSET,...", "flash blocks whose erase/program never completes", ValidOffsets},
    {"fault-program", "none", "none|OFFSET,...", "flash blocks whose programming fails", ValidOffsets},
    {"fault-vpp", "none", "none|OFFSET,...", "flash blocks that report programming voltage low", ValidOffsets},
    {"fault-stuck", "none", "none|OFFSET,...",
     "flash blocks whose worn cells leave some bits set when programmed (two bits a word), with a status of success",
     ValidOffsets},
    {"shift", "up", "down|up", "the Shift key", [](const std::string& v) { return OneOf(v, {"down", "up"}); }},
    {"hal-selector0", "a55a0107c0de0042", "silent|16 hex digits",
     "configuration block 0 (8 bytes) that the HAL returns; silent: no bytes",
     [](const std::string& v) {
         uint8_t b[8];
         return v == "silent" || ParseSelector0(v, b);
     }},
    {"hal-selector5", "80000,1400000,40000", "silent|OSOFFSET,REGOFFSET,REGLEN16 (hex)",
     "configuration block 5: OS image offset, registry area offset, registry area length / 2",
     [](const std::string& v) {
         uint32_t w[3];
         return v == "silent" || ParseSelector5(v, w);
     }},
    {"hal-version", "1,5,0x0000000C", "silent|ID,MAJOR,MINORANDBUILD",
     "running image's version (minorAndBuild: low 16 bits minor, high 16 bits beta build)",
     [](const std::string& v) {
         uint32_t w[3];
         return v == "silent" || ParseVersion(v, w);
     }},
    {"hal-registry-clear", "ok", "ok|fail", "result of the HAL's registry clear request", ValidOkFail},
    {"hal-restart", "ok", "ok|fail",
     "restart request: ok ends the calling program (exit status 1) as a device restart; fail returns",
     ValidOkFail},
    {"registry-flush", "ok", "ok|fail", "result of a registry flush into the flash registry area", ValidOkFail},
    {"stores", "DSK0:", "NAME,...", "storage-manager store devices (opened as \\StoreMgr\\NAME)", ValidStores},
    {"codepage", "1252", "1252|28591|65001",
     "the device's narrow code page (shortcut files): western 1252, Latin-1 or UTF-8",
     [](const std::string& v) { return OneOf(v, {"1252", "28591", "65001"}); }},
};

// Replaces dir/name with text through dir/name.tmp while holding the lock
// file dir/lockName.
bool ReplaceUnderLock(const std::string& dir, const std::string& name, const std::string& lockName,
                      const std::string& text)
{
    FileLock lock(dir + "/" + lockName);
    return ReplaceFile(dir + "/" + name, text);
}

bool MakeDir(const std::string& path)
{
    return mkdir(path.c_str(), 0755) == 0 || errno == EEXIST;
}

bool WriteText(const std::string& path, const std::string& text)
{
    return imagekit::WriteFile(path, imagekit::Bytes(text.begin(), text.end()));
}

// Sets a file's modification time (the board's creation time of files).
void SetMtime(const std::string& path, uint64_t fileTime)
{
    const uint64_t kEpochDiff = 116444736000000000ull;  // 1601 -> 1970 in 100 ns
    const std::chrono::sys_time<std::chrono::microseconds> when{
        std::chrono::microseconds((fileTime - kEpochDiff) / 10)};
    std::error_code ec;
    std::filesystem::last_write_time(HostPath(path), std::chrono::file_clock::from_sys(when), ec);
}

// The build time of the default board's images.
const uint64_t kBootloaderBuilt = imagekit::FileTimeOf(2007, 3, 5, 14, 30, 0);
const uint64_t kImageBuilt = imagekit::FileTimeOf(2008, 6, 12, 9, 15, 42);
const uint64_t kNewBootloaderBuilt = imagekit::FileTimeOf(2008, 2, 29, 11, 0, 0);
const uint64_t kNewImageBuilt = imagekit::FileTimeOf(2008, 9, 1, 17, 45, 10);

imagekit::Bytes OsImage(uint32_t length, uint64_t built, uint32_t seed)
{
    imagekit::RomImageSpec s;
    s.length = length;
    s.baseAddress = 0x80000000;
    s.headerOffset = 0x1000;
    s.seed = seed;
    s.modules = {{"coredll.dll", built}, {"filesys.exe", built}, {"nk.exe", built},
                 {"device.exe", built}, {"gwes.exe", built},    {"explorer.exe", built}};
    return imagekit::BuildRomImage(s);
}

}  // namespace

const std::vector<SettingInfo>& SettingKeys() { return kSettings; }

const SettingInfo* FindSetting(const std::string& key)
{
    for (const SettingInfo& s : kSettings)
        if (key == s.key)
            return &s;
    return nullptr;
}

std::string DefaultSetting(const std::string& key)
{
    const SettingInfo* s = FindSetting(key);
    return s ? s->def : "";
}

std::vector<std::string> SplitCommas(const std::string& s)
{
    std::vector<std::string> parts;
    size_t pos = 0;
    for (;;) {
        size_t c = s.find(',', pos);
        parts.push_back(s.substr(pos, c == std::string::npos ? std::string::npos : c - pos));
        if (c == std::string::npos)
            return parts;
        pos = c + 1;
    }
}

bool ParseHexDigits(const std::string& t, uint32_t* out)
{
    if (t.empty() || t.size() > 8)
        return false;
    uint32_t v = 0;
    for (char c : t) {
        int d = HexDigit(c);
        if (d < 0)
            return false;
        v = v << 4 | uint32_t(d);
    }
    *out = v;
    return true;
}

bool ParseU32(const std::string& t, uint32_t* out)
{
    if (t.size() > 2 && t[0] == '0' && (t[1] == 'x' || t[1] == 'X'))
        return ParseHexDigits(t.substr(2), out);
    if (t.empty() || t.size() > 12)
        return false;
    uint64_t v = 0;
    for (char c : t) {
        if (c < '0' || c > '9')
            return false;
        v = v * 10 + uint64_t(c - '0');
        if (v > 0xFFFFFFFFull)
            return false;
    }
    *out = uint32_t(v);
    return true;
}

bool ParseOffsetList(const std::string& value, std::vector<uint32_t>* out)
{
    out->clear();
    if (value == "none")
        return true;
    std::vector<uint32_t> list;
    for (const std::string& item : SplitCommas(value)) {
        uint32_t off;
        if (!ParseU32(item, &off) || off >= kFlashSize)
            return false;
        list.push_back(off);
    }
    *out = list;
    return true;
}

namespace {

// A key or value as a message quotes it: a line of the settings file may
// be megabytes long or hold control characters (a terminal's escapes), so
// at most 64 bytes of it, each control byte as \xNN.
std::string Quoted(const std::string& text)
{
    constexpr size_t kShown = 64;
    std::string out = "\"";
    for (size_t i = 0; i < text.size() && i < kShown; ++i) {
        unsigned char c = static_cast<unsigned char>(text[i]);
        if (c < 0x20 || c == 0x7F) {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\x%02X", c);
            out += hex;
        } else {
            out += char(c);
        }
    }
    return out + (text.size() > kShown ? "\"... (" + std::to_string(text.size()) + " bytes)" : "\"");
}

}  // namespace

bool ValidSetting(const std::string& key, const std::string& value, std::string* why)
{
    const SettingInfo* s = FindSetting(key);
    if (!s)
        return FailWith(why, "unknown key " + Quoted(key) + " (see boardsim help)");
    if (!s->valid(value))
        return FailWith(why, "bad value " + Quoted(value) + " for " + key + ": expected " + s->values);
    return true;
}

bool WriteDefaultBoard(const std::string& dir, bool blank)
{
    auto complain = [&](const std::string& what) {
        std::fprintf(stderr, "boardsim: cannot write %s in %s: %s\n", what.c_str(), dir.c_str(),
                     std::strerror(errno));
        return false;
    };
    // Settings: every key with its default, so that "boardsim get" and the
    // file itself show what the board does.
    std::string settings;
    for (const SettingInfo& s : kSettings)
        settings += std::string(s.key) + " " + s.def + "\n";
    if (!ReplaceUnderLock(dir, "settings", ".settings.lock", settings))
        return complain("settings");
    if (!WriteText(dir + "/events", ""))
        return complain("events");
    unlink((dir + "/clean-boot").c_str());
    // A new board's flash devices start without the old board's state.
    // Programs that have the old one mapped keep it (and the old
    // flash.img) until they end; nothing of theirs reaches the new board.
    unlink((dir + "/flash.state").c_str());
    // What a killed insert or removal of a volume left behind.
    std::error_code ec;
    std::filesystem::remove_all(dir + "/staging", ec);
    MakeDir(dir + "/locks");

    // Registry.
    RegHive hive;
    RegHiveSet(&hive, "Drivers\\BuiltIn\\StrataFMD", "MemBase", RegValue::Dword(0x01480000));
    RegHiveSet(&hive, "Drivers\\BuiltIn\\StrataFMD", "MemLen", RegValue::Dword(0x00B80000));
    RegHiveSet(&hive, "Drivers\\BuiltIn\\StrataFMD", "Dll", RegValue::String("strata.dll"));
    RegHiveSet(&hive, "System\\StorageManager\\Profiles\\MSFlash", "Folder", RegValue::String("\\Flash Disk"));
    RegHiveSet(&hive, "System\\StorageManager\\Profiles\\MSFlash", "Name", RegValue::String("Flash Disk"));
    if (!ReplaceUnderLock(dir, "registry.reg", ".registry.lock", RegSerialize(hive)))
        return complain("registry.reg");

    // Device file system.
    std::string root = dir + "/rootfs";
    if (!MakeDir(root) || !MakeDir(root + "/Windows") || !MakeDir(root + "/Flash Disk"))
        return complain("rootfs");
    std::string fdf = root + "/Windows/default.fdf";
    if (!WriteText(fdf, "; flash file system defaults of the running image\n"))
        return complain("rootfs/Windows/default.fdf");
    SetMtime(fdf, kImageBuilt);
    // Sample images: a newer OS image (lands at the OS offset) and a newer
    // bootloader (lands at offset 0).
    imagekit::Bytes nk = OsImage(0x200000, kNewImageBuilt, 31);
    if (!imagekit::WriteFile(root + "/nk.bin", imagekit::BinOfImage(0x80000000, nk)))
        return complain("rootfs/nk.bin");
    imagekit::BootloaderSpec eb;
    eb.buildTime = kNewBootloaderBuilt;
    eb.major = 2;
    eb.minorAndBuild = 4;
    eb.bannerText = imagekit::BannerText(2, 4, 2, 29, 2008);
    eb.seed = 13;
    if (!imagekit::WriteFile(root + "/eboot.bin", imagekit::BinOfImage(0xBCA00000, imagekit::BuildBootloader(eb))))
        return complain("rootfs/eboot.bin");

    // The flash last, replaced in one step: a program that finds flash.img
    // finds a whole one.
    std::vector<uint8_t> flash(kFlashSize, 0xFF);
    if (!blank) {
        imagekit::BootloaderSpec loader;
        loader.buildTime = kBootloaderBuilt;
        loader.major = 2;
        loader.minorAndBuild = 3;
        imagekit::Bytes boot = imagekit::BuildBootloader(loader);
        std::memcpy(flash.data(), boot.data(), boot.size());
        imagekit::Bytes os = OsImage(0x180000, kImageBuilt, 21);
        std::memcpy(flash.data() + 0x80000, os.data(), os.size());
    }
    const std::string_view bytes(reinterpret_cast<const char*>(flash.data()), flash.size());
    if (!ReplaceFile(dir + "/flash.img", bytes))
        return complain("flash.img");
    return true;
}

}  // namespace board
