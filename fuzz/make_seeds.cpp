// Writes the seed corpus of the fuzz targets: fuzz/corpus/<target>/, a few
// well-formed inputs and the broken variants a reader must survive.
//   fuzz_make_seeds CORPUS_DIR
#include <sys/stat.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "board/imagekit.h"

using imagekit::BinFlaw;
using imagekit::BinOptions;
using imagekit::Bytes;

namespace {

std::string g_root;
int g_failures = 0;

void Seed(const std::string& target, const std::string& name, const Bytes& bytes)
{
    std::string dir = g_root + "/" + target;
    mkdir(g_root.c_str(), 0755);
    mkdir(dir.c_str(), 0755);
    if (bytes.empty() || !imagekit::WriteFile(dir + "/" + name, bytes)) {
        std::fprintf(stderr, "cannot write seed %s/%s\n", target.c_str(), name.c_str());
        ++g_failures;
    }
}

Bytes Text(const std::string& s) { return Bytes(s.begin(), s.end()); }

void UpdateSeeds()
{
    const char* t = "fuzz_update_worker";
    Seed(t, "os_small", imagekit::OsImageBin(0x80000000, 0x1800, 3));
    Seed(t, "boot_small", imagekit::BinOfImage(0xBCA00000, imagekit::Pattern(0x900, 4), 0x400));
    Seed(t, "flash_offset", imagekit::BinOfImage(0x01000000, imagekit::Pattern(0x200, 5), 0x100));
    struct {
        const char* name;
        BinFlaw flaw;
    } flaws[] = {{"bad_checksum", BinFlaw::BadChecksum},     {"short_data", BinFlaw::TruncatedRecordData},
                 {"short_header", BinFlaw::TruncatedRecordHeader}, {"no_end", BinFlaw::MissingEnd},
                 {"after_end", BinFlaw::ExtraAfterEnd},      {"signature", BinFlaw::WrongSignature},
                 {"cut_start", BinFlaw::TruncatedHeader}};
    for (const auto& f : flaws) {
        BinOptions o;
        o.flaw = f.flaw;
        o.flawRecord = 1;
        Seed(t, f.name, imagekit::BinOfImage(0x80000000, imagekit::Pattern(0x600, 6), 0x200, o));
    }
    // A record whose length wraps its end past 2^32 into the image, one
    // that starts in the last bytes of the flash and ends past them, and an
    // image that starts below the flash window (kept at its own address).
    Bytes wrap = imagekit::BuildBin(0x80000000, 0x1000, {{0x80000F00, imagekit::Pattern(0x40, 10)}});
    imagekit::Put32(wrap, 15 + 4, 0xFFFFF200);
    Seed(t, "record_wraps", wrap);
    Seed(t, "record_past_flash",
         imagekit::BuildBin(0x80000000, 0x1F80000, {{0x81F7FF00, imagekit::Pattern(0x200, 11)}}));
    Seed(t, "below_window", imagekit::BinOfImage(0x7FFFF000, imagekit::Pattern(0x200, 12), 0x100));
    // A record far outside the image's own range.
    Seed(t, "stray_record",
         imagekit::BuildBin(0x80000000, 0x400, {{0x80000000, imagekit::Pattern(0x40, 8)},
                                                {0x82000000, imagekit::Pattern(0x40, 9)}}));
}

void ScanSeeds()
{
    const char* t = "fuzz_flash_scan";
    imagekit::RomImageSpec rom;
    rom.length = 0x3000;
    rom.headerOffset = 0x800;
    rom.modules = {{"nk.exe", imagekit::FileTimeOf(2008, 6, 1, 12)}, {"coredll.dll", 0}};
    Seed(t, "rom", imagekit::BuildRomImage(rom));
    Seed(t, "comp", imagekit::BuildCompressedImage(0x1000));
    imagekit::BootloaderSpec boot;
    boot.length = 0x2000;
    boot.versionOffset = 0x1C0;
    boot.bannerOffset = 0x1800;
    boot.modules = {{"nk.exe", imagekit::FileTimeOf(2007, 3, 5)}};
    Seed(t, "bootloader", imagekit::BuildBootloader(boot));
    boot.versionBlock = false;
    boot.romImage = false;
    Seed(t, "banner_only", imagekit::BuildBootloader(boot));
}

void ShortcutSeeds()
{
    const char* t = "fuzz_shortcut";
    Seed(t, "quoted", Text("42#\"\\Program Files\\tool.exe\" -a b\r\n"));
    Seed(t, "plain", Text("#\\Windows\\calc.exe"));
    Seed(t, "no_hash", Text("just text"));
    Seed(t, "open_quote", Text("9#\"\\a b c"));
    Bytes wide = {'3', 0, '#', 0, 'x', 0};
    Seed(t, "utf16", wide);
}

void NotificationSeeds()
{
    const char* t = "fuzz_notification";
    const uint8_t fatClass[16] = {0x41, 0x19, 0x9E, 0x16, 0xCE, 0x04, 0x90, 0x46,
                                  0x97, 0xAC, 0x77, 0x61, 0x87, 0xEB, 0x67, 0xCC};
    Bytes msg(96, 0);
    std::memcpy(msg.data(), fatClass, 16);
    imagekit::Put32(msg, 20, 1);
    const char16_t name[] = u"\\NoSuchCard";
    imagekit::Put32(msg, 24, sizeof(name));
    std::memcpy(msg.data() + 28, name, sizeof(name));
    Seed(t, "mounted", msg);
    Bytes cut(msg.begin(), msg.begin() + 40);
    Seed(t, "cut", cut);
}

void RegistrySeeds()
{
    const char* t = "fuzz_registry_text";
    Seed(t, "values", Text("REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\Drivers\\BuiltIn\\StrataFMD]\n"
                           "\"MemBase\"=dword:01480000\n\"Folder\"=\"\\\\Flash Disk\"\n\"Blob\"=hex:01,02,ff\n"
                           "@=\"a\\\"b\\r\\n\\t\"\n; comment\n"));
    Seed(t, "crlf_bom", Text("\xEF\xBB\xBFREGEDIT4\r\n[HKEY_LOCAL_MACHINE\\A\\\\b\\]\r\n\"\xC3\xA9\"=\"\xF0\x9F\x92\xBE\"\r\n"));
    Seed(t, "escape_cut", Text("REGEDIT4\n[HKEY_LOCAL_MACHINE\\K]\n\"v\"=\"abc\\"));
    Bytes wide = {0xFF, 0xFE, 'R', 0, 'E', 0, 'G', 0};
    Seed(t, "utf16", wide);
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: fuzz_make_seeds CORPUS_DIR\n");
        return 2;
    }
    g_root = argv[1];
    UpdateSeeds();
    ScanSeeds();
    ShortcutSeeds();
    NotificationSeeds();
    RegistrySeeds();
    return g_failures == 0 ? 0 : 1;
}
