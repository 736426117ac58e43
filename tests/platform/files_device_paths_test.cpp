// The files role's contract, the same for both backends (this file is
// built into the Linux suite and into the Win32 suite run under Wine): what
// is a device path, how its components are found, what never leaves the
// device root, stores, and reading files.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "board/board.h"
#include "platform/files.h"
#include "platform/host/files.h"
#include "platform/sync.h"
#include "tests/support/temp_board.h"

namespace fs = std::filesystem;

namespace {

class DevicePathContract : public ::testing::Test {
protected:
    TempBoard board_{true};
    fs::path root_ = board_.rootfs();

    void SetUp() override
    {
        // An empty device root: only what each test writes.
        fs::remove_all(root_);
        fs::create_directory(root_);
    }

    // Writes a file below the board directory (folders are created).
    void Write(const fs::path& relative, const std::string& content) const
    {
        const fs::path path = fs::path(board_.dir()) / relative;
        fs::create_directories(path.parent_path());
        std::ofstream(path, std::ios::binary | std::ios::trunc) << content;
    }
    static std::string Read(const fs::path& path)
    {
        std::ifstream in(path, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    // The whole content of a file opened through the role.
    static std::string ReadAll(const wchar_t* path)
    {
        Handle file = OsCreateFile(path, OS_GENERIC_READ, OS_FILE_SHARE_READ, OS_OPEN_EXISTING, 0);
        if (file == OS_INVALID_HANDLE)
            return "<not opened>";
        std::string out;
        char buf[64];
        uint32_t got = 0;
        while (OsReadFile(file, buf, sizeof buf, &got) == 1 && got > 0)
            out.append(buf, got);
        OsCloseHandle(file);
        return out;
    }
    static std::vector<std::wstring> Names(const wchar_t* pattern)
    {
        std::vector<std::wstring> names;
        OsFindData data;
        Handle search = OsFindFirstFile(pattern, &data);
        if (search == OS_INVALID_HANDLE)
            return names;
        do
            names.push_back(data.name);
        while (OsFindNextFile(search, &data));
        EXPECT_EQ(OsFindClose(search), 1);
        std::sort(names.begin(), names.end());
        return names;
    }
};

TEST_F(DevicePathContract, ComponentsMatchInAnyLetterCaseBetweenEitherSeparator)
{
    Write("rootfs/Windows/Default.FDF", "fdf");
    EXPECT_EQ(ReadAll(L"\\windows\\DEFAULT.fdf"), "fdf");
    EXPECT_EQ(ReadAll(L"\\WINDOWS/default.fdf"), "fdf");
    EXPECT_EQ(ReadAll(L"\\.\\Windows\\.\\Missing\\..\\\\default.fdf"), "fdf");
    EXPECT_EQ(Names(L"\\windows/*.fdf"), (std::vector<std::wstring>{L"Default.FDF"}));
    EXPECT_EQ(Names(L"\\*"), (std::vector<std::wstring>{L"Windows"}));

    // New names keep their spelling; existing ones are found as they are.
    ASSERT_EQ(OsCreateDirectory(L"\\WINDOWS/New"), 1);
    EXPECT_EQ(OsCreateDirectory(L"\\windows\\NEW"), 0);   // exists already
    ASSERT_EQ(OsCopyFile(L"\\windows/default.fdf", L"\\windows\\new/Copy.fdf", 0), 1);
    EXPECT_EQ(Read(root_ / "Windows" / "New" / "Copy.fdf"), "fdf");
    ASSERT_EQ(OsCopyFile(L"\\Windows\\New\\Copy.fdf", L"\\WINDOWS\\default.FDF", 0), 1);
    EXPECT_EQ(Names(L"\\Windows\\*"), (std::vector<std::wstring>{L"Default.FDF", L"New"}));
}

TEST_F(DevicePathContract, NoDevicePathLeavesTheRoot)
{
    Write("rootfs/a/file.txt", "inside");
    Write("secret.txt", "outside");
    for (const wchar_t* path : {L"\\..\\secret.txt", L"\\a\\..\\..\\secret.txt", L"\\a/../../secret.txt"}) {
        SCOPED_TRACE(fs::path(path).string());
        EXPECT_EQ(ReadAll(path), "<not opened>");
        EXPECT_EQ(OsCopyFile(path, L"\\copied.txt", 0), 0);
        EXPECT_EQ(OsCopyFile(L"\\a\\file.txt", path, 0), 0);
        EXPECT_EQ(OsCreateDirectory(path), 0);
        char host[1024];
        EXPECT_EQ(OsHostPath(path, host, sizeof host), 0);
    }
    OsFindData data;
    EXPECT_EQ(OsFindFirstFile(L"\\..\\*", &data), OS_INVALID_HANDLE);
    EXPECT_EQ(OsFindFirstFile(L"\\a\\..\\..\\*", &data), OS_INVALID_HANDLE);
    // ".." stops at the root only when it would climb above it.
    EXPECT_EQ(ReadAll(L"\\a\\..\\a\\file.txt"), "inside");
    EXPECT_EQ(Read(fs::path(board_.dir()) / "secret.txt"), "outside");
    EXPECT_FALSE(fs::exists(root_ / "copied.txt"));
}

// Only a leading '\' names the device: "/Windows/x.txt" is the host's
// file of that name, never the device's \Windows\x.txt.
TEST_F(DevicePathContract, OnlyALeadingBackslashMakesADevicePath)
{
    Write("rootfs/Windows/x.txt", "device");
    Write("host.txt", "host");
    EXPECT_EQ(ReadAll(L"/Windows/x.txt"), "<not opened>");
    OsFindData data;
    EXPECT_EQ(OsFindFirstFile(L"/Windows/*", &data), OS_INVALID_HANDLE);
    EXPECT_EQ(OsCopyFile(L"/Windows/x.txt", L"\\y.txt", 0), 0);
    EXPECT_EQ(OsCopyFile(L"\\Windows\\x.txt", L"/Windows/y.txt", 0), 0);
    EXPECT_EQ(OsCreateDirectory(L"/Windows/Made"), 0);
    EXPECT_FALSE(fs::exists(root_ / "Windows" / "y.txt"));
    EXPECT_FALSE(fs::exists(root_ / "Windows" / "Made"));
    EXPECT_FALSE(fs::exists(root_ / "y.txt"));
    char host[64];
    ASSERT_EQ(OsHostPath(L"/Windows/x.txt", host, sizeof host), 1);
    EXPECT_STREQ(host, "/Windows/x.txt");

    // A host path is read as given; copies and folders go to the device
    // only.
    const std::string hostFile = board_.dir() + "/host.txt";
    const std::wstring wide = fs::path(hostFile).wstring();
    EXPECT_EQ(ReadAll(wide.c_str()), "host");
    ASSERT_EQ(OsCopyFile(wide.c_str(), L"\\fromhost.txt", 0), 1);
    EXPECT_EQ(Read(root_ / "fromhost.txt"), "host");
    const std::wstring back = fs::path(board_.dir() + "/back.txt").wstring();
    EXPECT_EQ(OsCopyFile(L"\\Windows\\x.txt", back.c_str(), 0), 0);
    EXPECT_EQ(OsCreateDirectory(fs::path(board_.dir() + "/made").wstring().c_str()), 0);
    EXPECT_FALSE(fs::exists(fs::path(board_.dir()) / "back.txt"));
    EXPECT_FALSE(fs::exists(fs::path(board_.dir()) / "made"));
}

TEST_F(DevicePathContract, StoresAreProbedByName)
{
    for (const wchar_t* known : {L"\\StoreMgr\\DSK0:", L"\\storemgr\\dsk0:"}) {
        Handle store = OsCreateFile(known, 0, 0, 0, 0);
        EXPECT_NE(store, OS_INVALID_HANDLE);
        EXPECT_EQ(OsCloseHandle(store), 1);
    }
    for (const wchar_t* unknown : {L"\\StoreMgr\\DSK1:", L"\\StoreMgr\\", L"\\StoreMgr", L"/StoreMgr/DSK0:",
                                   L"\\StoreMgrX\\DSK0:"})
        EXPECT_EQ(OsCreateFile(unknown, 0, 0, 0, 0), OS_INVALID_HANDLE);
    ASSERT_TRUE(board::SetSetting("stores", "DSK0:,dsk1:"));
    Handle store = OsCreateFile(L"\\StoreMgr\\DSK1:", 0, 0, 0, 0);
    EXPECT_NE(store, OS_INVALID_HANDLE);
    OsCloseHandle(store);
}

TEST_F(DevicePathContract, SearchPatternsNameAFolderAndAWildcard)
{
    Write("rootfs/Card/AutoRun/Setup.Exe", "");
    Write("rootfs/Card/AutoRun/b.EXE", "");
    Write("rootfs/Card/AutoRun/readme.txt", "");
    fs::create_directories(root_ / "Empty");
    EXPECT_EQ(Names(L"\\card\\autorun\\*.exe"), (std::vector<std::wstring>{L"Setup.Exe", L"b.EXE"}));
    EXPECT_EQ(Names(L"\\Card\\AutoRun\\?.exe"), (std::vector<std::wstring>{L"b.EXE"}));
    EXPECT_EQ(Names(L"\\Card\\AutoRun\\*.*").size(), 3u);
    OsFindData data;
    EXPECT_EQ(OsFindFirstFile(L"\\Empty\\*", &data), OS_INVALID_HANDLE);   // no "." nor ".."
    EXPECT_EQ(OsFindFirstFile(L"\\Missing\\*", &data), OS_INVALID_HANDLE);
    EXPECT_EQ(OsFindFirstFile(L"\\Card\\", &data), OS_INVALID_HANDLE);      // no wildcard
    EXPECT_EQ(OsFindClose(OS_INVALID_HANDLE), 0);
    // A handle of another kind is no search.
    Handle mutex = OsCreateMutex(L"NotASearch");
    EXPECT_EQ(OsFindNextFile(mutex, &data), 0);
    EXPECT_EQ(OsFindClose(mutex), 0);
    OsCloseHandle(mutex);
}

TEST_F(DevicePathContract, ReadsFilesToTheEnd)
{
    Write("rootfs/Data/Text.lnk", "12#\\windows\\app.exe");
    Handle file = OsCreateFile(L"\\data\\text.LNK", OS_GENERIC_READ, OS_FILE_SHARE_READ, OS_OPEN_EXISTING, 0);
    ASSERT_NE(file, OS_INVALID_HANDLE);
    char buf[8];
    uint32_t got = 99;
    ASSERT_EQ(OsReadFile(file, buf, 4, &got), 1);
    EXPECT_EQ(got, 4u);
    EXPECT_EQ(std::string(buf, 4), "12#\\");
    char rest[64];
    ASSERT_EQ(OsReadFile(file, rest, sizeof rest, &got), 1);
    EXPECT_EQ(std::string(rest, got), "windows\\app.exe");
    ASSERT_EQ(OsReadFile(file, rest, sizeof rest, &got), 1);
    EXPECT_EQ(got, 0u);
    EXPECT_EQ(OsCloseHandle(file), 1);
    EXPECT_EQ(OsReadFile(file, rest, sizeof rest, &got), 0);
    EXPECT_EQ(got, 0u);
    // Only existing files, only for reading.
    EXPECT_EQ(OsCreateFile(L"\\Data", OS_GENERIC_READ, 0, OS_OPEN_EXISTING, 0), OS_INVALID_HANDLE);
    EXPECT_EQ(OsCreateFile(L"\\Data\\Text.lnk", OS_GENERIC_WRITE, 0, OS_OPEN_EXISTING, 0), OS_INVALID_HANDLE);
    EXPECT_EQ(OsCreateFile(L"\\Data\\Text.lnk", OS_GENERIC_READ, 0, OS_CREATE_ALWAYS, 0), OS_INVALID_HANDLE);
    EXPECT_EQ(OsCreateFile(L"", OS_GENERIC_READ, 0, OS_OPEN_EXISTING, 0), OS_INVALID_HANDLE);
    EXPECT_EQ(OsCreateFile(nullptr, OS_GENERIC_READ, 0, OS_OPEN_EXISTING, 0), OS_INVALID_HANDLE);
}

// Reads of every size: every byte from its own offset, up to the end; after
// a seek, the file as it is now.
TEST_F(DevicePathContract, LargeReadsAndSeeksSeeTheFileAsItIs)
{
    std::string data(300 * 1024 + 13, '\0');
    for (size_t i = 0; i < data.size(); ++i)
        data[i] = static_cast<char>((i * 131 + i / 4093) & 0xFF);
    Write("rootfs/Data/big.bin", data);
    Handle file = OsCreateFile(L"\\Data\\big.bin", OS_GENERIC_READ, 0, OS_OPEN_EXISTING, 0);
    ASSERT_NE(file, OS_INVALID_HANDLE);
    std::string seen;
    std::vector<char> buf(200 * 1024);
    const uint32_t sizes[] = {12, 16384 + 12, 5, 200 * 1024, 16384};
    for (uint32_t got = 1, k = 0; got != 0; ++k) {
        ASSERT_EQ(OsReadFile(file, buf.data(), sizes[k % 5], &got), 1);
        seen.append(buf.data(), got);
    }
    EXPECT_TRUE(seen == data) << "differs from offset "
                              << (std::mismatch(seen.begin(), seen.end(), data.begin()).first - seen.begin());
    uint32_t got = 0;
    ASSERT_EQ(OsSetFilePointer(file, 0), 1);
    ASSERT_EQ(OsReadFile(file, buf.data(), 12, &got), 1);
    const std::string changed(data.size(), '\xCC');
    {
        std::fstream out(root_ / "Data" / "big.bin", std::ios::binary | std::ios::in | std::ios::out);
        out.write(changed.data(), static_cast<std::streamsize>(changed.size()));
    }
    ASSERT_EQ(OsSetFilePointer(file, 20000), 1);
    ASSERT_EQ(OsReadFile(file, buf.data(), 16384, &got), 1);
    EXPECT_EQ(std::string(buf.data(), got), changed.substr(20000, 16384));
    EXPECT_EQ(OsCloseHandle(file), 1);
}

}  // namespace
