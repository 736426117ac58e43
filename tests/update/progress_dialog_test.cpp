// The progress dialog: the file chooser, the worker's start, and Abort.
#include <gtest/gtest.h>

#include <cwchar>
#include <string>

#include "board/imagekit.h"
#include "platform/clock.h"
#include "platform/host/clock.h"
#include "platform/host/entry.h"
#include "tests/support/temp_board.h"
#include "tests/support/ui_double.h"
#include "resources/resources.h"
#include "update/globals.h"
#include "update/progress_dialog.h"

namespace {

// The program's own template of the dialog (resources/), as the entry and
// the main dialog run it.
const OsDialogTemplate& kTemplate = ProgressDialogTemplate;

class ProgressDialog : public ::testing::Test {
protected:
    void SetUp() override
    {
        uidouble::Install();
        OsInitCommonControls();
        OsUseVirtualClock(1000000, 1);
        ImagePath[0] = 0;
        AbortRequested = 0;
    }
    void TearDown() override
    {
        uidouble::Uninstall();
        OsUseRealClock();
        ImagePath[0] = 0;
        AbortRequested = 0;
    }
    static void SetImagePath(const std::string& path)
    {
        std::wstring wide(path.begin(), path.end());
        ASSERT_LT(wide.size(), static_cast<size_t>(IMAGE_PATH_CHARS));
        wcscpy(ImagePath, wide.c_str());
    }
    // Runs the dialog modally as the program does: its template through the
    // dialog manager, with the real procedure.
    static void RunDialog()
    {
        OsDialogBoxIndirectParam(OsModuleFor(&AppResources), &kTemplate, nullptr, ProgressDialogProc, 0);
    }
    static size_t BoxesCaptioned(const wchar_t* caption)
    {
        size_t n = 0;
        for (const auto& b : uidouble::Boxes())
            n += b.caption == caption;
        return n;
    }
};

TEST_F(ProgressDialog, AbortOnlyRaisesTheFlagHoweverOftenPressed)
{
    Window dialog = uidouble::NewDialog(&kTemplate);
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(ProgressDialogProc(dialog, OS_WM_COMMAND, 0x00010000u | 2u, 0), 1);
    EXPECT_EQ(AbortRequested.load(), 1u);
    EXPECT_FALSE(uidouble::Ended(dialog)) << "the worker ends the dialog, never Abort";

    AbortRequested = 0;
    EXPECT_EQ(ProgressDialogProc(dialog, OS_WM_COMMAND, 1002, 0), 1);
    EXPECT_EQ(ProgressDialogProc(dialog, OS_WM_COMMAND, 0x20002u, 0), 1)
        << "only the low 16 bits name the command";
    EXPECT_EQ(AbortRequested.load(), 1u);
    EXPECT_EQ(ProgressDialogProc(dialog, 0x0F, 2, 0), 0) << "other messages are not handled";
    EXPECT_FALSE(uidouble::Ended(dialog));
}

TEST_F(ProgressDialog, CancellingTheChooserEndsTheDialogAndStartsNothing)
{
    AbortRequested = 1;   // left over from an earlier update; not touched on cancel
    RunDialog();
    auto opened = uidouble::DialogsOpened();
    ASSERT_EQ(opened.size(), 1u);
    EXPECT_EQ(opened[0].caption, L"Updating IMAGE");
    EXPECT_TRUE(uidouble::Ended(opened[0].dialog));
    EXPECT_EQ(uidouble::EndResult(opened[0].dialog), 0);

    auto calls = uidouble::OpenFileCalls();
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].owner, opened[0].dialog);
    EXPECT_EQ(calls[0].filter, L"IMAGE files|*.bin||");
    EXPECT_EQ(calls[0].filterIndex, 1u);
    EXPECT_EQ(calls[0].initialName, L"");
    EXPECT_EQ(calls[0].maxFile, 260u);
    EXPECT_EQ(calls[0].initialDir, L"\\");
    EXPECT_EQ(calls[0].flags, 0x1800u);

    EXPECT_TRUE(uidouble::Boxes().empty()) << "no worker ran";
    EXPECT_EQ(AbortRequested.load(), 1u);
    EXPECT_EQ(uidouble::ControlTextHistory(opened[0].dialog, 1005).size(), 0u);

    // The procedure itself answers 0 when the choice was cancelled.
    Window dialog = uidouble::NewDialog(&kTemplate);
    EXPECT_EQ(ProgressDialogProc(dialog, OS_WM_INITDIALOG, 0, 0), 0);
    EXPECT_TRUE(uidouble::Ended(dialog));
}

TEST_F(ProgressDialog, ThreadedGivenPathStartsTheWorkerWithoutAsking)
{
    TempBoard board;
    SetImagePath(board.dir() + "/missing.bin");
    RunDialog();
    EXPECT_TRUE(uidouble::OpenFileCalls().empty());
    auto boxes = uidouble::Boxes();
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].caption, L"ERROR");
    EXPECT_NE(boxes[0].text.find(L"missing.bin"), std::wstring::npos);
    Window dialog = uidouble::DialogsOpened().at(0).dialog;
    EXPECT_EQ(boxes[0].owner, dialog);
    EXPECT_TRUE(uidouble::Ended(dialog));
    EXPECT_EQ(ImagePath[0], 0) << "emptied by the worker";
}

TEST_F(ProgressDialog, ThreadedAfterAnAbortedUpdateTheNextAsksAndStartsClean)
{
    TempBoard board;
    std::string path = board.dir() + "/nk.bin";
    ASSERT_TRUE(imagekit::WriteFile(path, imagekit::OsImageBin(0x80000000u, 0x20000)));

    // First update: Abort pressed at once. (One press only: presses the
    // dialog has not taken when the worker ends it would stay queued in the
    // double and reach the second dialog, depending on thread timing.)
    SetImagePath(path);
    uidouble::PressNext(2);
    uidouble::AnswerNext(OS_IDOK);   // the overlap warning, should there be one
    uidouble::AnswerNext(OS_IDNO);   // no restart
    RunDialog();
    Window first = uidouble::DialogsOpened().at(0).dialog;
    EXPECT_TRUE(uidouble::Ended(first));
    EXPECT_EQ(AbortRequested.load(), 1u);
    EXPECT_EQ(ImagePath[0], 0);
    // Wherever the Abort was seen: never the restart question; after the
    // erase had begun, the warning that the image is incomplete.
    EXPECT_EQ(BoxesCaptioned(L"RESET"), 0u) << "an aborted update never offers the restart";
    for (const auto& b : uidouble::Boxes()) {
        if (b.caption == L"ERROR") {
            EXPECT_EQ(b.text.rfind(L"Update aborted!", 0), 0u) << std::string(b.text.begin(), b.text.end());
        }
    }
    EXPECT_TRUE(uidouble::OpenFileCalls().empty());

    // Second update from the same program: asks for the file, clears Abort.
    // Answers the first run did not take (the warning is not shown when the
    // Abort came first) are dropped with the records, so that no answer meant
    // for the first update reaches the second.
    uidouble::Install();
    uidouble::ChooseFileNext(std::wstring(path.begin(), path.end()));
    uidouble::AnswerNext(OS_IDOK);
    uidouble::AnswerNext(OS_IDNO);
    RunDialog();
    ASSERT_EQ(uidouble::OpenFileCalls().size(), 1u);
    EXPECT_EQ(uidouble::OpenFileCalls()[0].initialName, L"");
    EXPECT_EQ(AbortRequested.load(), 0u);
    Window second = uidouble::DialogsOpened().at(0).dialog;
    EXPECT_TRUE(uidouble::Ended(second));
    EXPECT_EQ(BoxesCaptioned(L"RESET"), 1u);
    EXPECT_EQ(BoxesCaptioned(L"ERROR"), 0u);
    EXPECT_EQ(uidouble::BarPos(second, 1003), uidouble::BarRangeHigh(second, 1003))
        << "the whole image was written";
}

}  // namespace
