// boardsim verify (see map.h), so that a user can see for himself that an
// update landed whole, without trusting the updater's own report.
#include <cstdio>
#include <string>

#include "board/board.h"
#include "board/bus.h"
#include "board/hal.h"
#include "board/imagekit.h"
#include "platform/files.h"
#include "platform/host/files.h"
#include "platform/posix/ui_presenter.h"
#include "tools/boardsim/flash_view.h"
#include "tools/boardsim/map.h"

using flashview::Hex8;
using imagekit::Bytes;
using imagekit::Get32;

int VerifyCommand(const std::vector<std::string>& args)
{
    if (args.size() != 1) {
        std::fprintf(stderr, "boardsim: verify needs one argument, the image file (\\nk.bin or ./my.bin)\n");
        return 2;
    }
    if (!board::Ensure())   // a new user gets the default board first, as everywhere
        return 1;
    // A device path (\nk.bin) is a file of the board's rootfs; any other a host path.
    std::wstring wide = UiWideFromUtf8(args[0]);
    char host[4096];
    if (!OsHostPath(wide.c_str(), host, sizeof host)) {
        std::fprintf(stderr, "boardsim: no such path: %s\n", args[0].c_str());
        return 1;
    }
    Bytes file, flash;
    if (!imagekit::ReadFile(host, &file)) {
        std::fprintf(stderr, "boardsim: cannot read %s (%s)\n", args[0].c_str(), host);
        return 1;
    }
    if (!imagekit::ReadFile(board::FlashImagePath(), &flash)) {
        std::fprintf(stderr, "boardsim: cannot read %s\n", board::FlashImagePath().c_str());
        return 1;
    }
    if (file.size() < 15 || std::string(file.begin(), file.begin() + 7) != "B000FF\n") {
        std::fprintf(stderr, "boardsim: %s is not a Windows CE .bin image\n", args[0].c_str());
        return 1;
    }
    uint32_t start = Get32(file, 7), length = Get32(file, 11);
    // flashupdate's relocation of the image start into the flash: an OS
    // image at the offset the HAL's selector 5 gives, a bootloader at 0.
    uint32_t w = 0x80000;
    uint32_t sel5[3];
    bool fromHal = board::HalSelector5(sel5);
    if (fromHal)
        w = sel5[0];
    uint32_t offset = 0;
    std::string why = "its own address (no relocation)";
    if ((start >= 0x80000000u && start < 0x9CA00000u) || (start >= 0xA0000000u && start < 0xBCA00000u)) {
        offset = w - start;
        why = std::string("an OS image: at the offset of the HAL's selector 5") + (fromHal ? "" : " (silent: 0x80000)");
    } else if (start >= 0xBCA00000u && start < 0xBFFFFFFFu) {
        offset = 0u - start;
        why = "a bootloader: at offset 0";
    }
    std::printf("%s: image start %s, length %s (%u bytes)\n", args[0].c_str(), Hex8(start).c_str(),
                Hex8(length).c_str(), length);
    std::printf("placed at flash offset %s, %s\n", Hex8(start + offset).c_str(), why.c_str());
    size_t at = 15;
    unsigned records = 0;
    uint64_t bytes = 0;
    for (;;) {
        if (at + 12 > file.size()) {
            std::printf("DIFFERENT: the file ends before its end record\n");
            return 1;
        }
        uint32_t address = Get32(file, at), len = Get32(file, at + 4), sum = Get32(file, at + 8);
        at += 12;
        if (address == 0 && sum == 0)
            break;
        uint32_t where = address + offset;
        if (len > file.size() - at || uint64_t(where) + len > flash.size()) {
            std::printf("DIFFERENT: record %u (%s, %u bytes) lies outside the %s\n", records + 1,
                        Hex8(where).c_str(), len, len > file.size() - at ? "file" : "flash");
            return 1;
        }
        for (uint32_t i = 0; i < len; ++i)
            if (flash[where + i] != file[at + i]) {
                std::printf("DIFFERENT: record %u, flash offset %s: flash has 0x%02x, the file 0x%02x\n",
                            records + 1, Hex8(where + i).c_str(), flash[where + i], file[at + i]);
                // Erased flash where the image belongs: an update that was
                // cut off after its erase, not another image.
                uint32_t gaps = 0;
                flash.resize(board::kFlashSize, 0xFF);
                if (flashview::SpanIncomplete(flash, start + offset, length, &gaps))
                    std::printf("INCOMPLETE: %u block%s of the image's span erased or partly written%s: an "
                                "update was cut off after its erase\n",
                                gaps, gaps == 1 ? "" : "s", gaps == 0 ? " (its end reads erased)" : "");
                return 1;
            }
        at += len;
        bytes += len;
        ++records;
    }
    std::printf("EQUAL: all %u records (%llu bytes) read back from the flash equal the file\n", records,
                (unsigned long long)bytes);
    return 0;
}
