// The roles autorun uses, on the Win32 backend under Wine: queues and
// mount notifications, programs started inside the device root, and the
// attacks a hostile volume makes (Unix links and FIFOs made from the Linux
// side, ".." names, host paths in shortcuts, long paths), through the
// service's own ProcessVolume.
#include <windows.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "autorun/autorun.h"
#include "board/volumes.h"
#include "platform/clock.h"
#include "platform/files.h"
#include "platform/host/clock.h"
#include "platform/host/files.h"
#include "platform/host/queue.h"
#include "platform/process.h"
#include "platform/queue.h"
#include "platform/sync.h"
#include "tests/support/temp_board.h"
#include "platform/win32/object.h"

namespace {

namespace fs = std::filesystem;

const OsMsgQueueOptions kOptions = {20, 0, 0, 96, 1};

void WriteFile(const fs::path& path, const std::string& content)
{
    fs::create_directories(path.parent_path());
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << content;
}

std::string ReadFile(const fs::path& path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

// The Unix path of a Windows path (Wine only; empty elsewhere).
std::string UnixPath(const fs::path& path)
{
    typedef char*(CDECL * ToUnix)(const wchar_t*);
    static const auto toUnix =
        reinterpret_cast<ToUnix>(reinterpret_cast<void*>(
            GetProcAddress(GetModuleHandleW(L"kernel32"), "wine_get_unix_file_name")));
    if (toUnix == nullptr)
        return std::string();
    char* unix = toUnix(fs::absolute(path).make_preferred().wstring().c_str());
    std::string out = unix ? unix : "";
    HeapFree(GetProcessHeap(), 0, unix);
    return out;
}

// Runs a shell command on the Linux side (Wine starts Unix programs, but
// their handles cannot be waited on: the command leaves a mark when done).
bool Sh(const std::string& command)
{
    static int serial = 0;
    const fs::path done = fs::temp_directory_path() / ("wine-sh-" + std::to_string(GetCurrentProcessId()) + "-" +
                                                       std::to_string(++serial));
    const std::string line = "/bin/sh -c \"(" + command + ") && touch '" + UnixPath(done.parent_path()) + "/" +
                             done.filename().string() + "'\"";
    std::wstring wide = fs::path(line).wstring();
    STARTUPINFOW si{};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi{};
    if (!CreateProcessW(nullptr, wide.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi))
        return false;
    CloseHandle(pi.hProcess);
    CloseHandle(pi.hThread);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (!fs::exists(done)) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    fs::remove(done);
    return true;
}

#define REQUIRE_WINE()                                                                   \
    if (UnixPath(fs::current_path()).empty())                                             \
    GTEST_SKIP() << "Unix links and FIFOs are made from Wine's Linux side"

template <typename Pred>
bool WaitFor(Pred pred, int timeoutMs = 15000)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!pred()) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

// The records the mark program left, sorted: "name\n[arg]..." each.
std::vector<std::string> Marks(const fs::path& file)
{
    std::vector<std::string> records;
    std::stringstream s(ReadFile(file));
    std::string line;
    while (std::getline(s, line)) {
        if (!line.empty() && line[0] == '[' && !records.empty())
            records.back() += "\n" + line;
        else if (!line.empty())
            records.push_back(line.substr(0, line.find(' ')));
    }
    std::sort(records.begin(), records.end());
    return records;
}

// The names of the programs that left a record, in the order their
// processes were created (each start returns once its process exists).
std::vector<std::string> StartOrder(const fs::path& file)
{
    std::vector<std::pair<unsigned long long, std::string>> starts;
    std::stringstream s(ReadFile(file));
    std::string line;
    while (std::getline(s, line)) {
        if (line.empty() || line[0] == '[')
            continue;
        starts.emplace_back(std::stoull(line.substr(line.find_last_of(' ') + 1)), line.substr(0, line.find(' ')));
    }
    std::sort(starts.begin(), starts.end());
    std::vector<std::string> names;
    for (const auto& start : starts)
        names.push_back(start.second);
    return names;
}

// The names a search reports, in its order.
std::vector<std::string> Search(const wchar_t* pattern)
{
    std::vector<std::string> names;
    OsFindData found;
    Handle search = OsFindFirstFile(pattern, &found);
    if (search == OS_INVALID_HANDLE)
        return names;
    do
        if (found.attributes == OS_FILE_ATTRIBUTE_ARCHIVE)
            names.push_back(fs::path(found.name).string());
    while (OsFindNextFile(search, &found));
    OsFindClose(search);
    return names;
}

class WineBoard : public ::testing::Test {
protected:
    TempBoard board;
    fs::path root = board.rootfs();
    fs::path marks = fs::path(board.dir()) / "marks.txt";
    fs::path outside = fs::path(board.dir()) / "outside";

    void SetUp() override
    {
        SetEnvironmentVariableW(L"MARK_FILE", marks.wstring().c_str());
        fs::create_directories(outside);
        fs::copy_file(MARK_PROGRAM, outside / "evil.exe");
        WriteFile(outside / "secret.txt", "secret");
    }
    void TearDown() override
    {
        SetEnvironmentVariableW(L"MARK_FILE", nullptr);
        // FIFOs and links go from the Linux side (under Wine a FIFO's
        // removal through Windows' calls may open it and block).
        if (!UnixPath(board.dir()).empty())
            Sh("find '" + UnixPath(board.dir()) + "' -type p -delete; find '" + UnixPath(board.dir()) +
               "' -type l -delete");
    }
    void Program(const fs::path& at) const
    {
        fs::create_directories(at.parent_path());
        fs::copy_file(MARK_PROGRAM, at, fs::copy_options::overwrite_existing);
    }
};

TEST(WineQueue, MessagesLimitsAndVirtualTimeOuts)
{
    Handle q = OsCreateMsgQueue(nullptr, &kOptions);
    ASSERT_NE(q, nullptr);
    EXPECT_EQ(OsCreateMsgQueue(L"named", &kOptions), nullptr);
    EXPECT_EQ(OsWriteMsgQueue(q, "first", 5, 0, 7), 1);
    EXPECT_EQ(OsWriteMsgQueue(q, "second", 6, 0, 0), 1);
    char big[97] = {};
    EXPECT_EQ(OsWriteMsgQueue(q, big, 97, 0, 0), 0);
    EXPECT_EQ(OsWaitForSingleObject(q, 0), OS_WAIT_OBJECT_0);
    char buf[96];
    uint32_t got = 0, flags = 0;
    ASSERT_EQ(OsReadMsgQueue(q, buf, sizeof buf, &got, 1, &flags), 1);
    EXPECT_EQ(std::string(buf, got), "first");
    EXPECT_EQ(flags, 7u);
    // A message larger than the buffer is dropped, not read again and again.
    EXPECT_EQ(OsReadMsgQueue(q, buf, 3, &got, 1, &flags), 0);
    EXPECT_EQ(OsWaitForSingleObject(q, 0), OS_WAIT_TIMEOUT);

    OsUseVirtualClock(1000000, 1);
    const auto start = std::chrono::steady_clock::now();
    const uint64_t before = OsClockMicros();
    EXPECT_EQ(OsReadMsgQueue(q, buf, sizeof buf, &got, 60000, &flags), 0);
    EXPECT_EQ(OsWaitForSingleObject(q, 60000), OS_WAIT_TIMEOUT);
    EXPECT_GE(OsClockMicros() - before, 120000000u);
    OsUseRealClock();
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(20));
    EXPECT_EQ(OsCloseMsgQueue(q), 1);
    EXPECT_EQ(OsCloseMsgQueue(q), 0);
}

TEST(WineQueue, ThreadedReaderWakesForAWriterAndForTheClose)
{
    Handle q = OsCreateMsgQueue(nullptr, &kOptions);
    std::thread writer([q] {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        OsWriteMsgQueue(q, "late", 4, 0, 0);
    });
    char buf[96];
    uint32_t got = 0, flags = 0;
    EXPECT_EQ(OsReadMsgQueue(q, buf, sizeof buf, &got, OS_INFINITE, &flags), 1);
    EXPECT_EQ(std::string(buf, got), "late");
    writer.join();
    std::atomic<uint32_t> waited{0};
    std::thread waiter([q, &waited] { waited = OsWaitForSingleObject(q, OS_INFINITE); });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    OsCloseMsgQueue(q);
    waiter.join();
    EXPECT_EQ(waited.load(), OS_WAIT_FAILED);
}

// One notification as read from a queue: attached flag and name.
bool ReadNote(Handle q, uint32_t* attached, std::u16string* name)
{
    if (OsWaitForSingleObject(q, 15000) != OS_WAIT_OBJECT_0)
        return false;
    uint8_t buf[96];
    uint32_t got = 0, flags = 0;
    if (OsReadMsgQueue(q, buf, sizeof buf, &got, 1, &flags) != 1 || got < 30)
        return false;
    uint32_t nameBytes;
    std::memcpy(attached, buf + 20, 4);
    std::memcpy(&nameBytes, buf + 24, 4);
    EXPECT_EQ(got, 28 + nameBytes);
    name->assign(reinterpret_cast<const char16_t*>(buf + 28), nameBytes / 2 - 1);
    return true;
}

TEST(WineNotifications, ThreadedVolumesComeAndGoAndTheFolderMayBeMadeAgain)
{
    TempBoard board;
    const std::string host = board.dir() + "/host";
    fs::create_directories(host);
    ASSERT_EQ(board::VolumeInsert("Early", host), 0);
    Handle q = OsCreateMsgQueue(nullptr, &kOptions);
    const OsGuid other = {1, 2, 3, {4, 5, 6, 7, 8, 9, 10, 11}};
    EXPECT_EQ(OsRequestDeviceNotifications(&other, q, 1), nullptr);
    Handle n = OsRequestDeviceNotifications(&FatMountClass, q, 1);
    ASSERT_NE(n, nullptr);
    uint32_t attached = 9;
    std::u16string name;
    ASSERT_TRUE(ReadNote(q, &attached, &name));   // present already: announced at once
    EXPECT_EQ(name, u"\\Early");
    EXPECT_EQ(attached, 1u);
    ASSERT_EQ(board::VolumeInsert("Storage Card", host), 0);
    ASSERT_TRUE(ReadNote(q, &attached, &name));
    EXPECT_EQ(name, u"\\Storage Card");
    EXPECT_EQ(attached, 1u);

    // The volumes folder deleted: its volumes count as removed; made
    // again, it is watched again.
    fs::remove_all(board::VolumesDir());
    std::vector<std::u16string> removed;
    for (int i = 0; i < 2; ++i) {
        ASSERT_TRUE(ReadNote(q, &attached, &name));
        EXPECT_EQ(attached, 0u);
        removed.push_back(name);
    }
    std::sort(removed.begin(), removed.end());
    EXPECT_EQ(removed, (std::vector<std::u16string>{u"\\Early", u"\\Storage Card"}));
    ASSERT_EQ(board::VolumeInsert("Again", host), 0);
    ASSERT_TRUE(ReadNote(q, &attached, &name));
    EXPECT_EQ(name, u"\\Again");
    EXPECT_EQ(attached, 1u);
    EXPECT_EQ(OsWaitForSingleObject(q, 0), OS_WAIT_TIMEOUT);   // each event once

    EXPECT_EQ(OsStopDeviceNotifications(n), 1);
    ASSERT_EQ(board::VolumeRemove("Again"), 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_EQ(OsWaitForSingleObject(q, 0), OS_WAIT_TIMEOUT);   // the watcher is gone
    OsCloseMsgQueue(q);
}

TEST_F(WineBoard, ProgramsStartDetachedInTheRootWithTheirArguments)
{
    Program(root / "Windows" / "mark.exe");
    Program(root / "Tools" / "tool.exe");
    OsProcessInformation info{};
    ASSERT_EQ(OsCreateProcess(L"\\TOOLS\\tool.exe", L"a \"b c\"  d", &info), 1);
    ASSERT_NE(info.process, nullptr);
    EXPECT_EQ(OsWaitForSingleObject(info.process, 15000), OS_WAIT_OBJECT_0);
    EXPECT_EQ(OsCloseHandle(info.process), 1);
    EXPECT_EQ(OsCloseHandle(info.thread), 1);
    // A bare name is looked for in \Windows, ".exe" added.
    ASSERT_EQ(OsCreateProcess(L"mark", nullptr, &info), 1);
    OsWaitForSingleObject(info.process, 15000);
    OsCloseHandle(info.process);
    OsCloseHandle(info.thread);
    ASSERT_TRUE(WaitFor([&] { return Marks(marks).size() == 2; }));
    EXPECT_EQ(Marks(marks), (std::vector<std::string>{"mark.exe", "tool.exe\n[a]\n[b c]\n[d]"}));
    // Its current folder is the device root.
    const std::string text = ReadFile(marks);
    EXPECT_NE(text.find(fs::path(board.rootfs()).filename().string()), std::string::npos);

    // Nothing outside the root, nothing that is no regular file.
    const std::wstring evil = (outside / "evil.exe").wstring();
    EXPECT_EQ(OsCreateProcess(evil.c_str(), nullptr, &info), 0);
    EXPECT_EQ(OsCreateProcess(L"\\..\\outside\\evil.exe", nullptr, &info), 0);
    EXPECT_EQ(OsCreateProcess(L"..\\outside\\evil.exe", nullptr, &info), 0);
    EXPECT_EQ(OsCreateProcess(L"\\Tools", nullptr, &info), 0);
    EXPECT_EQ(OsCreateProcess(L"", nullptr, &info), 0);
    const std::wstring longName = L"\\" + std::wstring(300, L'a') + L".exe";
    EXPECT_EQ(OsCreateProcess(longName.c_str(), nullptr, &info), 0);
    EXPECT_EQ(info.process, nullptr);
}

// An image file named on the command line the Unix way ("/tmp/...") is the
// host's file, as in the Linux build; a leading '\' is the device root.
TEST_F(WineBoard, ImageFilesNamedWithASlashAreHostFiles)
{
    WriteFile(root / "secret.txt", "device");
    auto read = [](const std::string& path) {
        const std::wstring wide(path.begin(), path.end());
        Handle h = OsCreateFile(wide.c_str(), OS_GENERIC_READ, 1, OS_OPEN_EXISTING, 0);
        char buf[16] = {};
        uint32_t got = 0;
        const bool ok = h != OS_INVALID_HANDLE && OsReadFile(h, buf, sizeof buf - 1, &got) == 1;
        OsCloseHandle(h);
        return ok ? std::string(buf, got) : std::string("<not opened>");
    };
    EXPECT_EQ(read(board.dir() + "/outside/secret.txt"), "secret");
    EXPECT_EQ(read("\\secret.txt"), "device");
    char host[64];
    ASSERT_EQ(OsHostPath(L"/tmp/x/nk.bin", host, sizeof host), 1);
    EXPECT_STREQ(host, "/tmp/x/nk.bin");
}

TEST_F(WineBoard, LinksAndFifosAreNeverFollowedNorRead)
{
    REQUIRE_WINE();
    const std::string r = UnixPath(root);
    const std::string o = UnixPath(outside);
    ASSERT_TRUE(Sh("mkdir -p '" + r + "/Dir' && ln -s '" + o + "/evil.exe' '" + r + "/link.exe' && ln -s '" + o +
                   "' '" + r + "/Dir/out' && ln -s '" + o + "/secret.txt' '" + r + "/Dir/secret.txt' && mkfifo '" +
                   r + "/pipe.exe'"));
    OsProcessInformation info{};
    EXPECT_EQ(OsCreateProcess(L"\\link.exe", nullptr, &info), 0);
    EXPECT_EQ(OsCreateProcess(L"\\Dir\\out\\evil.exe", nullptr, &info), 0);
    EXPECT_EQ(OsCreateProcess(L"\\pipe.exe", nullptr, &info), 0);   // refused, and no hang
    EXPECT_EQ(OsCreateFile(L"\\Dir\\secret.txt", OS_GENERIC_READ, 1, OS_OPEN_EXISTING, 0), OS_INVALID_HANDLE);
    EXPECT_EQ(OsCreateFile(L"\\pipe.exe", OS_GENERIC_READ, 1, OS_OPEN_EXISTING, 0), OS_INVALID_HANDLE);

    // The search tells them apart by the entries themselves.
    OsFindData found;
    Handle search = OsFindFirstFile(L"\\Dir\\*", &found);
    ASSERT_NE(search, OS_INVALID_HANDLE);
    std::vector<std::pair<std::wstring, uint32_t>> entries;
    do
        entries.emplace_back(found.name, found.attributes);
    while (OsFindNextFile(search, &found));
    OsFindClose(search);
    std::sort(entries.begin(), entries.end());
    ASSERT_EQ(entries.size(), 2u);
    EXPECT_EQ(entries[0].second, OS_FILE_ATTRIBUTE_REPARSE_POINT);   // out
    EXPECT_EQ(entries[1].second, OS_FILE_ATTRIBUTE_REPARSE_POINT);   // secret.txt
    search = OsFindFirstFile(L"\\pipe.*", &found);
    ASSERT_NE(search, OS_INVALID_HANDLE);
    EXPECT_EQ(found.attributes, OS_FILE_ATTRIBUTE_DEVICE);
    OsFindClose(search);
    EXPECT_EQ(OsFindFirstFile(L"\\Dir\\out\\*", &found), OS_INVALID_HANDLE);

    // Copies neither read through a link or a FIFO nor write through one.
    WriteFile(root / "plain.txt", "plain");
    EXPECT_EQ(OsCopyFile(L"\\Dir\\secret.txt", L"\\copied.txt", 0), 0);
    EXPECT_EQ(OsCopyFile(L"\\pipe.exe", L"\\copied.txt", 0), 0);
    EXPECT_EQ(OsCopyFile(L"\\plain.txt", L"\\Dir\\out\\planted.txt", 0), 0);
    EXPECT_EQ(OsCopyFile(L"\\plain.txt", L"\\Dir\\secret.txt", 0), 0);
    EXPECT_EQ(OsCreateDirectory(L"\\Dir\\out\\made"), 0);
    EXPECT_FALSE(fs::exists(root / "copied.txt"));
    EXPECT_FALSE(fs::exists(outside / "planted.txt"));
    EXPECT_FALSE(fs::exists(outside / "made"));
    EXPECT_EQ(ReadFile(outside / "secret.txt"), "secret");
}

TEST_F(WineBoard, CopiesReplaceWholeAndLeaveNothingBeside)
{
    WriteFile(root / "Src" / "a.txt", "new content");
    WriteFile(root / "Dst" / "A.TXT", "old");
    EXPECT_EQ(OsCreateDirectory(L"\\Dst"), 0);   // exists
    EXPECT_EQ(OsCreateDirectory(L"\\Dst\\Sub"), 1);
    EXPECT_EQ(OsCopyFile(L"\\Src\\a.txt", L"\\dst\\a.txt", 1), 0);
    EXPECT_EQ(OsCopyFile(L"\\Src\\a.txt", L"\\dst\\a.txt", 0), 1);
    EXPECT_EQ(ReadFile(root / "Dst" / "A.TXT"), "new content");   // the existing spelling
    EXPECT_EQ(OsCopyFile(L"\\Src\\a.txt", L"\\Dst\\Sub", 0), 0);   // a folder stays
    SetFileAttributesW((root / "Dst" / "A.TXT").wstring().c_str(), FILE_ATTRIBUTE_READONLY);
    WriteFile(root / "Src" / "a.txt", "newer");
    EXPECT_EQ(OsCopyFile(L"\\Src\\a.txt", L"\\Dst\\a.txt", 0), 0);
    SetFileAttributesW((root / "Dst" / "A.TXT").wstring().c_str(), FILE_ATTRIBUTE_NORMAL);
    EXPECT_EQ(ReadFile(root / "Dst" / "A.TXT"), "new content");
    EXPECT_EQ(OsCopyFile(L"\\Src\\a.txt", L"\\Missing\\a.txt", 0), 0);
    std::vector<std::string> left;
    for (const auto& e : fs::directory_iterator(root / "Dst"))
        left.push_back(e.path().filename().string());
    std::sort(left.begin(), left.end());
    EXPECT_EQ(left, (std::vector<std::string>{"A.TXT", "Sub"}));
}

// The service's own walk on a hostile volume: what is plain is copied and
// started, with its arguments; nothing else is followed, read or started.
TEST_F(WineBoard, HostileVolumeReachesNothingOutsideTheRoot)
{
    REQUIRE_WINE();
    const fs::path card = root / "Card";
    WriteFile(card / "AutoCopy" / "Docs" / "readme.txt", "docs");
    Program(card / "AutoCopy" / "Tools" / "tool.exe");
    Program(card / "AutoRun" / "first.exe");
    Program(card / "AutoRun" / "second.exe");
    fs::create_directories(card / "AutoRun" / "folder.exe");
    WriteFile(card / "AutoRun" / "go.lnk", "12#\\Tools\\tool.exe one \"two three\"");
    WriteFile(card / "AutoRun" / "host.lnk", "#" + (outside / "evil.exe").string() + " x");
    WriteFile(card / "AutoRun" / "up.lnk", "#\\..\\..\\outside\\evil.exe x");
    WriteFile(card / "AutoRun" / "long.lnk", "#\\" + std::string(240, 'a') + "\\evil.exe");
    const std::string c = UnixPath(card);
    const std::string o = UnixPath(outside);
    ASSERT_TRUE(Sh("ln -s '" + o + "/evil.exe' '" + c + "/AutoRun/link.exe' && ln -s '" + o + "/secret.txt' '" + c +
                   "/AutoCopy/secret.txt' && ln -s '" + o + "' '" + c + "/AutoCopy/Linked' && mkfifo '" + c +
                   "/AutoCopy/pipe' '" + c + "/AutoRun/pipe.exe' && ln -s '" + o + "' '" + UnixPath(root) +
                   "/Docs2' && mkdir -p '" + c + "/AutoCopy/Docs2' && echo x > '" + c +
                   "/AutoCopy/Docs2/planted.txt'"));

    ProcessVolume(L"\\Card");
    EXPECT_EQ(ReadFile(root / "Docs" / "readme.txt"), "docs");
    EXPECT_TRUE(fs::exists(root / "Tools" / "tool.exe"));
    EXPECT_FALSE(fs::exists(root / "secret.txt"));
    EXPECT_FALSE(fs::exists(root / "pipe"));
    EXPECT_FALSE(fs::exists(root / "Linked"));
    EXPECT_FALSE(fs::exists(outside / "planted.txt"));
    ASSERT_TRUE(WaitFor([&] { return Marks(marks).size() >= 3; }));
    std::this_thread::sleep_for(std::chrono::milliseconds(500));   // anything more would show by now
    EXPECT_EQ(Marks(marks), (std::vector<std::string>{"first.exe", "second.exe", "tool.exe\n[one]\n[two three]"}));
    // The executables in search order, then the shortcut's target.
    std::vector<std::string> order = Search(L"\\Card\\AutoRun\\*.exe");
    order.push_back("tool.exe");
    EXPECT_EQ(StartOrder(marks), order);
}

// Once termination is requested, nothing more is searched, made, copied
// or started (gtest runs this in a process of its own).
TEST(WineTerminationDeathTest, EveryCallRefusesAfterTheRequest)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            TempBoard board;
            WriteFile(fs::path(board.rootfs()) / "a.txt", "a");
            fs::copy_file(MARK_PROGRAM, fs::path(board.rootfs()) / "mark.exe");
            OsWin32RequestTermination();
            OsFindData found;
            OsProcessInformation info{};
            const bool refused = OsFindFirstFile(L"\\*", &found) == OS_INVALID_HANDLE &&
                                 OsCreateDirectory(L"\\New") == 0 && OsCopyFile(L"\\a.txt", L"\\b.txt", 0) == 0 &&
                                 OsCreateProcess(L"\\mark.exe", nullptr, &info) == 0;
            std::exit(refused ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "");
}

}  // namespace
