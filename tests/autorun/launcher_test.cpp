// The AutoRun launcher: command-line split, shortcut files, and programs
// started for real (shell scripts that leave a mark).
#include <algorithm>
#include <cwchar>
#include <string>

#include <clocale>

#include <gtest/gtest.h>

#include "autorun/autorun.h"
#include "board/board.h"
#include "tests/support/temp_board.h"
#include "tests/autorun/test_util.h"

using namespace autorun_test;

namespace {

struct Split {
    std::wstring program;
    bool hasArguments;
    std::wstring arguments;
};

Split DoSplit(const wchar_t* text)
{
    wchar_t buf[kPathChars];
    std::wcscpy(buf, text);
    wchar_t* program = nullptr;
    wchar_t* arguments = reinterpret_cast<wchar_t*>(1);
    SplitCommandLine(buf, &program, &arguments);
    // Both point into the buffer: the cut is in place.
    EXPECT_TRUE(program >= buf && program < buf + kPathChars);
    if (arguments != nullptr) {
        EXPECT_TRUE(arguments >= buf && arguments < buf + kPathChars);
    }
    return {program, arguments != nullptr, arguments ? arguments : L""};
}

TEST(SplitCommandLine, UnquotedProgramEndsAtTheFirstSpace)
{
    Split s = DoSplit(L"\\Windows\\app.exe -a  b c");
    EXPECT_EQ(s.program, L"\\Windows\\app.exe");
    ASSERT_TRUE(s.hasArguments);
    EXPECT_EQ(s.arguments, L"-a  b c");   // further spaces belong to the arguments

    s = DoSplit(L"app.exe");
    EXPECT_EQ(s.program, L"app.exe");
    EXPECT_FALSE(s.hasArguments);

    s = DoSplit(L"app.exe ");   // ends right after the space: no arguments
    EXPECT_EQ(s.program, L"app.exe");
    EXPECT_FALSE(s.hasArguments);

    s = DoSplit(L"app.exe\targ");   // a tab does not separate
    EXPECT_EQ(s.program, L"app.exe\targ");
    EXPECT_FALSE(s.hasArguments);
}

TEST(SplitCommandLine, QuotedProgram)
{
    Split s = DoSplit(L"\"\\Program Files\\my app.exe\" one two");
    EXPECT_EQ(s.program, L"\\Program Files\\my app.exe");
    EXPECT_EQ(s.arguments, L"one two");

    // Characters between the closing quote and the next space belong to neither.
    s = DoSplit(L"\"a b\"junk rest");
    EXPECT_EQ(s.program, L"a b");
    EXPECT_EQ(s.arguments, L"rest");

    s = DoSplit(L"\"a b\"junk");   // no space after the closing quote
    EXPECT_EQ(s.program, L"a b");
    EXPECT_FALSE(s.hasArguments);

    s = DoSplit(L"\"a b\"");
    EXPECT_EQ(s.program, L"a b");
    EXPECT_FALSE(s.hasArguments);

    s = DoSplit(L"\"no closing quote here");   // the whole rest is the program
    EXPECT_EQ(s.program, L"no closing quote here");
    EXPECT_FALSE(s.hasArguments);
}

TEST(SplitCommandLine, EmptyPrograms)
{
    Split s = DoSplit(L"\"");
    EXPECT_EQ(s.program, L"");
    EXPECT_FALSE(s.hasArguments);

    s = DoSplit(L"");
    EXPECT_EQ(s.program, L"");
    EXPECT_FALSE(s.hasArguments);

    s = DoSplit(L" leading space");
    EXPECT_EQ(s.program, L"");
    EXPECT_EQ(s.arguments, L"leading space");

    s = DoSplit(L"\"\" x");
    EXPECT_EQ(s.program, L"");
    EXPECT_EQ(s.arguments, L"x");
}

TEST(SplitCommandLine, LineEndsAreOrdinaryCharacters)
{
    Split s = DoSplit(L"app.exe\r\n");
    EXPECT_EQ(s.program, L"app.exe\r\n");
    EXPECT_FALSE(s.hasArguments);

    s = DoSplit(L"app.exe arg\r\n");
    EXPECT_EQ(s.program, L"app.exe");
    EXPECT_EQ(s.arguments, L"arg\r\n");
}

class ShortcutTest : public ::testing::Test {
protected:
    TempBoard board;
    std::string root = board.rootfs();

    // Reads the shortcut \s.lnk holding content; the buffer afterwards.
    bool Read(const std::string& content, std::wstring* out)
    {
        WriteFile(root + "/s.lnk", content);
        wchar_t buf[kPathChars];
        std::wcscpy(buf, L"\\s.lnk");
        const bool ok = ReadShortcut(buf);
        *out = buf;
        return ok;
    }
};

TEST_F(ShortcutTest, CommandFollowsTheFirstHash)
{
    std::wstring text;
    ASSERT_TRUE(Read("17#\\Windows\\app.exe -x #not a comment\r\n", &text));
    EXPECT_EQ(text, L"\\Windows\\app.exe -x #not a comment\r\n");

    ASSERT_TRUE(Read("#all of it", &text));
    EXPECT_EQ(text, L"all of it");

    ASSERT_TRUE(Read("12#", &text));   // a '#' at the end: empty command
    EXPECT_EQ(text, L"");
}

TEST_F(ShortcutTest, NoHashOrUnreadableLeavesTheBufferUnchanged)
{
    std::wstring text;
    EXPECT_FALSE(Read("no hash at all\n", &text));
    EXPECT_EQ(text, L"\\s.lnk");

    // The text ends at its first zero byte.
    EXPECT_FALSE(Read(std::string("abc\0#after zero", 15), &text));
    EXPECT_EQ(text, L"\\s.lnk");

    // UTF-16 text: its second byte is zero.
    EXPECT_FALSE(Read(std::string("1\0#\0x\0", 6), &text));

    wchar_t buf[kPathChars];
    std::wcscpy(buf, L"\\missing.lnk");
    EXPECT_FALSE(ReadShortcut(buf));
    EXPECT_STREQ(buf, L"\\missing.lnk");

    // A folder is no shortcut.
    fs::create_directories(root + "/dir.lnk");
    std::wcscpy(buf, L"\\dir.lnk");
    EXPECT_FALSE(ReadShortcut(buf));
}

TEST_F(ShortcutTest, OnlyTheFirst255BytesCount)
{
    std::wstring text;
    // The '#' is byte 256: not read.
    EXPECT_FALSE(Read(std::string(255, 'a') + "#late", &text));

    // A '#' at byte 255 is read, and the command is cut at byte 255.
    ASSERT_TRUE(Read(std::string(254, 'a') + "#", &text));
    EXPECT_EQ(text, L"");
    ASSERT_TRUE(Read("#" + std::string(300, 'c'), &text));
    EXPECT_EQ(text, std::wstring(254, L'c'));
}

TEST_F(ShortcutTest, TextIsWidenedThroughTheBoardsCodePage)
{
    // The device's code page, never the host's locale: "caf\xe9" is café
    // in 1252 with the C locale as with any other.
    const char* saved = setlocale(LC_CTYPE, nullptr);
    const std::string locale = saved != nullptr ? saved : "C";
    setlocale(LC_CTYPE, "C");
    std::wstring text;
    ASSERT_TRUE(Read("#\\caf\xe9.exe \x80", &text));
    EXPECT_EQ(text, L"\\caf\u00e9.exe \u20ac");
    ASSERT_TRUE(board::SetSetting("codepage", "65001"));
    ASSERT_TRUE(Read("#\\caf\xc3\xa9.exe", &text));
    EXPECT_EQ(text, L"\\caf\u00e9.exe");
    // In UTF-8 a byte that is not UTF-8 is no letter of any name.
    ASSERT_TRUE(Read("#\\caf\xe9.exe \x80", &text));
    EXPECT_EQ(text, L"\\caf\ufffd.exe \ufffd");
    setlocale(LC_CTYPE, locale.c_str());
}

TEST_F(ShortcutTest, ShortcutThatIsAFifoDoesNotHang)
{
    ASSERT_EQ(mkfifo((root + "/p.lnk").c_str(), 0644), 0);
    wchar_t buf[kPathChars];
    std::wcscpy(buf, L"\\p.lnk");
    EXPECT_FALSE(ReadShortcut(buf));
}

class LaunchTest : public ::testing::Test {
protected:
    TempBoard board;
    std::string root = board.rootfs();
    std::string autoRun = root + "/Card/AutoRun";
    std::string marks = board.dir() + "/marks";

    // The pid that each tag's line carries, in the order of the mark file.
    std::vector<std::pair<std::string, long>> Started()
    {
        std::vector<std::pair<std::string, long>> out;
        for (const std::string& l : Lines(ReadFile(marks))) {
            if (l.empty() || l[0] == '[') continue;
            const size_t space = l.find(' ');
            out.emplace_back(l.substr(0, space), std::stol(l.substr(space + 1)));
        }
        return out;
    }
};

TEST_F(LaunchTest, ExecutablesThenShortcutsWithTheirArguments)
{
    WriteMarkScript(autoRun + "/a.exe", "a", marks);
    WriteMarkScript(autoRun + "/b.EXE", "b", marks);
    WriteMarkScript(root + "/tools/tool.sh", "tool", marks);
    WriteFile(autoRun + "/t.lnk", "20#\\tools\\tool.sh one  two");
    WriteFile(autoRun + "/q.lnk", "#\"\\tools\\tool.sh\" quoted");
    // Neither a folder named like a program nor a broken shortcut starts anything.
    fs::create_directories(autoRun + "/x.exe");
    fs::create_directories(autoRun + "/y.lnk");
    WriteFile(autoRun + "/bad.lnk", "no hash");
    WriteFile(autoRun + "/empty.lnk", "#");
    WriteFile(autoRun + "/readme.txt", "not a program");

    LaunchAutoRun(L"\\Card", Executables);
    ASSERT_TRUE(WaitForMarks(marks, 2));
    LaunchAutoRun(L"\\Card", Shortcuts);
    ASSERT_TRUE(WaitForMarks(marks, 4));

    std::vector<std::string> lines = Lines(ReadFile(marks));
    int toolOne = 0, toolQuoted = 0, executableArgs = 0;
    for (size_t i = 0; i < lines.size(); ++i) {
        if (lines[i].rfind("tool ", 0) == 0 && i + 1 < lines.size()) {
            if (lines[i + 1] == "[one]") toolOne++;
            if (lines[i + 1] == "[quoted]") toolQuoted++;
        }
        if ((lines[i].rfind("a ", 0) == 0 || lines[i].rfind("b ", 0) == 0) && i + 1 < lines.size() &&
            lines[i + 1][0] == '[')
            executableArgs++;
    }
    EXPECT_EQ(toolOne, 1);
    EXPECT_EQ(toolQuoted, 1);
    EXPECT_EQ(executableArgs, 0);   // executables get no argument text
    EXPECT_EQ(Started().size(), 4u);
}

TEST_F(LaunchTest, ExecutablesAreAllStartedBeforeAnyShortcut)
{
    WriteMarkScript(autoRun + "/e1.exe", "exe", marks);
    WriteMarkScript(autoRun + "/e2.exe", "exe", marks);
    WriteMarkScript(autoRun + "/e3.exe", "exe", marks);
    WriteMarkScript(root + "/t.sh", "lnk", marks);
    WriteFile(autoRun + "/1.lnk", "#\\t.sh");
    WriteFile(autoRun + "/2.lnk", "#\\t.sh");

    LaunchAutoRun(L"\\Card", Executables);
    LaunchAutoRun(L"\\Card", Shortcuts);
    ASSERT_TRUE(WaitForMarks(marks, 5));

    // Process ids grow with each start (unless they wrapped around).
    long lastExe = 0, firstLnk = 1L << 30, minPid = 1L << 30, maxPid = 0;
    for (const auto& [tag, pid] : Started()) {
        if (tag == "exe") lastExe = std::max(lastExe, pid);
        if (tag == "lnk") firstLnk = std::min(firstLnk, pid);
        minPid = std::min(minPid, pid);
        maxPid = std::max(maxPid, pid);
    }
    if (maxPid - minPid > 10000) GTEST_SKIP() << "process ids wrapped around";
    EXPECT_LT(lastExe, firstLnk);
}

TEST_F(LaunchTest, NothingOutsideTheVolumeIsFollowed)
{
    const std::string outside = board.dir() + "/outside";
    WriteMarkScript(outside + "/evil.exe", "evil", marks);
    fs::create_directories(autoRun);
    fs::create_symlink(outside + "/evil.exe", autoRun + "/link.exe");
    WriteMarkScript(autoRun + "/good.exe", "good", marks);

    // An AutoRun folder that is a link to another folder is not used.
    fs::create_directories(root + "/Other");
    fs::create_symlink(outside, root + "/Other/AutoRun");

    LaunchAutoRun(L"\\Card", Executables);
    LaunchAutoRun(L"\\Other", Executables);
    ASSERT_TRUE(WaitForMarks(marks, 1));
    for (const auto& [tag, pid] : Started()) EXPECT_EQ(tag, "good");
}

TEST_F(LaunchTest, HardLinkedProgramsOnAMountedVolumeAreNotStarted)
{
    WriteFile(board.dir() + "/volumes/Card", "");
    const std::string host = board.dir() + "/host.exe";
    WriteMarkScript(host, "host", marks);
    fs::create_directories(autoRun);
    ASSERT_EQ(link(host.c_str(), (autoRun + "/linked.exe").c_str()), 0);
    // A shortcut that is a hard link is not read, and one naming the
    // hard-linked program does not start it.
    WriteFile(board.dir() + "/host.lnk", "#\\tools\\tool.sh");
    WriteMarkScript(root + "/tools/tool.sh", "tool", marks);
    ASSERT_EQ(link((board.dir() + "/host.lnk").c_str(), (autoRun + "/a.lnk").c_str()), 0);
    WriteFile(autoRun + "/b.lnk", "#\\Card\\AutoRun\\linked.exe");
    WriteMarkScript(autoRun + "/z.exe", "card", marks);

    LaunchAutoRun(L"\\Card", Executables);
    LaunchAutoRun(L"\\Card", Shortcuts);
    // A start after the others proves that they started nothing.
    WriteFile(root + "/Last/AutoRun/c.lnk", "#\\tools\\tool.sh");
    LaunchAutoRun(L"\\Last", Shortcuts);
    ASSERT_TRUE(WaitForMarks(marks, 2));
    std::vector<std::string> tags;
    for (const auto& [tag, pid] : Started()) tags.push_back(tag);
    std::sort(tags.begin(), tags.end());
    EXPECT_EQ(tags, (std::vector<std::string>{"card", "tool"}));
}

TEST_F(LaunchTest, InUtf8AStrayByteStartsNoProgram)
{
    // \café.exe and \<U+0080>.exe exist; the shortcuts name them with
    // bytes that are not UTF-8, so they name neither. The last one, spelt
    // in UTF-8, starts café.
    WriteMarkScript(root + "/caf\xc3\xa9.exe", "cafe", marks);
    WriteMarkScript(root + "/\xc2\x80.exe", "u80", marks);
    WriteFile(autoRun + "/a.lnk", "#\\caf\xe9.exe");
    WriteFile(autoRun + "/b.lnk", "#\\\x80.exe");
    WriteFile(root + "/Good/AutoRun/c.lnk", "#\\caf\xc3\xa9.exe");
    ASSERT_TRUE(board::SetSetting("codepage", "65001"));
    LaunchAutoRun(L"\\Card", Shortcuts);
    LaunchAutoRun(L"\\Good", Shortcuts);
    // The start after the others proves that they started nothing.
    ASSERT_TRUE(WaitForMarks(marks, 1));
    ASSERT_EQ(Started().size(), 1u);
    EXPECT_EQ(Started()[0].first, "cafe");
}

TEST_F(LaunchTest, OtherKindsAndMissingFoldersStartNothing)
{
    WriteMarkScript(autoRun + "/a.exe", "a", marks);
    WriteFile(autoRun + "/a.lnk", "#\\Card\\AutoRun\\a.exe");
    LaunchAutoRun(L"\\Card", 2);
    LaunchAutoRun(L"\\Card", -1);
    LaunchAutoRun(L"\\Nowhere", Executables);
    LaunchAutoRun(L"\\Nowhere", Shortcuts);
    // A start after them proves that the calls above returned having started nothing.
    LaunchAutoRun(L"\\Card", Executables);
    ASSERT_TRUE(WaitForMarks(marks, 1));
    EXPECT_EQ(Started().size(), 1u);
}

}  // namespace
