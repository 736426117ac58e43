// The version report on a board: bootloader contents written into the
// board's flash, the HAL's running-image answer, the image's date file, and
// the flash lock around the flash read.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <memory>
#include <string>
#include <thread>

#include "board/board.h"
#include "board/imagekit.h"
#include "platform/posix/ui_presenter.h"
#include "platform/sync.h"
#include "tests/support/temp_board.h"
#include "tests/support/locale_leak_scope.h"
#include "tests/support/ui_double.h"
#include "version/bsp_version.h"


namespace {

const OsDialogItem kNoItems[1] = {{1, L"BUTTON", L"OK", 0, 0, 10, 10, 0}};
const OsDialogTemplate kOwnerTemplate = {L"Owner", 0, 0, 0, 100, 100, L"", 8, 1, kNoItems};

// Writes bytes into the board's flash at offset, as a programmer would.
void WriteFlash(uint32_t offset, const imagekit::Bytes& bytes)
{
    int fd = open(board::FlashImagePath().c_str(), O_WRONLY);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(pwrite(fd, bytes.data(), bytes.size(), offset), (ssize_t)bytes.size());
    close(fd);
}

void WriteBootloader(const imagekit::BootloaderSpec& spec)
{
    imagekit::Bytes boot = imagekit::BuildBootloader(spec);
    ASSERT_FALSE(boot.empty());
    board::CloseAll();
    WriteFlash(0, boot);
    board::CloseAll();
}

std::wstring Lines(const wchar_t* heading, const wchar_t* id, const std::wstring& version,
                   const std::wstring& date)
{
    return std::wstring(heading) + L"\r\nID:\t" + id + L"\r\nVer:\t" + version + L"\r\nBuilt:\t" + date;
}

std::wstring Expected(const wchar_t* bootId, const std::wstring& bootVer, const std::wstring& bootDate,
                      const wchar_t* imageId, const std::wstring& imageVer,
                      const std::wstring& imageDate)
{
    return Lines(L"Bootloader (in Flash)", bootId, bootVer, bootDate) + L"\r\n\r\n" +
           Lines(L"Image (current running)", imageId, imageVer, imageDate);
}

class BspReport : public ::testing::Test {
protected:
    void SetUp() override
    {
        const char* v = std::getenv("LC_ALL");
        hadLcAll_ = v != nullptr;
        savedLcAll_ = v != nullptr ? v : "";
        setenv("LC_ALL", "C", 1);
        board_ = std::make_unique<TempBoard>(Blank());
        uidouble::Install();
        owner_ = uidouble::NewDialog(&kOwnerTemplate);
    }
    void TearDown() override
    {
        uidouble::Uninstall();
        board_.reset();
        if (hadLcAll_)
            setenv("LC_ALL", savedLcAll_.c_str(), 1);
        else
            unsetenv("LC_ALL");
    }
    virtual bool Blank() const { return false; }

    std::string FdfPath() const { return board_->rootfs() + "/Windows/default.fdf"; }

    void SetImageDate(int year, int month, int day, int hour, int minute, int second)
    {
        struct tm t{};
        t.tm_year = year - 1900;
        t.tm_mon = month - 1;
        t.tm_mday = day;
        t.tm_hour = hour;
        t.tm_min = minute;
        t.tm_sec = second;
        struct timespec times[2];
        times[0].tv_sec = times[1].tv_sec = timegm(&t);
        times[0].tv_nsec = times[1].tv_nsec = 0;
        ASSERT_EQ(utimensat(AT_FDCWD, FdfPath().c_str(), times, 0), 0);
    }

    // Runs the report and returns the one box it showed.
    std::wstring Report()
    {
        size_t before = uidouble::Boxes().size();
        ShowBspVersion(owner_);
        std::vector<uidouble::Box> boxes = uidouble::Boxes();
        EXPECT_EQ(boxes.size(), before + 1);
        if (boxes.size() != before + 1)
            return L"";
        const uidouble::Box& box = boxes.back();
        EXPECT_EQ(box.caption, L"BSP Verison");
        EXPECT_EQ(box.style, 0u);
        EXPECT_EQ(box.owner, owner_);
        EXPECT_LT(box.text.size(), REPORT_CHARS);
        return box.text;
    }

    std::unique_ptr<TempBoard> board_;
    Window owner_ = nullptr;
    bool hadLcAll_ = false;
    std::string savedLcAll_;
};

imagekit::BootloaderSpec ReleaseBootloader()
{
    imagekit::BootloaderSpec spec;
    spec.id = 1;
    spec.major = 2;
    spec.minorAndBuild = 0x00030002;
    spec.modules = {{"eboot.dll", imagekit::FileTimeOf(1990, 1, 1)},
                    {"nk.exe", imagekit::FileTimeOf(2007, 3, 5, 14, 30, 0)}};
    spec.bannerText = imagekit::BannerText(9, 8, 7, 6, 2005);
    return spec;
}

TEST_F(BspReport, VersionBlockWithTocDateAndAnsweringHal)
{
    WriteBootloader(ReleaseBootloader());
    ASSERT_TRUE(board::SetSetting("hal-version", "2,7,7"));
    SetImageDate(2008, 2, 29, 12, 0, 0);
    EXPECT_EQ(Report(), Expected(L"KAVRANI", L"2.2 BETA, Build 3", L"05 Mar 2007 14:30:00 (GMT)",
                                 L"UNKNOWN", L"7.7 ", L"29 Feb 2008 12:00:00 (GMT)"));
}

TEST_F(BspReport, SilentHalAndMissingDateFileRepeatTheBootloader)
{
    WriteBootloader(ReleaseBootloader());
    ASSERT_TRUE(board::SetSetting("hal-version", "silent"));
    ASSERT_EQ(unlink(FdfPath().c_str()), 0);
    EXPECT_EQ(Report(), Expected(L"KAVRANI", L"2.2 BETA, Build 3", L"05 Mar 2007 14:30:00 (GMT)",
                                 L"KAVRANI", L"2.2 BETA, Build 3", L"Unknown Date"));
}

TEST_F(BspReport, BannerOnlyGivesMidnight)
{
    imagekit::BootloaderSpec spec;
    spec.versionBlock = false;
    spec.bannerText = imagekit::BannerText(1, 4, 2, 29, 2008);
    WriteBootloader(spec);
    ASSERT_TRUE(board::SetSetting("hal-version", "1,3,0x00010000"));
    SetImageDate(2009, 11, 2, 8, 5, 9);
    EXPECT_EQ(Report(), Expected(L"KAVRANI", L"1.4 ", L"29 Feb 2008 00:00:00 (GMT)", L"KAVRANI",
                                 L"3.0 BETA, Build 1", L"02 Nov 2009 08:05:09 (GMT)"));
}

TEST_F(BspReport, VersionBlockWithoutRomImageIsUnknownDate)
{
    imagekit::BootloaderSpec spec;
    spec.romImage = false;
    spec.banner = false;
    spec.id = 0;
    spec.major = 3;
    spec.minorAndBuild = 1;
    WriteBootloader(spec);
    ASSERT_TRUE(board::SetSetting("hal-version", "silent"));
    SetImageDate(2010, 6, 15, 0, 0, 0);
    EXPECT_EQ(Report(), Expected(L"UNKNOWN", L"3.1 ", L"Unknown Date", L"UNKNOWN", L"3.1 ",
                                 L"15 Jun 2010 00:00:00 (GMT)"));
}

TEST_F(BspReport, IdsNameTheBoardFamilyOnlyForOne)
{
    const struct {
        uint32_t id;
        const wchar_t* shown;
    } cases[] = {{0, L"UNKNOWN"}, {1, L"KAVRANI"}, {2, L"UNKNOWN"}};
    for (const auto& c : cases) {
        imagekit::BootloaderSpec spec = ReleaseBootloader();
        spec.id = c.id;
        WriteBootloader(spec);
        ASSERT_TRUE(board::SetSetting("hal-version", std::to_string(c.id) + ",1,0"));
        SetImageDate(2008, 2, 29, 12, 0, 0);
        EXPECT_EQ(Report(), Expected(c.shown, L"2.2 BETA, Build 3", L"05 Mar 2007 14:30:00 (GMT)",
                                     c.shown, L"1.0 ", L"29 Feb 2008 12:00:00 (GMT)"))
            << c.id;
    }
}

TEST_F(BspReport, LongestReportFits)
{
    imagekit::BootloaderSpec spec = ReleaseBootloader();
    spec.major = INT32_MIN;
    spec.minorAndBuild = 0xFFFFFFFF;
    spec.modules = {{"nk.exe", imagekit::FileTimeOf(2007, 12, 25, 23, 59, 59)}};
    WriteBootloader(spec);
    ASSERT_TRUE(board::SetSetting("hal-version", "1,-2147483648,0xFFFFFFFF"));
    SetImageDate(2008, 12, 31, 23, 59, 59);
    std::wstring text = Report();
    const std::wstring ver = L"-2147483648.65535 BETA, Build 65535";
    EXPECT_EQ(text, Expected(L"KAVRANI", ver, L"25 Dec 2007 23:59:59 (GMT)", L"KAVRANI", ver,
                             L"31 Dec 2008 23:59:59 (GMT)"));
    EXPECT_EQ(text.size(), 228u);
}

// A locale whose time of day takes 45 characters: the two date texts then
// no longer fit the report, which is cut at its capacity.
TEST_F(BspReport, LongTimePictureIsCutAtTheReportsEnd)
{
    std::string dir = board_->dir() + "/locales";
    ASSERT_EQ(mkdir(dir.c_str(), 0755), 0);
    {
        std::ofstream src(dir + "/src");
        for (const char* c : {"LC_IDENTIFICATION", "LC_CTYPE", "LC_NUMERIC", "LC_COLLATE",
                              "LC_MONETARY", "LC_MESSAGES", "LC_PAPER", "LC_NAME", "LC_ADDRESS",
                              "LC_TELEPHONE", "LC_MEASUREMENT"})
            src << c << "\ncopy \"en_US\"\nEND " << c << "\n";
        src << "LC_TIME\nabday \"Su\";\"Mo\";\"Tu\";\"We\";\"Th\";\"Fr\";\"Sa\"\n"
               "day \"Su\";\"Mo\";\"Tu\";\"We\";\"Th\";\"Fr\";\"Sa\"\n"
               "abmon \"Jan\";\"Feb\";\"Mar\";\"Apr\";\"May\";\"Jun\";\"Jul\";\"Aug\";\"Sep\";"
               "\"Oct\";\"Nov\";\"Dec\"\n"
               "mon \"Jan\";\"Feb\";\"Mar\";\"Apr\";\"May\";\"Jun\";\"Jul\";\"Aug\";\"Sep\";"
               "\"Oct\";\"Nov\";\"Dec\"\nam_pm \"AM\";\"PM\"\n"
               "d_t_fmt \"%a %b %e %H:%M:%S %Y\"\nd_fmt \"%d/%m/%Y\"\n"
               "t_fmt \"%H:%M:%S and some more words for this picture\"\n"
               "t_fmt_ampm \"%I:%M:%S %p\"\nEND LC_TIME\n";
    }
    std::string cmd = "localedef -c -f UTF-8 -i '" + dir + "/src' '" + dir +
                      "/xx_LONG.UTF-8' >/dev/null 2>&1";
    if (std::system(cmd.c_str()) == -1 || !std::ifstream(dir + "/xx_LONG.UTF-8/LC_TIME").good())
        GTEST_SKIP() << "cannot compile a locale on this machine";
    GlibcLocaleLeakScope leaks;
    setenv("LOCPATH", dir.c_str(), 1);
    setenv("LC_ALL", "xx_LONG.UTF-8", 1);

    WriteBootloader(ReleaseBootloader());
    ASSERT_TRUE(board::SetSetting("hal-version", "silent"));
    SetImageDate(2008, 2, 29, 12, 0, 0);
    std::wstring text = Report();
    unsetenv("LOCPATH");
    const std::wstring words = L" and some more words for this picture (GMT)";
    std::wstring full = Expected(L"KAVRANI", L"2.2 BETA, Build 3", L"05 Mar 2007 14:30:00" + words,
                                 L"KAVRANI", L"2.2 BETA, Build 3", L"29 Feb 2008 12:00:00" + words);
    ASSERT_GT(full.size(), REPORT_CHARS - 1);
    EXPECT_EQ(text, full.substr(0, REPORT_CHARS - 1));
}

class BlankBspReport : public BspReport {
protected:
    bool Blank() const override { return true; }
};

TEST_F(BlankBspReport, NothingInFlashIsUnknownZeroZero)
{
    ASSERT_TRUE(board::SetSetting("hal-version", "silent"));
    std::wstring text = Report();
    EXPECT_EQ(text.substr(0, text.find(L"\r\n\r\n")),
              Lines(L"Bootloader (in Flash)", L"UNKNOWN", L"0.0 ", L"00:00:00 (GMT)"));
}

// A presenter that, when the report's box appears, tries to take the flash
// lock from another thread: the report must have released it by then.
class LockProbePresenter : public UiPresenter {
public:
    explicit LockProbePresenter(std::atomic<int>* probes, std::atomic<int>* free)
        : probes_(probes), free_(free) {}
    int AnswerBox(Window, const std::wstring&, const std::wstring&, uint32_t) override
    {
        std::thread other([this] {
            Handle h = OsCreateMutex(L"NorFlash");
            if (h == nullptr)
                return;
            if (OsWaitForSingleObject(h, 0) == OS_WAIT_OBJECT_0) {
                free_->fetch_add(1);
                OsReleaseMutex(h);
            }
            OsCloseHandle(h);
        });
        other.join();
        probes_->fetch_add(1);
        return OS_IDOK;
    }
    int OpenFile(OsOpenFileName*) override { return 0; }
    int WaitCommand(Window, const int*, int) override { return 2; }

private:
    std::atomic<int>* probes_;
    std::atomic<int>* free_;
};

TEST_F(BspReport, ThreadedLockIsReleasedBeforeTheBox)
{
    WriteBootloader(ReleaseBootloader());
    std::atomic<int> probes{0};
    std::atomic<int> free{0};
    std::unique_ptr<UiPresenter> previous =
        UiSetPresenter(std::make_unique<LockProbePresenter>(&probes, &free));
    ShowBspVersion(owner_);
    UiSetPresenter(std::move(previous));
    EXPECT_EQ(probes.load(), 1);
    EXPECT_EQ(free.load(), 1);
}

// The scheduler state of one thread of this process ('R', 'S', 'D'...), or
// 0 when it cannot be read.
char ThreadState(pid_t tid)
{
    std::ifstream stat("/proc/self/task/" + std::to_string(tid) + "/stat");
    std::string line;
    std::getline(stat, line);
    size_t close = line.rfind(')');
    if (close == std::string::npos || close + 2 >= line.size())
        return 0;
    return line[close + 2];
}

TEST_F(BspReport, ThreadedReportWaitsForTheFlashLock)
{
    imagekit::BootloaderSpec before = ReleaseBootloader();
    WriteBootloader(before);
    ASSERT_TRUE(board::SetSetting("hal-version", "silent"));

    // Another flash user holds the lock and rewrites the bootloader; the
    // report started meanwhile must see only the finished contents.
    Handle lock = OsCreateMutex(L"NorFlash");
    ASSERT_NE(lock, nullptr);
    ASSERT_EQ(OsWaitForSingleObject(lock, OS_INFINITE), OS_WAIT_OBJECT_0);
    std::atomic<pid_t> reporterTid{0};
    std::atomic<bool> reported{false};
    std::thread reporter([&] {
        reporterTid = (pid_t)syscall(SYS_gettid);
        ShowBspVersion(owner_);
        reported = true;
    });
    // Until the reporter blocks (on the lock, if it takes it) or is done.
    // (Without /proc the wait is not observed and only the result counts.)
    for (;;) {
        if (reported)
            break;
        if (reporterTid != 0) {
            char state = ThreadState(reporterTid);
            if (state == 'S' || state == 0)
                break;
        }
        std::this_thread::yield();
    }
    EXPECT_FALSE(reported.load());
    EXPECT_TRUE(uidouble::Boxes().empty());

    imagekit::BootloaderSpec after = before;
    after.major = 6;
    after.minorAndBuild = 9;
    WriteFlash(0, imagekit::BuildBootloader(after));
    EXPECT_EQ(OsReleaseMutex(lock), 1);
    reporter.join();
    OsCloseHandle(lock);
    std::vector<uidouble::Box> boxes = uidouble::Boxes();
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_NE(boxes[0].text.find(L"Ver:\t6.9 \r\n"), std::wstring::npos);
}

}  // namespace
