// The line protocol's lines and answers, as tables of inputs and what the
// protocol makes of them (the presenter's own tests pin the rest: which
// dialog reads, end of input, interrupts, the open-file dialog's checks).
#include <gtest/gtest.h>

#include "platform/common/line_protocol.h"
#include "platform/ui.h"

namespace {

using namespace lineproto;

UiDialogView MainDialog()
{
    UiDialogView v;
    v.caption = L"Update Tool 1.7";
    v.controls = {{1001, UiControlKind::Button, L"Save Registry to Flash"},
                  {1004, UiControlKind::Button, L"BSP Version"},
                  {1010, UiControlKind::Static, L""}};
    return v;
}

TEST(UiLineProtocol, ABoxTakesTheFirstLettersOfAButtonInAnyCase)
{
    const std::vector<int> okCancel = {OS_IDOK, OS_IDCANCEL}, yesNo = {OS_IDYES, OS_IDNO};
    const struct {
        const char* line;
        const std::vector<int>& buttons;
        int answer;
    } cases[] = {
        {"o", okCancel, OS_IDOK},        {" CANCEL\r", okCancel, OS_IDCANCEL}, {"Ca", okCancel, OS_IDCANCEL},
        {"yes", yesNo, OS_IDYES},        {"N", yesNo, OS_IDNO},                {"ok", yesNo, 0},
        {"Cancels", okCancel, 0},        {"", okCancel, 0},                    {"  ", yesNo, 0},
    };
    for (const auto& c : cases)
        EXPECT_EQ(BoxAnswerOf(c.line, c.buttons), c.answer) << '"' << c.line << '"';
    EXPECT_EQ(BoxNoButton(" maybe ", yesNo), "-> maybe\n\"maybe\" is no button of this box; answer Yes / No\n");
    EXPECT_EQ(BoxTakenWithout(OS_IDNO, "interrupted"), "(interrupted: No)\n-> No (interrupted)\n");
}

TEST(UiLineProtocol, ADialogLineNamesAnIdOrAButtonsText)
{
    const struct {
        const char* line;
        int id;
    } cases[] = {
        {"", OS_IDCANCEL}, {"1004", 1004}, {"4", 4},        {"65535", 65535},          {"bsp VERSION", 1004},
        {"0", 0},          {"65536", 0},   {"010040", 0},   {"Save Registry", 0},      {"1004 ", 0},
    };
    UiDialogView view = MainDialog();
    for (const auto& c : cases) {
        std::string complaint;
        EXPECT_EQ(CommandOf(view, c.line, &complaint), c.id) << '"' << c.line << '"';
        EXPECT_EQ(complaint.empty(), c.id != 0) << complaint;
    }
    std::string complaint;
    CommandOf(view, "x", &complaint);
    EXPECT_EQ(complaint, "-> x\n\"x\" names no button of Update Tool 1.7\n");
    EXPECT_EQ(Echo(view, 1004), "-> [1004] BSP Version");
    EXPECT_EQ(Echo(view, 4), "-> [4]");
    EXPECT_EQ(Echo(view, OS_IDCANCEL), "-> [2] close");
}

TEST(UiLineProtocol, ADialogShownSaysHowItIsAnswered)
{
    bool reads = false;
    EXPECT_EQ(DialogShown(MainDialog(), "", &reads),
              "Dialog: Update Tool 1.7\n  [1001] Save Registry to Flash\n  [1004] BSP Version\n"
              "Press: a button's id or text (empty line: close)\n");
    EXPECT_TRUE(reads);

    UiDialogView progress;
    progress.caption = L"Updating IMAGE";
    progress.controls = {{1004, UiControlKind::Static, L"Erasing"},
                         {1003, UiControlKind::Progress, L"", 0, 2048, 128},
                         {1002, UiControlKind::Progress, L"", 0, 100, 0},
                         {OS_IDCANCEL, UiControlKind::Button, L"Abort"}};
    EXPECT_EQ(DialogShown(progress, "KB", &reads),
              "Dialog: Updating IMAGE\n  [2] Abort\n(Ctrl-C: Abort)\n"
              "Updating IMAGE 1004: Erasing\nUpdating IMAGE [1004 text]: Erasing\n"
              "Updating IMAGE 1003: 128/2048\nUpdating IMAGE [1003 bar]: 128/2048 KB  6 %\n");
    EXPECT_FALSE(reads);

    UiDialogView later = progress;
    later.controls[2].pos = 50;
    EXPECT_EQ(Changes(progress, later, false, ""),
              "Updating IMAGE 1002: 50/100\nUpdating IMAGE [1002 bar]: 50/100  50 %\n");
    EXPECT_EQ(Changes(progress, progress, false, "KB"), "");
}

TEST(UiLineProtocol, TheOpenFileQuestionLeavesOutWhatTheDialogHasNot)
{
    const std::wstring title = L"Pick", name = L"IMAGE files", pattern = L"*.bin", root = L"\\";
    EXPECT_EQ(ChooserQuestion(nullptr, name, pattern, &root),
              "Open file: IMAGE files (*.bin) in \\\nPath (empty line: cancel):\n");
    EXPECT_EQ(ChooserQuestion(&title, L"", L"", nullptr), "Pick\nPath (empty line: cancel):\n");
    EXPECT_EQ(ChooserCancelled(nullptr), "(cancelled)\n-> (cancel)\n");
    EXPECT_EQ(ChooserCancelled("end of input"), "(cancelled)\n-> (cancel) (end of input)\n");
}

// Typed at a terminal without cursor control: the buttons answer to their
// places as the full terminal's keys do, Enter presses the first, each
// change is written once; ids and texts still work.
TEST(UiLineProtocol, ATypedLinePressesAButtonByItsPlace)
{
    const struct {
        const char* line;
        int id;
    } cases[] = {
        {"", 1001}, {"1", 1001}, {"2", 1004}, {"3", 3}, {"1004", 1004}, {"bsp version", 1004}, {"x", 0},
    };
    UiDialogView view = MainDialog();
    for (const auto& c : cases) {
        std::string complaint;
        EXPECT_EQ(TypedCommandOf(view, c.line, &complaint), c.id) << '"' << c.line << '"';
    }
    UiDialogView none;
    std::string complaint;
    EXPECT_EQ(TypedCommandOf(none, "", &complaint), OS_IDCANCEL);

    bool reads = false;
    EXPECT_EQ(DialogShown(MainDialog(), "", &reads, true),
              "Dialog: Update Tool 1.7\n  1: [1001] Save Registry to Flash\n  2: [1004] BSP Version\n"
              "Press: a button's number, id or text (Enter: Save Registry to Flash; Ctrl-D or Ctrl-C: close)\n");
    UiDialogView progress;
    progress.caption = L"Updating IMAGE";
    progress.controls = {{1004, UiControlKind::Static, L"Erasing"}, {1003, UiControlKind::Progress, L"", 0, 2048, 0}};
    UiDialogView later = progress;
    later.controls[0].text = L"Writing";
    later.controls[1].pos = 128;
    EXPECT_EQ(Changes(progress, later, false, "KB", true),
              "Updating IMAGE [1004 text]: Writing\nUpdating IMAGE [1003 bar]: 128/2048 KB  6 %\n");
}

}  // namespace
