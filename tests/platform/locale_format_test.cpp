// Date and time pictures of the locale role: the C locale's results, the
// device's failure rules (invalid dates and times, no room) and the
// process's LC_TIME environment as the system default locale.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <string>

#include "platform/locale.h"
#include "tests/support/locale_leak_scope.h"

namespace {

SystemTime At(int year, int month, int day, int hour = 0, int minute = 0, int second = 0)
{
    SystemTime t{};
    t.year = (uint16_t)year;
    t.month = (uint16_t)month;
    t.day = (uint16_t)day;
    t.hour = (uint16_t)hour;
    t.minute = (uint16_t)minute;
    t.second = (uint16_t)second;
    return t;
}

// Sets the locale variables for one test and puts them back afterwards.
class LocaleEnv {
public:
    LocaleEnv()
    {
        for (int i = 0; i < 4; ++i) {
            const char* v = std::getenv(kVars[i]);
            had_[i] = v != nullptr;
            saved_[i] = v != nullptr ? v : "";
            unsetenv(kVars[i]);
        }
    }
    ~LocaleEnv()
    {
        for (int i = 0; i < 4; ++i) {
            if (had_[i])
                setenv(kVars[i], saved_[i].c_str(), 1);
            else
                unsetenv(kVars[i]);
        }
    }
    void Set(const char* var, const char* value) { setenv(var, value, 1); }

private:
    static constexpr const char* kVars[4] = {"LC_ALL", "LC_TIME", "LANG", "LOCPATH"};
    bool had_[4] = {};
    std::string saved_[4];
};

std::wstring Date(const SystemTime& t, const wchar_t* picture, int* result = nullptr)
{
    wchar_t out[64] = L"untouched";
    int n = OsGetDateFormat(OS_LOCALE_SYSTEM_DEFAULT, 0, &t, picture, out, 64);
    if (result != nullptr)
        *result = n;
    return out;
}

std::wstring Time(const SystemTime& t, uint32_t flags, const wchar_t* picture = nullptr,
                  int* result = nullptr)
{
    wchar_t out[64] = L"untouched";
    int n = OsGetTimeFormat(OS_LOCALE_SYSTEM_DEFAULT, flags, &t, picture, out, 64);
    if (result != nullptr)
        *result = n;
    return out;
}

constexpr uint32_t kReportTimeFlags = OS_LOCALE_NOUSEROVERRIDE | OS_TIME_FORCE24HOURFORMAT;

TEST(LocaleFormat, CLocaleDateAndTimeOfTheReport)
{
    LocaleEnv env;
    env.Set("LC_ALL", "C");
    SystemTime t = At(2007, 3, 5, 14, 30, 0);
    int n = 0;
    EXPECT_EQ(Date(t, L"dd MMM yyyy", &n), L"05 Mar 2007");
    EXPECT_EQ(n, 12);   // characters with the terminator
    EXPECT_EQ(Time(t, kReportTimeFlags, nullptr, &n), L"14:30:00");
    EXPECT_EQ(n, 9);
    EXPECT_EQ(Date(At(2008, 2, 29), L"dd MMM yyyy"), L"29 Feb 2008");
    EXPECT_EQ(Time(At(2008, 2, 29), kReportTimeFlags), L"00:00:00");
}

TEST(LocaleFormat, PictureLettersAndQuotedText)
{
    LocaleEnv env;
    env.Set("LC_ALL", "C");
    SystemTime t = At(2007, 3, 5, 9, 7, 3);
    EXPECT_EQ(Date(t, L"d/M/y"), L"5/3/7");
    EXPECT_EQ(Date(t, L"dd.MM.yy"), L"05.03.07");
    EXPECT_EQ(Date(t, L"MMM yyyy"), L"Mar 2007");
    EXPECT_EQ(Date(t, L"'day' d 'o''clock' ''"), L"day 5 o'clock '");
    // Time letters in a date picture, and date letters in a time picture,
    // are plain text.
    EXPECT_EQ(Date(t, L"d h"), L"5 h");
    EXPECT_EQ(Time(t, OS_TIME_FORCE24HOURFORMAT, L"h:m:s d"), L"9:7:3 d");
    // 24-hour notation: h counts to 23 and the marker goes with its blank.
    EXPECT_EQ(Time(At(2007, 3, 5, 21, 5, 0), OS_TIME_FORCE24HOURFORMAT, L"hh:mm tt"), L"21:05");
    EXPECT_EQ(Time(At(2007, 3, 5, 21, 5, 0), OS_TIME_FORCE24HOURFORMAT, L"tt hh:mm"), L"21:05");
    EXPECT_EQ(Time(At(2007, 3, 5, 0, 0, 0), OS_TIME_FORCE24HOURFORMAT, L"h:mm t"), L"0:00");
    // Without user overrides means the locale's own picture: none may be given.
    int n = -1;
    EXPECT_EQ(Time(t, kReportTimeFlags, L"HH:mm", &n), L"untouched");
    EXPECT_EQ(n, 0);
    wchar_t out[16] = L"untouched";
    EXPECT_EQ(OsGetDateFormat(OS_LOCALE_SYSTEM_DEFAULT, OS_LOCALE_NOUSEROVERRIDE, &t, L"d", out, 16), 0);
    EXPECT_STREQ(out, L"untouched");
}

TEST(LocaleFormat, InvalidDatesAndTimesGiveNothing)
{
    LocaleEnv env;
    env.Set("LC_ALL", "C");
    const SystemTime bad[] = {At(0, 0, 0),       At(2007, 0, 5),  At(2007, 13, 5),
                              At(2007, 3, 0),    At(2007, 4, 31), At(2007, 2, 29),
                              At(1900, 2, 29),   At(1600, 1, 1)};
    for (const SystemTime& t : bad) {
        int n = -1;
        EXPECT_EQ(Date(t, L"dd MMM yyyy", &n), L"untouched") << t.year << "-" << t.month << "-" << t.day;
        EXPECT_EQ(n, 0);
    }
    int n = -1;
    EXPECT_EQ(Date(At(2000, 2, 29), L"dd MMM yyyy", &n), L"29 Feb 2000");
    // An all-zero record is no date, but midnight is a valid time.
    EXPECT_EQ(Time(At(0, 0, 0), kReportTimeFlags, nullptr, &n), L"00:00:00");
    EXPECT_EQ(n, 9);
    SystemTime late = At(2007, 3, 5, 24, 0, 0);
    EXPECT_EQ(Time(late, kReportTimeFlags, nullptr, &n), L"untouched");
    EXPECT_EQ(n, 0);
    late = At(2007, 3, 5, 23, 60, 0);
    EXPECT_EQ(Time(late, kReportTimeFlags, nullptr, &n), L"untouched");
    late = At(2007, 3, 5, 23, 59, 60);
    EXPECT_EQ(Time(late, kReportTimeFlags, nullptr, &n), L"untouched");
}

TEST(LocaleFormat, RoomIsCheckedAndCanBeAskedFor)
{
    LocaleEnv env;
    env.Set("LC_ALL", "C");
    SystemTime t = At(2007, 3, 5, 14, 30, 0);
    wchar_t out[12];
    wmemset(out, L'#', 12);
    EXPECT_EQ(OsGetDateFormat(OS_LOCALE_SYSTEM_DEFAULT, 0, &t, L"dd MMM yyyy", out, 11), 0);
    EXPECT_EQ(out[0], L'#');   // nothing written when it does not fit
    EXPECT_EQ(OsGetDateFormat(OS_LOCALE_SYSTEM_DEFAULT, 0, &t, L"dd MMM yyyy", out, 12), 12);
    EXPECT_STREQ(out, L"05 Mar 2007");
    EXPECT_EQ(OsGetDateFormat(OS_LOCALE_SYSTEM_DEFAULT, 0, &t, L"dd MMM yyyy", nullptr, 0), 12);
    EXPECT_EQ(OsGetTimeFormat(OS_LOCALE_SYSTEM_DEFAULT, kReportTimeFlags, &t, nullptr, out, 8), 0);
    EXPECT_EQ(OsGetTimeFormat(OS_LOCALE_SYSTEM_DEFAULT, kReportTimeFlags, &t, nullptr, nullptr, 0), 9);
    // No locale but the system's exists.
    EXPECT_EQ(OsGetDateFormat(0x409, 0, &t, L"dd MMM yyyy", out, 12), 0);
    EXPECT_EQ(OsGetDateFormat(0x7F, 0, &t, L"dd MMM yyyy", out, 12), 0);
}

TEST(LocaleFormat, UnknownEnvironmentLocaleFallsBackToC)
{
    LocaleEnv env;
    env.Set("LC_TIME", "xx_NOWHERE.UTF-8");
    SystemTime t = At(2007, 3, 5, 14, 30, 0);
    EXPECT_EQ(Date(t, L"dd MMM yyyy"), L"05 Mar 2007");
    EXPECT_EQ(Time(t, kReportTimeFlags), L"14:30:00");
}

// A locale of our own, compiled into a temporary folder, so that the names
// and the time picture are known and differ from C's. Skipped where the
// machine cannot compile locales.
class CustomLocale : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        char tmpl[] = "/tmp/locale_test_XXXXXX";
        char* made = mkdtemp(tmpl);
        if (made == nullptr)
            return;
        dir_ = made;
        std::ofstream src(dir_ + "/src");
        static const char* const categories[] = {
            "LC_IDENTIFICATION", "LC_CTYPE", "LC_NUMERIC",   "LC_COLLATE",
            "LC_MONETARY",       "LC_MESSAGES", "LC_PAPER", "LC_NAME",
            "LC_ADDRESS",        "LC_TELEPHONE", "LC_MEASUREMENT"};
        for (const char* c : categories)
            src << c << "\ncopy \"en_US\"\nEND " << c << "\n";
        src << "LC_TIME\n"
               "abday \"Sun\";\"Mon\";\"Tue\";\"Wed\";\"Thu\";\"Fri\";\"Sat\"\n"
               "day \"Sunday\";\"Monday\";\"Tuesday\";\"Wednesday\";\"Thursday\";\"Friday\";"
               "\"Saturday\"\n"
               "abmon \"Jn\";\"Fb\";\"M<U00E4>r\";\"Ap\";\"My\";\"Jn\";\"Jl\";\"Au\";\"Sp\";\"Oc\";"
               "\"Nv\";\"Dc\"\n"
               "mon \"Jan\";\"Feb\";\"M<U00E4>rz\";\"Apr\";\"Mai\";\"Jun\";\"Jul\";\"Aug\";\"Sep\";"
               "\"Okt\";\"Nov\";\"Dez\"\n"
               "am_pm \"vorm\";\"nachm\"\n"
               "d_t_fmt \"%a %b %e %H:%M:%S %Y\"\n"
               "d_fmt \"%d.%m.%Y\"\n"
               "t_fmt \"%I h %M min %S s %p\"\n"
               "t_fmt_ampm \"%I:%M:%S %p\"\n"
               "END LC_TIME\n";
        src.close();
        std::string cmd = "localedef -c -f UTF-8 -i '" + dir_ + "/src' '" + dir_ +
                          "/xx_TEST.UTF-8' >/dev/null 2>&1";
        int rc = std::system(cmd.c_str());
        std::ifstream probe(dir_ + "/xx_TEST.UTF-8/LC_TIME");
        compiled_ = rc != -1 && probe.good();
    }
    static void TearDownTestSuite()
    {
        if (!dir_.empty() && std::system(("rm -rf '" + dir_ + "'").c_str()) != 0)
            ADD_FAILURE() << "could not remove " << dir_;
        dir_.clear();
    }
    void SetUp() override
    {
        if (!compiled_)
            GTEST_SKIP() << "cannot compile a locale on this machine";
        env_.Set("LOCPATH", dir_.c_str());
        env_.Set("LC_TIME", "xx_TEST.UTF-8");
    }
    LocaleEnv env_;
    GlibcLocaleLeakScope leaks_;
    static inline std::string dir_;
    static inline bool compiled_ = false;
};

TEST_F(CustomLocale, NamesAndTimePictureComeFromLcTime)
{
    SystemTime t = At(2007, 3, 5, 14, 30, 0);
    EXPECT_EQ(Date(t, L"dd MMM yyyy"), L"05 M\u00e4r 2007");
    // The locale's own picture: letters of its literal text stay text.
    EXPECT_EQ(Time(t, kReportTimeFlags), L"14 h 30 min 00 s");
}

TEST_F(CustomLocale, LcAllWinsOverLcTime)
{
    env_.Set("LC_ALL", "C");
    SystemTime t = At(2007, 3, 5, 14, 30, 0);
    EXPECT_EQ(Date(t, L"dd MMM yyyy"), L"05 Mar 2007");
    EXPECT_EQ(Time(t, kReportTimeFlags), L"14:30:00");
}

}  // namespace
