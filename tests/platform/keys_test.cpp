// Key state: the board's Shift setting.
#include <gtest/gtest.h>

#include "board/board.h"
#include "platform/keys.h"
#include "tests/support/temp_board.h"

namespace {

TEST(Keys, ShiftFollowsTheBoardSetting)
{
    TempBoard board;
    EXPECT_EQ(OsGetKeyState(OS_VK_SHIFT), 0);
    ASSERT_TRUE(board::SetSetting("shift", "down"));
    EXPECT_NE(OsGetKeyState(OS_VK_SHIFT), 0);
    EXPECT_NE(OsGetKeyState(OS_VK_SHIFT) & 0x8000, 0);   // the held bit
    EXPECT_EQ(OsGetKeyState(0x11), 0);                   // other keys are never held
    EXPECT_EQ(OsGetKeyState(0x41), 0);
    ASSERT_TRUE(board::SetSetting("shift", "up"));
    EXPECT_EQ(OsGetKeyState(OS_VK_SHIFT), 0);
}

}  // namespace
