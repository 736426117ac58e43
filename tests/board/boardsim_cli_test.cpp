// The boardsim command: exit statuses and the set/get/events contract.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <cstdio>
#include <string>

#include "board/board.h"
#include "platform/testing/temp_board.h"

namespace {
const std::string kBoardsim = std::string(TEST_BIN_DIR) + "/boardsim";

// Runs boardsim with args on the current board; returns its exit status and
// its standard output in *out.
int RunBoardsim(const std::string& args, std::string* out = nullptr)
{
    std::string cmd = "'" + kBoardsim + "' " + args + " 2>/dev/null";
    FILE* p = popen(cmd.c_str(), "r");
    if (!p)
        return -1;
    std::string text;
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, p)) > 0)
        text.append(buf, n);
    int status = pclose(p);
    if (out)
        *out = text;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

bool HaveBoardsim()
{
    struct stat st;
    return stat(kBoardsim.c_str(), &st) == 0;
}
}  // namespace

TEST(BoardsimCli, UsageErrorsExitWithTwo)
{
    if (!HaveBoardsim())
        GTEST_SKIP() << "boardsim is not built";
    TempBoard tb;
    const std::string timing = board::GetSetting("timing");
    EXPECT_EQ(RunBoardsim(""), 2);
    EXPECT_EQ(RunBoardsim("frobnicate"), 2);
    EXPECT_EQ(RunBoardsim("set timing"), 2);
    EXPECT_EQ(RunBoardsim("set timing fast"), 2);
    EXPECT_EQ(RunBoardsim("set no-such-key 1"), 2);
    EXPECT_EQ(RunBoardsim("get"), 2);
    EXPECT_EQ(RunBoardsim("init --wrong"), 2);
    EXPECT_EQ(board::GetSetting("timing"), timing);
}

TEST(BoardsimCli, SetGetEventsAndShow)
{
    if (!HaveBoardsim())
        GTEST_SKIP() << "boardsim is not built";
    TempBoard tb;
    std::string out;
    EXPECT_EQ(RunBoardsim("set shift down"), 0);
    EXPECT_EQ(board::GetSetting("shift"), "down");
    EXPECT_EQ(RunBoardsim("get shift", &out), 0);
    EXPECT_EQ(out, "down\n");
    board::RecordEvent("restart warm");
    board::RecordEvent("registry-clear ok");
    EXPECT_EQ(RunBoardsim("events", &out), 0);
    EXPECT_EQ(out, "restart warm\nregistry-clear ok\n");
    EXPECT_EQ(RunBoardsim("show", &out), 0);
    EXPECT_NE(out.find("version block at 0x00000200: id 1, version 2.3"), std::string::npos) << out;
    EXPECT_NE(out.find("ROM image 0x00080000.."), std::string::npos) << out;
    EXPECT_NE(out.find("Shift: down"), std::string::npos) << out;
    EXPECT_EQ(RunBoardsim("help", &out), 0);
    EXPECT_NE(out.find("hal-restart"), std::string::npos);
    EXPECT_NE(out.find("ends the calling program"), std::string::npos);
    EXPECT_EQ(RunBoardsim("init --blank"), 0);
    EXPECT_EQ(RunBoardsim("show", &out), 0);
    EXPECT_NE(out.find("nothing found"), std::string::npos) << out;
    EXPECT_EQ(board::GetSetting("shift"), "up");  // a new board has default settings
}
