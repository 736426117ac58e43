// boardsim: creates, inspects and controls the simulated board.
#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include <unistd.h>

#include "board/board.h"
#include "board/bus.h"
#include "board/default_board.h"
#include "board/file_lock.h"
#include "board/flash_device.h"
#include "board/hal.h"
#include "board/imagekit.h"
#include "board/registry_store.h"
#include "board/volumes.h"
#include "tools/boardsim/flash_view.h"
#include "tools/boardsim/map.h"
#include "tools/launcher.h"

namespace {

using flashview::DateOf;
using flashview::Hex8;
using flashview::NameAt;
using imagekit::Bytes;
using imagekit::Get32;

int Usage(const char* why)
{
    std::fprintf(stderr, "boardsim: %s\nUsage: boardsim init [--blank] [--force] | show | events | set KEY VALUE | "
                         "get KEY | insert NAME DIR | remove NAME | map FILE.svg | verify FILE.bin | power-cut | help\n",
                 why);
    return 2;
}

// The flash operation times behind `timing`, and where they come from.
void FlashTimes()
{
    struct Row {
        const char* what;
        uint64_t typical, maximum;
    };
    const Row rows[] = {
        {"block erase (128 KB)", board::kEraseMicros, board::kEraseMaxMicros},
        {"buffer program (16 words)", board::kBufferProgramMicros, board::kBufferProgramMaxMicros},
        {"word program", board::kWordProgramMicros, board::kWordProgramMaxMicros},
        {"lock block", board::kLockMicros, board::kLockMaxMicros},
        {"unlock (all blocks)", board::kUnlockMicros, board::kUnlockMaxMicros},
    };
    std::printf("\nFlash operation times (per device; typical / max):\n");
    for (const Row& r : rows)
        std::printf("  %-26s %9llu us / %9llu us\n", r.what, (unsigned long long)r.typical,
                    (unsigned long long)r.maximum);
    std::printf(
        "From the datasheet \"Intel StrataFlash Memory (J3) 256-Mbit (x8/x16)\" (28F128J3 and\n"
        "its family, 0.25 um J3A and 0.18 um J3C; order number 290667), table \"Block Erase,\n"
        "Program, and Lock-Bit Configuration Performance\"; its 32-byte buffer at \"6.8 us per\n"
        "byte effective programming time\" is the 218 us above. A buffer of fewer words takes\n"
        "its share.\n"
        "`random` draws each time uniformly between the two; `scaled` is the typical time\n"
        "times timing-scale, and busy for at least one status read.\n");
}

void Help()
{
    std::printf(
        "boardsim: the simulated board (folder: $BOARDSIM_DIR, else "
        "${XDG_STATE_HOME:-$HOME/.local/state}/boardsim/default)\n"
        "\n"
        "Commands:\n"
        "  init [--blank] [--force]\n"
        "                     (re)create the board: bootloader at 0, OS image at 0x80000,\n"
        "                     registry, rootfs with \\Windows\\default.fdf, \\Flash Disk, and the\n"
        "                     sample images \\nk.bin (OS image) and \\eboot.bin (bootloader);\n"
        "                     --blank leaves the flash erased (all 0xFF); refused (exit code 2)\n"
        "                     while a program holds the flash lock, unless --force\n"
        "  show               what is in flash and where, HAL answers, faults, volumes, Shift\n"
        "  events             the HAL's event log, oldest first\n"
        "  set KEY VALUE      change a setting\n"
        "  get KEY            print a setting\n"
        "  insert NAME DIR    mount a copy of host folder DIR as the volume \\NAME\n"
        "  remove NAME        remove the volume \\NAME\n"
        "  map FILE.svg       draw the flash: regions, images, each 256 KB block, registry area\n"
        "  verify FILE.bin    read the image's records back from where flashupdate puts them\n"
        "  power-cut          the board loses power now: an erase or program still running\n"
        "                     leaves its block or line with unpredictable bits\n"
        "  help               this text\n"
        "\n"
        "The Linux and the Windows build share the board's files, but a board is used by\n"
        "one side at a time: their locks do not see each other. A program refuses a board\n"
        "whose flash a program of the other side has open.\n"
        "\n"
        "Settings (KEY: values, default; what it does):\n");
    for (const board::SettingInfo& s : board::SettingKeys())
        std::printf("  %-19s %s (default %s)\n  %-19s %s\n", s.key, s.values, s.def, "", s.help);
    std::printf(
        "\n"
        "Flash offsets in fault lists are decimal or 0x-hex; each names the erase block that\n"
        "holds it.\n"
        "A restart request (warm or cold) records its event and ends the calling program\n"
        "with exit status 1, as the device's restart would; with hal-restart fail it returns.\n"
        "Events: restart warm|cold|failed, clean-boot-mark, clean-boot-unmark, registry-clear ok|failed,\n"
        "registry-flush ok|failed, config-set SELECTOR [BLOCK], power-cut [after N bus cycles].\n");
    FlashTimes();
}

// Describes an image that FindImages found.
void ShowImage(const flashview::Image& img, const char* indent)
{
    if (img.kind != "ROM image") {
        std::printf("%s%s at %s, length %s\n", indent, img.kind.c_str(), Hex8(img.start).c_str(),
                    Hex8(img.length).c_str());
    } else {
        std::printf("%sROM image %s..%s (length %s), addresses %s..%s, %u module%s%s\n", indent,
                    Hex8(img.start).c_str(), Hex8(img.start + img.length).c_str(), Hex8(img.length).c_str(),
                    Hex8(img.first).c_str(), Hex8(img.last).c_str(), img.moduleCount, img.moduleCount == 1 ? "" : "s",
                    img.consistent ? "" : ", header address inconsistent");
        for (const flashview::Module& m : img.modules)
            std::printf("%s  %-16s %s\n", indent, m.name.c_str(), DateOf(m.fileTime).c_str());
    }
    if (img.incomplete)
        std::printf("%s  INCOMPLETE: %u block%s of its span erased or partly written%s; an update was cut off "
                    "after its erase: write the image again before a restart\n",
                    indent, img.erasedBlocks, img.erasedBlocks == 1 ? "" : "s",
                    img.erasedBlocks == 0 ? " (its end reads erased)" : "");
}

int Show()
{
    Bytes f;
    std::string text, why;
    if (!board::ReadBoardFile("flash.img", &text, &why, board::kFlashSize)) {
        std::fprintf(stderr, "boardsim: cannot read %s\n",
                     why.empty() ? board::FlashImagePath().c_str() : why.c_str());
        return 1;
    }
    f.assign(text.begin(), text.end());
    text.clear();
    std::printf("Board: %s\n", board::Dir().c_str());
    std::vector<std::string> damage = board::BoardDamage();
    for (const std::string& d : damage)
        std::printf("DAMAGED: %s\n", d.c_str());
    std::printf("Flash: %s, %zu bytes%s\n", board::FlashImagePath().c_str(), f.size(),
                f.size() == board::kFlashSize ? "" : " (not the 32 MiB expected)");
    f.resize(board::kFlashSize, 0xFF);

    std::printf("\nBootloader (offset 0, first 128 KB):\n");
    bool any = false;
    for (uint32_t o = 0; o + 20 <= 0x20000; o += 4) {
        if (Get32(f, o) == imagekit::kVersionMarkerHead && Get32(f, o + 16) == imagekit::kVersionMarkerTail) {
            uint32_t mab = Get32(f, o + 12);
            std::printf("  version block at %s: id %u, version %d.%u, build %u\n", Hex8(o).c_str(),
                        Get32(f, o + 4), int32_t(Get32(f, o + 8)), mab & 0xFFFF, mab >> 16);
            any = true;
            break;
        }
    }
    const std::string prefix = imagekit::kBannerPrefix;
    auto it = std::search(f.begin(), f.begin() + 0x20000, prefix.begin(), prefix.end());
    if (it != f.begin() + 0x20000) {
        size_t at = size_t(it - f.begin());
        std::printf("  banner at %s: \"%s\"\n", Hex8(uint32_t(at)).c_str(), NameAt(f, at, 160).c_str());
        any = true;
    }
    std::vector<uint32_t> badHeaders;
    const std::vector<flashview::Image> images = flashview::FindImages(f, &badHeaders);
    if (!images.empty() && images.front().start == 0) {
        ShowImage(images.front(), "  ");
        any = true;
    }
    if (!badHeaders.empty() && badHeaders.front() == 0) {
        std::printf("  ROM header offset %s lies outside the flash\n", Hex8(Get32(f, 0x48)).c_str());
        any = true;
    }
    if (!any)
        std::printf("  nothing found (no version block, banner or ROM image)\n");

    std::printf("\nImages (256 KB steps from 0x40000):\n");
    any = false;
    for (const flashview::Image& img : images)
        if (img.start != 0) {
            ShowImage(img, "  ");
            any = true;
        }
    for (uint32_t p : badHeaders)
        if (p != 0) {
            std::printf("  ROM header offset %s at %s lies outside the flash\n", Hex8(Get32(f, p + 0x48)).c_str(),
                        Hex8(p).c_str());
            any = true;
        }
    if (!any)
        std::printf("  none\n");

    uint32_t regOff, regLen;
    board::HalRegistryArea(&regOff, &regLen);
    std::printf("\nRegistry area %s, %s bytes: ", Hex8(regOff).c_str(), Hex8(regLen).c_str());
    std::string saved;
    if (board::RegReadFlash(&saved)) {
        std::printf("saved registry, %zu bytes of text\n", saved.size());
    } else {
        bool erased = regOff < f.size() && regLen <= f.size() - regOff &&
                      std::all_of(f.begin() + regOff, f.begin() + regOff + regLen, [](uint8_t b) { return b == 0xFF; });
        std::printf("%s\n", erased ? "erased" : "no saved registry (other contents)");
    }

    std::printf("\nHAL:\n");
    uint8_t s0[8];
    if (board::HalSelector0(s0)) {
        std::printf("  selector 0: ");
        for (uint8_t b : s0)
            std::printf("%02x", b);
        std::printf("\n");
    } else {
        std::printf("  selector 0: silent\n");
    }
    uint32_t w[3];
    if (board::HalSelector5(w))
        std::printf("  selector 5: OS image %s, registry %s, registry length/2 %s\n", Hex8(w[0]).c_str(),
                    Hex8(w[1]).c_str(), Hex8(w[2]).c_str());
    else
        std::printf("  selector 5: silent\n");
    if (board::HalVersion(w))
        std::printf("  running image version: id %u, %d.%u, build %u\n", w[0], int32_t(w[1]), w[2] & 0xFFFF,
                    w[2] >> 16);
    else
        std::printf("  running image version: silent\n");
    std::printf("  registry clear: %s, restart: %s, registry flush: %s, clean-boot mark: %s\n",
                board::GetSetting("hal-registry-clear", "ok").c_str(), board::GetSetting("hal-restart", "ok").c_str(),
                board::GetSetting("registry-flush", "ok").c_str(), board::HalCleanBootMarked() ? "set" : "not set");

    std::printf("\nFlash devices: bus %s, timing %s (scale %s, seed %s), power-cut-after %s\n",
                board::GetSetting("bus", "32").c_str(), board::GetSetting("timing", "none").c_str(),
                board::GetSetting("timing-scale", "0.001").c_str(), board::GetSetting("timing-seed", "1").c_str(),
                board::GetSetting("power-cut-after", "none").c_str());
    for (const char* k : {"fault-locked", "fault-erase", "fault-busy", "fault-program", "fault-vpp", "fault-stuck"})
        std::printf("  %-14s %s\n", k, board::GetSetting(k, "none").c_str());
    std::string devices = board::FlashDescribe();
    if (!devices.empty())
        std::printf("%s%s", devices.c_str(), devices.back() == '\n' ? "" : "\n");

    std::printf("\nVolumes:");
    std::vector<std::string> vols = board::Volumes();
    if (vols.empty())
        std::printf(" none");
    for (const std::string& v : vols)
        std::printf(" \\%s", v.c_str());
    std::printf("\nStores: %s\nShift: %s\n", board::GetSetting("stores", "DSK0:").c_str(),
                board::GetSetting("shift", "up").c_str());
    return 0;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc < 2)
        return Usage("no command given");
    std::string cmd = argv[1];
    std::vector<std::string> args(argv + 2, argv + argc);
    if (cmd == "help" || cmd == "--help" || cmd == "-h") {
        Help();
        return 0;
    }
    if (cmd == "--version") {
        const int answered = LauncherOption(argc, argv, "boardsim", "");
        return answered >= 0 ? answered : Usage("--version takes no arguments");
    }
    if (cmd == "map")
        return MapCommand(args);
    if (cmd == "verify")
        return VerifyCommand(args);
    if (cmd == "init") {
        bool blank = false, force = false;
        for (const std::string& a : args) {
            if (a == "--blank")
                blank = true;
            else if (a == "--force")
                force = true;
            else
                return Usage(("unknown option for init: " + a).c_str());
        }
        // A program that holds the flash lock (the "NorFlash" mutex) is in
        // the middle of flash work (an update, a registry save): a new
        // flash.img under it would let it finish, and report success, in a
        // flash nobody sees again. A board without a lock file has no holder.
        const std::string lock = board::LockFilePath("NorFlash");
        if (!force && access(lock.c_str(), F_OK) == 0 && !board::FileLock(lock, 0).ok()) {
            std::fprintf(stderr,
                         "boardsim: a program holds the board's flash lock (an update or a registry save is running "
                         "in %s); init left the board as it is. Wait until it ends, or use init --force: that "
                         "program then goes on in the old flash, and what it writes is lost\n",
                         board::Dir().c_str());
            return 2;
        }
        // Programs running now keep what they mapped: the flash.img and
        // flash.state being replaced, which no later program sees.
        int users = board::FlashUsers();
        if (!board::Init(blank))
            return 1;
        std::printf("boardsim: %s board created in %s\n", blank ? "blank" : "default", board::Dir().c_str());
        if (users > 0)
            std::printf("boardsim: %d running program%s still see%s the old flash until %s: what %s "
                        "write%s there is lost; programs started from now on see the new board\n",
                        users, users == 1 ? "" : "s", users == 1 ? "s" : "", users == 1 ? "it ends" : "they end",
                        users == 1 ? "it" : "they", users == 1 ? "s" : "");
        return 0;
    }
    // Every other command works on the board, created first when missing.
    if (cmd == "show" || cmd == "events" || cmd == "power-cut") {
        if (args.size() != 0)
            return Usage((cmd + " takes no arguments").c_str());
    } else if (cmd == "set") {
        if (args.size() != 2)
            return Usage("set takes KEY VALUE");
        std::string why;
        if (!board::ValidSetting(args[0], args[1], &why))
            return Usage(why.c_str());
    } else if (cmd == "get") {
        if (args.size() != 1)
            return Usage("get takes KEY");
        if (!board::FindSetting(args[0]))
            return Usage(("unknown key \"" + args[0] + "\" (see boardsim help)").c_str());
    } else if (cmd == "insert") {
        if (args.size() != 2)
            return Usage("insert takes NAME DIR");
    } else if (cmd == "remove") {
        if (args.size() != 1)
            return Usage("remove takes NAME");
    } else {
        return Usage(("unknown command \"" + cmd + "\"").c_str());
    }
    if (!board::Ensure())
        return 1;
    if (cmd == "show")
        return Show();
    if (cmd == "events") {
        for (const std::string& e : board::Events())
            std::printf("%s\n", e.c_str());
        return 0;
    }
    if (cmd == "set") {
        std::string why;
        if (!board::SetSetting(args[0], args[1], &why)) {
            std::fprintf(stderr, "boardsim: cannot change the settings: %s\n", why.c_str());
            return 1;
        }
        return 0;
    }
    if (cmd == "get") {
        std::printf("%s\n", board::GetSetting(args[0], board::DefaultSetting(args[0])).c_str());
        return 0;
    }
    if (cmd == "power-cut") {
        if (!board::FlashPowerCut()) {
            std::fprintf(stderr, "boardsim: cannot open the flash of %s\n", board::Dir().c_str());
            return 1;
        }
        return 0;
    }
    if (cmd == "insert")
        return board::VolumeInsert(args[0], args[1]);
    return board::VolumeRemove(args[0]);
}
