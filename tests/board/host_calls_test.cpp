// The host calls the board's files rest on, as the board makes them (on
// Windows through its POSIX shim, board/win32): replacing renames, binary
// data, appends, file locks that exclude per open file, shared mappings,
// the liveness of a process, and the refusal of a board that the other
// side's programs use.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <string>

#include "board/board.h"
#include "board/flash_state.h"
#include "tests/support/temp_board.h"

namespace board {
namespace {

std::string ReadAll(const std::string& path)
{
    int fd = open(path.c_str(), O_RDONLY);
    if (fd < 0)
        return "<missing>";
    std::string out;
    char buf[256];
    for (ssize_t n; (n = read(fd, buf, sizeof buf)) > 0;)
        out.append(buf, size_t(n));
    close(fd);
    return out;
}

void WriteAll(const std::string& path, const std::string& data)
{
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ASSERT_GE(fd, 0) << path;
    ASSERT_EQ(write(fd, data.data(), data.size()), ssize_t(data.size()));
    close(fd);
}

bool Locked(int fd, off_t at, short type)
{
    struct flock fl = {};
    fl.l_type = type;
    fl.l_whence = SEEK_SET;
    fl.l_start = at;
    fl.l_len = 1;
    return fcntl(fd, F_OFD_GETLK, &fl) == 0 && fl.l_type != F_UNLCK;
}

bool Lock(int fd, off_t at, short type)
{
    struct flock fl = {};
    fl.l_type = type;
    fl.l_whence = SEEK_SET;
    fl.l_start = at;
    fl.l_len = 1;
    return fcntl(fd, F_OFD_SETLK, &fl) == 0;
}

TEST(HostCalls, FilesKeepEveryByteAndRenameReplacesEvenAnOpenTarget)
{
    TempBoard b;
    const std::string a = b.dir() + "/a", t = b.dir() + "/t";
    const std::string bytes("line\nCR\r\nEOF\x1a\0end", 17);
    WriteAll(a, bytes);
    struct stat st;
    ASSERT_EQ(stat(a.c_str(), &st), 0);
    EXPECT_EQ(st.st_size, off_t(bytes.size())) << "no newline translation";
    EXPECT_TRUE(S_ISREG(st.st_mode));
    int fd = open(a.c_str(), O_RDWR);
    ASSERT_GE(fd, 0);
    char mid[4] = {};
    EXPECT_EQ(pread(fd, mid, 3, 5), 3);
    EXPECT_EQ(std::string(mid), "CR\r");
    EXPECT_EQ(pwrite(fd, "cr", 2, 5), 2);
    close(fd);
    EXPECT_EQ(ReadAll(a).substr(0, 9), std::string("line\ncr\r\n"));

    WriteAll(t, "old");
    int reader = open(t.c_str(), O_RDONLY);   // a reader of the old file
    ASSERT_GE(reader, 0);
    ASSERT_EQ(rename(a.c_str(), t.c_str()), 0) << std::strerror(errno);
    EXPECT_EQ(ReadAll(t).size(), bytes.size());
    char old[4] = {};
    EXPECT_EQ(read(reader, old, 3), 3);
    EXPECT_STREQ(old, "old") << "the reader keeps the file it opened";
    close(reader);
    EXPECT_NE(stat(a.c_str(), &st), 0);
    EXPECT_EQ(errno, ENOENT);
}

TEST(HostCalls, AppendsOfTwoWritersLandWholeAndInOrder)
{
    TempBoard b;
    const std::string p = b.dir() + "/log";
    int one = open(p.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    int two = open(p.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    ASSERT_GE(one, 0);
    ASSERT_GE(two, 0);
    for (int i = 0; i < 3; ++i) {
        ASSERT_EQ(write(one, "one\n", 4), 4);
        ASSERT_EQ(write(two, "two\n", 4), 4);
    }
    close(one);
    close(two);
    EXPECT_EQ(ReadAll(p), "one\ntwo\none\ntwo\none\ntwo\n");
}

TEST(HostCalls, LocksExcludeOtherOpenFilesUntilReleasedOrClosed)
{
    TempBoard b;
    const std::string p = b.dir() + "/lockfile";
    int first = open(p.c_str(), O_RDWR | O_CREAT, 0644);
    int second = open(p.c_str(), O_RDWR | O_CREAT, 0644);
    ASSERT_GE(first, 0);
    ASSERT_GE(second, 0);
    ASSERT_EQ(flock(first, LOCK_EX | LOCK_NB), 0);
    EXPECT_NE(flock(second, LOCK_EX | LOCK_NB), 0);
    EXPECT_EQ(errno, EWOULDBLOCK);
    ASSERT_EQ(flock(first, LOCK_UN), 0);
    EXPECT_EQ(flock(second, LOCK_EX | LOCK_NB), 0);
    EXPECT_EQ(flock(second, LOCK_UN), 0);

    // Byte locks as the owner slots use them, far beyond the file's end;
    // they do not disturb flock's lock nor the file's data.
    const off_t slot = flash::kSlotLockBase + 7;
    ASSERT_TRUE(Lock(first, slot, F_WRLCK));
    EXPECT_TRUE(Locked(second, slot, F_WRLCK));
    EXPECT_TRUE(Locked(second, slot, F_RDLCK)) << "a write lock conflicts with a read";
    EXPECT_FALSE(Locked(second, slot + 1, F_WRLCK)) << "only its own byte";
    EXPECT_EQ(flock(second, LOCK_EX | LOCK_NB), 0);
    EXPECT_EQ(pwrite(second, "x", 1, 0), 1) << "a lock beyond the end stops no write";
    close(first);   // the lock ends with its file
    EXPECT_FALSE(Locked(second, slot, F_WRLCK));

    int third = open(p.c_str(), O_RDWR);
    ASSERT_GE(third, 0);
    ASSERT_TRUE(Lock(second, slot, F_RDLCK));
    EXPECT_FALSE(Locked(third, slot, F_RDLCK)) << "readers share";
    EXPECT_TRUE(Lock(third, slot, F_RDLCK));
    EXPECT_TRUE(Locked(open(p.c_str(), O_RDWR), slot, F_WRLCK));
    close(second);
    close(third);
}

TEST(HostCalls, TwoSharedMappingsOfAFileSeeEachOtherAndTheFile)
{
    TempBoard b;
    const std::string p = b.dir() + "/mapped";
    WriteAll(p, std::string(8192, '\xFF'));
    int fd1 = open(p.c_str(), O_RDWR);
    int fd2 = open(p.c_str(), O_RDWR);
    ASSERT_GE(fd1, 0);
    ASSERT_GE(fd2, 0);
    auto* m1 = static_cast<unsigned char*>(mmap(nullptr, 8192, PROT_READ | PROT_WRITE, MAP_SHARED, fd1, 0));
    auto* m2 = static_cast<unsigned char*>(mmap(nullptr, 8192, PROT_READ | PROT_WRITE, MAP_SHARED, fd2, 0));
    ASSERT_NE(static_cast<void*>(m1), MAP_FAILED);
    ASSERT_NE(static_cast<void*>(m2), MAP_FAILED);
    close(fd1);   // a mapping outlives its descriptor
    m1[4100] = 0x0A;
    EXPECT_EQ(m2[4100], 0x0A);
    EXPECT_EQ(munmap(m1, 8192), 0);
    EXPECT_EQ(munmap(m2, 8192), 0);
    unsigned char back = 0;
    EXPECT_EQ(pread(fd2, &back, 1, 4100), 1);
    EXPECT_EQ(back, 0x0A);
    close(fd2);
}

TEST(HostCalls, StatFoldersAndNames)
{
    TempBoard b;
    const std::string name = "Gr\xC3\xBC\xC3\x9F" "e";
    const std::string dir = b.dir() + "/" + name;
    ASSERT_EQ(mkdir(dir.c_str(), 0755), 0);
    EXPECT_NE(mkdir(dir.c_str(), 0755), 0);
    EXPECT_EQ(errno, EEXIST);
    struct stat st;
    ASSERT_EQ(stat(dir.c_str(), &st), 0);
    EXPECT_TRUE(S_ISDIR(st.st_mode));
    bool found = false;
    for (const auto& e : std::filesystem::directory_iterator(HostPath(b.dir())))
        found = found || e.path().filename() == HostPath(name);
    EXPECT_TRUE(found) << "names are UTF-8 both ways";
    EXPECT_EQ(kill(getpid(), 0), 0);
    EXPECT_NE(kill(0x3FFFFFF0, 0), 0);
    EXPECT_EQ(errno, ESRCH);
}

TEST(HostCalls, ABoardTheOtherSideHasOpenIsRefused)
{
    TempBoard b;
    const std::string p = b.dir() + "/flash.state";
    int mine = open(p.c_str(), O_RDWR);
    int other = open(p.c_str(), O_RDWR);
    ASSERT_GE(mine, 0);
    ASSERT_GE(other, 0);
    std::string why;
    EXPECT_TRUE(ClaimSide(mine, &why));
    EXPECT_TRUE(ClaimSide(other, &why)) << "this side's own mark is no other side";
    // The other side's mark: its byte follows this side's (or precedes it).
    const off_t linuxByte = flash::kSlotLockBase + off_t(flash::kOwnerSlots) + 16;
    const off_t otherByte = std::string(ThisSide()) == "Linux" ? linuxByte + 1 : linuxByte;
    ASSERT_TRUE(Lock(other, otherByte, F_RDLCK));
    int late = open(p.c_str(), O_RDWR);
    EXPECT_FALSE(ClaimSide(late, &why));
    EXPECT_NE(why.find("one side at a time"), std::string::npos) << why;
    close(other);
    EXPECT_TRUE(ClaimSide(late, &why));
    close(late);
    close(mine);
}

}  // namespace
}  // namespace board
