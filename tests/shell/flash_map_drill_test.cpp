// boardsim map and verify around a real update: the map shows what the
// update changed, and the read-back finds the image whole, or the first byte
// that differs.
#include <gtest/gtest.h>

#include <sys/wait.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>

#include "board/board.h"
#include "tests/support/temp_board.h"

namespace {

int Shell(const std::string& command, std::string* out = nullptr)
{
    FILE* p = popen((command + " 2>&1").c_str(), "r");
    if (!p)
        return -1;
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, p)) > 0)
        if (out)
            out->append(buf, n);
    int status = pclose(p);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string Slurp(const std::string& path)
{
    std::ifstream in(path);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

size_t Count(const std::string& text, const std::string& word)
{
    size_t n = 0;
    for (size_t p = text.find(word); p != std::string::npos; p = text.find(word, p + 1))
        ++n;
    return n;
}

TEST(FlashMapDrill, MapAndReadBackAroundAnUpdate)
{
    TempBoard board;
    const std::string bs = std::string(TEST_BIN_DIR) + "/boardsim";
    const std::string before = board.dir() + "/before.svg", after = board.dir() + "/after.svg";
    std::string out;
    ASSERT_EQ(Shell(bs + " map " + before), 0);
    EXPECT_EQ(Shell(bs + " verify '\\nk.bin'", &out), 1) << "the default board holds an older image:\n" << out;
    EXPECT_NE(out.find("DIFFERENT: record 1"), std::string::npos) << out;

    ASSERT_EQ(Shell("printf 'OK\\nNo\\n' | " + std::string(TEST_BIN_DIR) + "/flashupdate /u '\\nk.bin'"), 1);
    out.clear();
    EXPECT_EQ(Shell(bs + " verify '\\nk.bin'", &out), 0) << out;
    EXPECT_NE(out.find("placed at flash offset 0x00080000"), std::string::npos) << out;
    ASSERT_EQ(Shell(bs + " map " + after), 0);

    std::string a = Slurp(before), b = Slurp(after);
    EXPECT_EQ(Count(a, "class=\"block"), 128u) << "every 256 KB block of the 32 MB";
    for (const char* name : {">Bootloader<", ">ConfigBlock<", ">IMAGE<", ">Registry<", ">FileSystem<"})
        EXPECT_NE(b.find(name), std::string::npos) << name;
    EXPECT_NE(b.find("ROM image at 0x00080000, length 0x00200000 (2 MB), 6 modules:"), std::string::npos) << b;
    EXPECT_NE(a.find("ROM image at 0x00080000, length 0x00180000"), std::string::npos);
    EXPECT_GT(Count(b, "class=\"block written"), Count(a, "class=\"block written"))
        << "the larger image fills two more blocks";
    EXPECT_NE(b.find("registry area"), std::string::npos);

    // One byte changed in the flash: the read-back names it.
    {
        std::fstream flash(board::FlashImagePath(), std::ios::in | std::ios::out | std::ios::binary);
        flash.seekp(0x100000);
        flash.put('\x5a');
    }
    out.clear();
    EXPECT_EQ(Shell(bs + " verify '\\nk.bin'", &out), 1);
    EXPECT_NE(out.find("flash offset 0x00100000"), std::string::npos) << out;
    EXPECT_EQ(Shell(bs + " map"), 2);
}

}  // namespace
