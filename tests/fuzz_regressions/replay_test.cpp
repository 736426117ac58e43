// Replays the fuzz corpus (fuzz/corpus/<target>/: the seeds and every input
// that once broke something) through the fuzz cases, each file on a fresh
// erased board, so that what the fuzzers check holds in every test run.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "board/flash_device.h"
#include "board/imagekit.h"
#include "fuzz/cases.h"
#include "tests/support/bin_files.h"
#include "tests/support/temp_board.h"

namespace {

namespace fs = std::filesystem;
using Case = std::string (*)(const uint8_t*, size_t);

std::vector<fs::path> CorpusFiles(const std::string& target)
{
    std::vector<fs::path> files;
    fs::path dir = fs::path(TEST_SOURCE_DIR) / "fuzz" / "corpus" / target;
    std::error_code ec;
    for (const fs::directory_entry& e : fs::directory_iterator(dir, ec))
        if (e.is_regular_file())
            files.push_back(e.path());
    std::sort(files.begin(), files.end());
    return files;
}

void Replay(const std::string& target, Case run, size_t atLeast)
{
    std::vector<fs::path> files = CorpusFiles(target);
    ASSERT_GE(files.size(), atLeast) << "the corpus of " << target << " is missing";
    for (const fs::path& file : files) {
        SCOPED_TRACE(file.string());
        imagekit::Bytes bytes;
        ASSERT_TRUE(imagekit::ReadFile(file.string(), &bytes));
        TempBoard board(true);
        EXPECT_EQ(run(bytes.data(), bytes.size()), "");
    }
}

TEST(FuzzCorpus, UpdateWorkerEndsEveryRunProperly) { Replay("fuzz_update_worker", fuzz::UpdateWorkerCase, 8); }

TEST(FuzzCorpus, FlashScanStaysInTheWindow) { Replay("fuzz_flash_scan", fuzz::FlashScanCase, 3); }

TEST(FuzzCorpus, ShortcutPartsStayInTheirBuffers) { Replay("fuzz_shortcut", fuzz::ShortcutCase, 3); }

TEST(FuzzCorpus, NotificationsAreDrained) { Replay("fuzz_notification", fuzz::NotificationCase, 2); }

TEST(FuzzCorpus, RegistryTextRoundTrips) { Replay("fuzz_registry_text", fuzz::RegistryTextCase, 3); }

// The cases must tell a broken ending from a sound one, or the replays
// above would prove nothing: the same well-formed image completes, and a
// copy with a wrong checksum fails, both by the rules the case checks.
TEST(FuzzCases, UpdateCaseAcceptsBothEndingsOfTheSameImage)
{
    TempBoard board(true);
    imagekit::Bytes good = imagekit::OsImageBin(0x80000000, 0x800, 5);
    EXPECT_EQ(fuzz::UpdateWorkerCase(good.data(), good.size()), "");
    imagekit::BinOptions bad;
    bad.flaw = imagekit::BinFlaw::BadChecksum;
    imagekit::Bytes broken = imagekit::OsImageBin(0x80000000, 0x800, 5, bad);
    EXPECT_EQ(fuzz::UpdateWorkerCase(broken.data(), broken.size()), "");
    // The image is in the flash after the good run.
    imagekit::Bytes flash(0x800);
    ASSERT_TRUE(board::FlashPeek(flash.data(), 0x80000, flash.size()));
    EXPECT_EQ(flash, imagekit::Pattern(0x800, 5));
}

TEST(FuzzCases, ShortcutCaseOnAnEmptyFileAndOnAnOddByte)
{
    TempBoard board(true);
    const uint8_t odd[] = {'#'};
    EXPECT_EQ(fuzz::ShortcutCase(odd, 0), "");
    EXPECT_EQ(fuzz::ShortcutCase(odd, 1), "");
}

}  // namespace
