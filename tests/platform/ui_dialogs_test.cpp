// The dialog manager, driven through the test double: modal loops, nested
// dialogs, calls from other threads, controls and resources.
#include <gtest/gtest.h>
#include <poll.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/host/entry.h"
#include "platform/posix/ui_presenter.h"
#include "tests/support/ui_double.h"
#include "platform/ui.h"
#include "tests/platform/bin_chooser.h"

namespace {

const OsDialogItem kItems[] = {
    {2, L"BUTTON", L"Abort", 52, 71, 58, 11, 0x50010000},
    {1002, L"msctls_progress32", L"Progress1", 7, 20, 157, 13, 0x50800000},
    {1004, L"STATIC", L"", 7, 7, 157, 10, 0x50020000},
    {1010, L"BUTTON", L"Go", 7, 7, 40, 10, 0x50010000},
};
const OsDialogTemplate kTemplate = {L"Testing", 0x80C800C0, 0, 0, 171, 89, L"System", 8, 4, kItems};

struct Seen {
    uint32_t message;
    uintptr_t wParam;
    intptr_t lParam;
};
std::vector<Seen> seen;

class UiDialogs : public ::testing::Test {
protected:
    void SetUp() override
    {
        seen.clear();
        uidouble::Install();
        OsInitCommonControls();
    }
    void TearDown() override { uidouble::Uninstall(); }
};

// Records every message; sets the caption in initialisation; ends on 2
// with result 42.
intptr_t RecordingProc(Window dialog, uint32_t message, uintptr_t wParam, intptr_t lParam)
{
    seen.push_back({message, wParam, lParam});
    if (message == OS_WM_INITDIALOG) {
        OsSetWindowText(dialog, L"Testing 1.0");
        return 1;
    }
    if (message == OS_WM_COMMAND && (wParam & 0xFFFF) == 2)
        OsEndDialog(dialog, 42);
    return message == OS_WM_COMMAND ? 1 : 0;
}

TEST_F(UiDialogs, InitialisationThenPressesInOrderUntilEnded)
{
    uidouble::PressNext(1010);
    uidouble::PressNext(77);
    uidouble::PressNext(2);
    uidouble::PressNext(1010);   // after the end: left for the next dialog
    EXPECT_EQ(OsDialogBoxIndirectParam(nullptr, &kTemplate, nullptr, RecordingProc, 1234), 42);
    ASSERT_EQ(seen.size(), 4u);
    EXPECT_EQ(seen[0].message, OS_WM_INITDIALOG);
    EXPECT_EQ(seen[0].lParam, 1234);
    EXPECT_EQ(seen[1].message, OS_WM_COMMAND);
    EXPECT_EQ(seen[1].wParam, 1010u);
    EXPECT_EQ(seen[2].wParam, 77u);
    EXPECT_EQ(seen[3].wParam, 2u);

    auto opened = uidouble::DialogsOpened();
    ASSERT_EQ(opened.size(), 1u);
    EXPECT_EQ(opened[0].caption, L"Testing") << "recorded as the template gives it";
    EXPECT_EQ(uidouble::Caption(opened[0].dialog), L"Testing 1.0");
    EXPECT_TRUE(uidouble::Ended(opened[0].dialog));
    EXPECT_EQ(uidouble::EndResult(opened[0].dialog), 42);

    seen.clear();
    uidouble::PressNext(2);
    EXPECT_EQ(OsDialogBoxIndirectParam(nullptr, &kTemplate, nullptr, RecordingProc, 0), 42);
    ASSERT_EQ(seen.size(), 3u) << "the press left over went to this dialog";
    EXPECT_EQ(seen[1].wParam, 1010u);
}

intptr_t EndsInInit(Window dialog, uint32_t message, uintptr_t, intptr_t)
{
    seen.push_back({message, 0, 0});
    if (message == OS_WM_INITDIALOG)
        OsEndDialog(dialog, 5);
    return 0;
}

TEST_F(UiDialogs, DialogEndedInInitialisationGetsNoCommand)
{
    uidouble::PressNext(1010);
    EXPECT_EQ(OsDialogBoxIndirectParam(nullptr, &kTemplate, nullptr, EndsInInit, 0), 5);
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(uidouble::DialogsOpened().size(), 1u);
}

TEST_F(UiDialogs, BadTemplatesFail)
{
    EXPECT_EQ(OsDialogBoxIndirectParam(nullptr, nullptr, nullptr, RecordingProc, 0), -1);
    OsDialogTemplate broken = kTemplate;
    broken.itemCount = -1;
    EXPECT_EQ(OsDialogBoxIndirectParam(nullptr, &broken, nullptr, RecordingProc, 0), -1);
    broken.itemCount = 2;
    broken.items = nullptr;
    EXPECT_EQ(OsDialogBoxIndirectParam(nullptr, &broken, nullptr, RecordingProc, 0), -1);
    EXPECT_EQ(OsDialogBoxIndirectParam(nullptr, &kTemplate, nullptr, nullptr, 0), -1);
    EXPECT_TRUE(seen.empty());
    EXPECT_EQ(uidouble::NewDialog(nullptr), nullptr);
}

Window outerDialog;
intptr_t InnerProc(Window dialog, uint32_t message, uintptr_t wParam, intptr_t)
{
    if (message == OS_WM_COMMAND && (wParam & 0xFFFF) == 2)
        OsEndDialog(dialog, 9);
    return 1;
}
intptr_t OuterProc(Window dialog, uint32_t message, uintptr_t wParam, intptr_t)
{
    if (message != OS_WM_COMMAND)
        return message == OS_WM_INITDIALOG;
    int id = static_cast<int>(wParam & 0xFFFF);
    if (id == 1010) {
        outerDialog = dialog;
        intptr_t r = OsDialogBoxIndirectParam(nullptr, &kTemplate, dialog, InnerProc, 0);
        OsSetDlgItemText(dialog, 1004, r == 9 ? L"inner ended" : L"inner failed");
    } else if (id == 2) {
        OsEndDialog(dialog, 1);
    }
    return 1;
}

TEST_F(UiDialogs, NestedDialogOwnedByTheOuterOne)
{
    uidouble::PressNext(1010);   // opens the inner dialog
    uidouble::PressNext(2);      // ends the inner dialog
    uidouble::PressNext(2);      // ends the outer dialog
    EXPECT_EQ(OsDialogBoxIndirectParam(nullptr, &kTemplate, nullptr, OuterProc, 0), 1);
    auto opened = uidouble::DialogsOpened();
    ASSERT_EQ(opened.size(), 2u);
    EXPECT_EQ(opened[1].owner, opened[0].dialog);
    EXPECT_EQ(opened[1].owner, outerDialog);
    EXPECT_EQ(uidouble::ControlText(opened[0].dialog, 1004), L"inner ended");
}

// A worker that writes into the dialog from its own thread, shows a message
// box owned by it, and ends it.
struct WorkerRun {
    std::thread thread;
    int answer = 0;
};
WorkerRun worker;

intptr_t StartsWorker(Window dialog, uint32_t message, uintptr_t, intptr_t)
{
    if (message != OS_WM_INITDIALOG)
        return 1;
    worker.thread = std::thread([dialog] {
        Window bar = OsGetDlgItem(dialog, 1002);
        OsSendMessage(bar, OS_PBM_SETRANGE32, 0, 200);
        for (int i = 0; i < 200; ++i) {
            wchar_t text[32];
            swprintf(text, 32, L"step %d", i);
            OsSetDlgItemText(dialog, 1004, text);
            OsSendMessage(bar, OS_PBM_SETPOS, static_cast<uintptr_t>(i + 1), 0);
        }
        worker.answer = OsMessageBox(dialog, L"Reset now?", L"RESET", OS_MB_YESNO);
        OsEndDialog(dialog, 3);
    });
    return 1;
}

TEST_F(UiDialogs, ThreadedWorkerWritesShowsABoxAndEndsTheDialog)
{
    uidouble::AnswerNext(OS_IDNO);
    EXPECT_EQ(OsDialogBoxIndirectParam(nullptr, &kTemplate, nullptr, StartsWorker, 0), 3);
    worker.thread.join();
    EXPECT_EQ(worker.answer, OS_IDNO);
    Window dialog = uidouble::DialogsOpened().at(0).dialog;
    auto history = uidouble::ControlTextHistory(dialog, 1004);
    ASSERT_EQ(history.size(), 200u) << "no update lost";
    EXPECT_EQ(history.front(), L"step 0");
    EXPECT_EQ(history.back(), L"step 199");
    EXPECT_EQ(uidouble::ControlText(dialog, 1004), L"step 199");
    EXPECT_EQ(uidouble::BarRangeHigh(dialog, 1002), 200);
    EXPECT_EQ(uidouble::BarPos(dialog, 1002), 200);
    auto boxes = uidouble::Boxes();
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].owner, dialog);
    EXPECT_EQ(boxes[0].caption, L"RESET");
}

// The dialog's thread waits for the worker inside a command handler while
// the worker writes into the dialog: the worker's calls must not wait for
// the blocked dialog thread for ever.
intptr_t WaitsForWorker(Window dialog, uint32_t message, uintptr_t wParam, intptr_t)
{
    if (message == OS_WM_COMMAND && (wParam & 0xFFFF) == 1010) {
        std::thread t([dialog] {
            OsSetDlgItemText(dialog, 1004, L"from the worker");
            OsSendMessage(OsGetDlgItem(dialog, 1002), OS_PBM_SETPOS, 30, 0);
            OsEndDialog(dialog, 8);
        });
        t.join();
    }
    return 1;
}

TEST_F(UiDialogs, ThreadedCallsNeverDeadlockOnABlockedDialogThread)
{
    uidouble::PressNext(1010);
    EXPECT_EQ(OsDialogBoxIndirectParam(nullptr, &kTemplate, nullptr, WaitsForWorker, 0), 8);
    Window dialog = uidouble::DialogsOpened().at(0).dialog;
    EXPECT_EQ(uidouble::ControlText(dialog, 1004), L"from the worker");
    EXPECT_EQ(uidouble::BarPos(dialog, 1002), 30);
}

// The worker starts from the dialog's initialisation and may ask at once: its
// box waits until the dialog has been shown, so that every run shows the
// dialog first and its box after it.
struct EarlyAsker {
    std::thread thread;
    std::mutex lock;
    std::condition_variable answeredCv;
    bool answered = false;
    bool answeredDuringInit = true;
} asker;

intptr_t AsksFromInitialisation(Window dialog, uint32_t message, uintptr_t, intptr_t)
{
    if (message != OS_WM_INITDIALOG)
        return 1;
    asker.thread = std::thread([dialog] {
        OsMessageBox(dialog, L"go on?", L"WARNING", 0x131);
        {
            std::lock_guard<std::mutex> hold(asker.lock);
            asker.answered = true;
        }
        asker.answeredCv.notify_all();
        OsEndDialog(dialog, 5);
    });
    std::unique_lock<std::mutex> hold(asker.lock);
    asker.answeredDuringInit =
        asker.answeredCv.wait_for(hold, std::chrono::milliseconds(200), [] { return asker.answered; });
    return 1;
}

TEST_F(UiDialogs, ThreadedBoxAskedDuringInitialisationWaitsUntilTheDialogIsShown)
{
    asker.answered = false;
    asker.answeredDuringInit = true;
    EXPECT_EQ(OsDialogBoxIndirectParam(nullptr, &kTemplate, nullptr, AsksFromInitialisation, 0), 5);
    asker.thread.join();
    EXPECT_FALSE(asker.answeredDuringInit);
    EXPECT_TRUE(asker.answered);
    ASSERT_EQ(uidouble::Boxes().size(), 1u);
}

TEST_F(UiDialogs, ThreadedEndFromAnotherThreadWithNoPressesQueued)
{
    std::atomic<bool> started{false};
    static std::atomic<bool>* flag;
    flag = &started;
    auto proc = [](Window, uint32_t message, uintptr_t, intptr_t) -> intptr_t {
        if (message == OS_WM_INITDIALOG)
            flag->store(true);
        return 1;
    };
    std::thread ender([] {
        while (!flag->load())
            std::this_thread::yield();
        Window dialog = uidouble::DialogsOpened().at(0).dialog;
        OsEndDialog(dialog, 11);
    });
    EXPECT_EQ(OsDialogBoxIndirectParam(nullptr, &kTemplate, nullptr, proc, 0), 11);
    ender.join();
}

TEST_F(UiDialogs, ProgressBarsClampAndAnswerThePreviousPosition)
{
    Window dialog = uidouble::NewDialog(&kTemplate);
    ASSERT_NE(dialog, nullptr);
    Window bar = OsGetDlgItem(dialog, 1002);
    ASSERT_NE(bar, nullptr);
    OsSendMessage(bar, OS_PBM_SETRANGE32, 0, 10);
    EXPECT_EQ(OsSendMessage(bar, OS_PBM_SETPOS, 5, 0), 0);
    EXPECT_EQ(OsSendMessage(bar, OS_PBM_SETPOS, 50, 0), 5);
    EXPECT_EQ(uidouble::BarPos(dialog, 1002), 10) << "clamped to the range";
    OsSendMessage(bar, OS_PBM_SETRANGE32, 0, 4);
    EXPECT_EQ(uidouble::BarPos(dialog, 1002), 4) << "a smaller range pulls the position in";
    EXPECT_EQ(OsSendMessage(OsGetDlgItem(dialog, 1004), OS_PBM_SETPOS, 3, 0), 0)
        << "a text is no bar";
    EXPECT_FALSE(uidouble::Ended(dialog));
    EXPECT_EQ(OsEndDialog(dialog, 6), 1);
    EXPECT_TRUE(uidouble::Ended(dialog));
    EXPECT_EQ(uidouble::EndResult(dialog), 6);
}

// A presenter that looks at the dialog after every round of its loop, as
// the line protocol and the terminal do, and keeps what it saw.
class WatchingPresenter : public UiPresenter {
public:
    struct View {
        int32_t rangeHigh;
        int32_t pos;
        std::wstring text;
    };
    int AnswerBox(Window, const std::wstring&, const std::wstring&, uint32_t) override { return OS_IDOK; }
    int OpenFile(OsOpenFileName*) override { return 0; }
    void DialogUpdate(Window dialog) override { Look(dialog, &rounds); }
    void DialogClosed(Window dialog) override { Look(dialog, &closed); }
    int WaitCommand(Window, const int* fds, int nfds) override
    {
        std::vector<pollfd> polls;
        for (int i = 0; i < nfds; ++i)
            polls.push_back({fds[i], POLLIN, 0});
        poll(polls.data(), polls.size(), -1);
        return 0;
    }
    std::vector<View> rounds;   // only touched on the dialog's thread
    std::vector<View> closed;

private:
    static void Look(Window dialog, std::vector<View>* into)
    {
        UiDialogView view;
        if (!UiSnapshot(dialog, &view))
            return;
        View v{-1, -1, L""};
        for (const UiControlView& c : view.controls) {
            if (c.id == 1002) {
                v.rangeHigh = c.rangeHigh;
                v.pos = c.pos;
            } else if (c.id == 1004) {
                v.text = c.text;
            }
        }
        into->push_back(v);
    }
};

constexpr int kSteps = 2000;
std::thread barWorker;
std::atomic<int> wrongAnswers{0};
std::atomic<int64_t> burstMs{0};

// Sets the text "n" and then the bar to n, for every step: each state a
// presenter sees must have the bar at the text's step or one behind it.
intptr_t DrivesTheBarFromAWorker(Window dialog, uint32_t message, uintptr_t, intptr_t)
{
    if (message != OS_WM_INITDIALOG)
        return 1;
    barWorker = std::thread([dialog] {
        Window bar = OsGetDlgItem(dialog, 1002);
        auto t0 = std::chrono::steady_clock::now();
        // The previous range (0..100 from the template) comes back packed.
        if (OsSendMessage(bar, OS_PBM_SETRANGE32, 0, kSteps) != (100 << 16))
            ++wrongAnswers;
        for (int i = 1; i <= kSteps; ++i) {
            // A worker's pace: a step every 25 us at the most, so that the
            // loop, were it woken for every change, would wake thousands of
            // times.
            auto next = std::chrono::steady_clock::now() + std::chrono::microseconds(25);
            OsSetDlgItemText(dialog, 1004, std::to_wstring(i).c_str());
            if (OsSendMessage(bar, OS_PBM_SETPOS, static_cast<uintptr_t>(i), 0) != i - 1)
                ++wrongAnswers;
            while (std::chrono::steady_clock::now() < next)
                std::this_thread::yield();
        }
        auto burst = std::chrono::steady_clock::now() - t0;
        burstMs = std::chrono::duration_cast<std::chrono::milliseconds>(burst).count();
        if (OsSendMessage(bar, OS_PBM_SETPOS, kSteps, 0) != kSteps)
            ++wrongAnswers;
        OsEndDialog(dialog, 9);
    });
    return 1;
}

TEST_F(UiDialogs, ThreadedBarAndTextsFromAWorkerAreSeenWholeAndInOrder)
{
    auto watching = std::make_unique<WatchingPresenter>();
    WatchingPresenter* p = watching.get();
    UiSetPresenter(std::move(watching));
    wrongAnswers = 0;
    EXPECT_EQ(OsDialogBoxIndirectParam(nullptr, &kTemplate, nullptr, DrivesTheBarFromAWorker, 0), 9);
    barWorker.join();
    EXPECT_EQ(wrongAnswers.load(), 0) << "the answers are those the dialog's thread would give";
    ASSERT_EQ(p->closed.size(), 1u);
    EXPECT_EQ(p->closed[0].pos, kSteps) << "the last state is there when the dialog closes";
    EXPECT_EQ(p->closed[0].rangeHigh, kSteps);
    EXPECT_EQ(p->closed[0].text, std::to_wstring(kSteps));
    int lastStep = 0;
    for (const WatchingPresenter::View& v : p->rounds) {
        if (v.text.empty())
            continue;   // before the first step
        int step = std::stoi(v.text);
        EXPECT_GE(step, lastStep) << "states in order";
        EXPECT_TRUE(v.pos == step || v.pos == step - 1) << "a whole state: text " << step << ", bar " << v.pos;
        EXPECT_EQ(v.rangeHigh, kSteps);
        lastStep = step;
    }
    // Changes that only need showing wake the loop a few dozen times a
    // second, not once each.
    EXPECT_LE(p->rounds.size(), static_cast<size_t>(5 + burstMs.load() / 10))
        << burstMs.load() << " ms for " << 2 * kSteps << " changes";
}

TEST_F(UiDialogs, ControlsAreLookedUpById)
{
    Window dialog = uidouble::NewDialog(&kTemplate);
    EXPECT_EQ(uidouble::ControlText(dialog, 1010), L"Go");
    EXPECT_EQ(OsSetDlgItemText(dialog, 1004, L"a rather long text"), 1);
    EXPECT_EQ(uidouble::ControlText(dialog, 1004), L"a rather long text");
    EXPECT_EQ(OsSetDlgItemText(dialog, 999, L"x"), 0);
    EXPECT_EQ(OsGetDlgItem(dialog, 999), nullptr);

    int foreign = 0;
    Window bogus = reinterpret_cast<Window>(&foreign);
    EXPECT_EQ(OsGetDlgItem(bogus, 1004), nullptr);
    EXPECT_EQ(OsSetWindowText(bogus, L"x"), 0);
    EXPECT_EQ(OsEndDialog(bogus, 0), 0);
    EXPECT_EQ(OsEndDialog(OsGetDlgItem(dialog, 1004), 0), 0) << "a control is no dialog";
    EXPECT_EQ(OsSendMessage(bogus, OS_PBM_SETPOS, 1, 0), 0);
}

TEST_F(UiDialogs, MessageBoxesAnswerTheScriptThenTheirDefault)
{
    uidouble::AnswerNext(OS_IDOK);
    uidouble::AnswerNext(OS_IDYES);   // no button of an OK/Cancel box: closed
    EXPECT_EQ(OsMessageBox(nullptr, L"one", L"WARNING", 0x131), OS_IDOK);
    EXPECT_EQ(OsMessageBox(nullptr, L"two", L"WARNING", 0x131), OS_IDCANCEL);
    EXPECT_EQ(OsMessageBox(nullptr, L"three", L"WARNING", 0x131), OS_IDCANCEL);
    EXPECT_EQ(OsMessageBox(nullptr, L"four", L"RESET", OS_MB_YESNO), OS_IDYES);
    EXPECT_EQ(OsMessageBox(nullptr, L"five", L"ERROR", OS_MB_OK), OS_IDOK);
    auto boxes = uidouble::Boxes();
    ASSERT_EQ(boxes.size(), 5u);
    EXPECT_EQ(boxes[2].text, L"three");
    EXPECT_EQ(boxes[2].style, 0x131u);
    EXPECT_EQ(boxes[3].answer, OS_IDYES);
}

TEST_F(UiDialogs, OpenFileRecordsTheCallAndRefusesWhatDoesNotFit)
{
    wchar_t file[8] = L"old";
    OsOpenFileName record = BinChooserRecord(file, 8);
    record.filterIndex = 1;
    uidouble::ChooseFileNext(L"\\a.bin");
    uidouble::ChooseFileNext(L"\\too-long.bin");
    EXPECT_EQ(OsGetOpenFileName(&record), 1);
    EXPECT_STREQ(file, L"\\a.bin");
    EXPECT_EQ(OsGetOpenFileName(&record), 0);
    EXPECT_STREQ(file, L"\\a.bin") << "unchanged when refused";
    EXPECT_EQ(OsGetOpenFileName(&record), 0) << "nothing queued: cancelled";
    auto calls = uidouble::OpenFileCalls();
    ASSERT_EQ(calls.size(), 3u);
    EXPECT_EQ(calls[0].filter, L"IMAGE files|*.bin||");
    EXPECT_EQ(calls[0].initialName, L"old");
    EXPECT_EQ(calls[1].initialName, L"\\a.bin");
    EXPECT_EQ(calls[0].flags, 0x1800u);
    EXPECT_EQ(calls[0].initialDir, L"\\");
    EXPECT_EQ(OsGetOpenFileName(nullptr), 0);
}

TEST(UiResources, LookupByIdAndType)
{
    static const int data = 5;
    static const OsResourceEntry entries[] = {
        {101, OS_RT_DIALOG, &kTemplate, sizeof kTemplate},
        {101, OS_RT_GROUP_ICON, &data, sizeof data},
    };
    static const OsResourceTable table = {2, entries};
    Instance module = OsModuleFor(&table);
    EXPECT_EQ(OsModuleFor(&table), module) << "one module per table";
    Resource dialog = OsFindResource(module, 101, OS_RT_DIALOG);
    ASSERT_NE(dialog, nullptr);
    EXPECT_EQ(OsLoadResource(module, dialog), &kTemplate);
    EXPECT_EQ(OsLoadResource(module, OsFindResource(module, 101, OS_RT_GROUP_ICON)), &data);
    EXPECT_EQ(OsFindResource(module, 102, OS_RT_DIALOG), nullptr);
    EXPECT_EQ(OsFindResource(nullptr, 101, OS_RT_DIALOG), nullptr);
    EXPECT_EQ(OsLoadResource(module, nullptr), nullptr);
    Instance empty = OsModuleFor(nullptr);
    EXPECT_EQ(OsFindResource(empty, 101, OS_RT_DIALOG), nullptr);
}

}  // namespace
