// The Win32 user interface over real windows (run under Wine): templates
// made into real dialogs, message box answers, progress from a worker,
// Ctrl-C.
#include <gtest/gtest.h>

#include "platform/files.h"
#include "platform/host/files.h"
#include "tests/support/temp_board.h"
#include "platform/win32/object.h"
#include "platform/win32/window.h"
#include "tests/platform/bin_chooser.h"
#include "tests/support/ui_double.h"

#include <commctrl.h>
#include <commdlg.h>

#include <algorithm>

#include <atomic>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

namespace {

const OsDialogItem kItems[] = {
    {2, L"BUTTON", L"Abort", 52, 71, 58, 11, 0x50010000},
    {1002, L"msctls_progress32", L"Progress1", 7, 20, 157, 13, 0x50800000},
    {1003, L"msctls_progress32", L"Progress2", 7, 52, 157, 14, 0x50800000},
    {1004, L"STATIC", L"", 7, 7, 157, 10, 0x50020000},
    {1005, L"STATIC", L"", 7, 39, 157, 10, 0x50020000},
};
const OsDialogTemplate kTemplate = {L"Updating IMAGE", 0x80C800C0, 0, 0, 171, 89, L"System", 8, 5, kItems};

// Reads the in-memory template back, field by field.
struct Reader {
    const uint16_t* p;
    uint16_t Word() { return *p++; }
    uint32_t Dword()
    {
        uint32_t low = Word();
        return low | (static_cast<uint32_t>(Word()) << 16);
    }
    std::wstring Text()
    {
        std::wstring s;
        while (uint16_t c = Word())
            s.push_back(static_cast<wchar_t>(c));
        return s;
    }
    void Align(const void* base)
    {
        if ((reinterpret_cast<uintptr_t>(p) - reinterpret_cast<uintptr_t>(base)) % 4)
            ++p;
    }
};

TEST(Win32Template, BytesCarryExactlyTheTemplatesStylesIdsClassesAndFont)
{
    std::vector<DWORD> buffer;
    ASSERT_TRUE(UiBuildDialogTemplate(&kTemplate, &buffer));
    Reader r{reinterpret_cast<const uint16_t*>(buffer.data())};
    EXPECT_EQ(r.Dword(), 0x80C800C0u);
    EXPECT_EQ(r.Dword(), 0u) << "no extended style";
    EXPECT_EQ(r.Word(), 5u);
    EXPECT_EQ(r.Word(), 0u);
    EXPECT_EQ(r.Word(), 0u);
    EXPECT_EQ(r.Word(), 171u);
    EXPECT_EQ(r.Word(), 89u);
    EXPECT_EQ(r.Word(), 0u) << "no menu";
    EXPECT_EQ(r.Word(), 0u) << "no class of its own";
    EXPECT_EQ(r.Text(), L"Updating IMAGE");
    EXPECT_EQ(r.Word(), 8u) << "DS_SETFONT: the points, then the face";
    EXPECT_EQ(r.Text(), L"System");
    const uint16_t kOrdinals[] = {0x80, 0, 0, 0x82, 0x82};
    for (int i = 0; i < 5; ++i) {
        SCOPED_TRACE(i);
        r.Align(buffer.data());
        EXPECT_EQ(r.Dword(), kItems[i].style);
        EXPECT_EQ(r.Dword(), 0u);
        EXPECT_EQ(static_cast<short>(r.Word()), kItems[i].x);
        EXPECT_EQ(static_cast<short>(r.Word()), kItems[i].y);
        EXPECT_EQ(static_cast<short>(r.Word()), kItems[i].cx);
        EXPECT_EQ(static_cast<short>(r.Word()), kItems[i].cy);
        EXPECT_EQ(r.Word(), kItems[i].id);
        if (kOrdinals[i]) {
            EXPECT_EQ(r.Word(), 0xFFFFu);
            EXPECT_EQ(r.Word(), kOrdinals[i]);
        } else {
            EXPECT_EQ(r.Text(), L"msctls_progress32");
        }
        EXPECT_EQ(r.Text(), kItems[i].text);
        EXPECT_EQ(r.Word(), 0u) << "no creation data";
    }
    size_t used = static_cast<size_t>(reinterpret_cast<const char*>(r.p) -
                                      reinterpret_cast<const char*>(buffer.data()));
    EXPECT_LE(buffer.size() * 4 - used, 2u) << "nothing after the last item but padding";

    const OsDialogItem wide[] = {{0x10000, L"BUTTON", L"x", 0, 0, 1, 1, 0}};
    const OsDialogTemplate tooWide = {L"", 0, 0, 0, 1, 1, nullptr, 0, 1, wide};
    EXPECT_FALSE(UiBuildDialogTemplate(&tooWide, &buffer)) << "a control id has 16 bits";
}

// The real window of a dialog, checked during its initialisation.
void CheckRealControls(Window dialog)
{
    HWND hwnd = uidouble::RealWindow(dialog);
    ASSERT_NE(hwnd, nullptr);
    wchar_t text[64];
    GetWindowTextW(hwnd, text, 64);
    EXPECT_STREQ(text, L"Updating IMAGE");
    LOGFONTW font{};
    GetObjectW(reinterpret_cast<HFONT>(SendMessageW(hwnd, WM_GETFONT, 0, 0)), sizeof font, &font);
    EXPECT_STREQ(font.lfFaceName, L"System");
    const wchar_t* kClasses[] = {L"Button", L"msctls_progress32", L"msctls_progress32", L"Static", L"Static"};
    HWND child = GetWindow(hwnd, GW_CHILD);
    for (int i = 0; i < 5; ++i, child = GetWindow(child, GW_HWNDNEXT)) {
        SCOPED_TRACE(i);
        ASSERT_NE(child, nullptr);
        EXPECT_EQ(GetDlgCtrlID(child), kItems[i].id);
        EXPECT_EQ(child, uidouble::RealWindow(OsGetDlgItem(dialog, kItems[i].id)));
        wchar_t cls[64];
        GetClassNameW(child, cls, 64);
        EXPECT_EQ(lstrcmpiW(cls, kClasses[i]), 0) << cls;
        GetWindowTextW(child, text, 64);
        EXPECT_STREQ(text, kItems[i].text);
        // A progress bar trades WS_BORDER for an edge of its own when it is
        // created (Windows and Wine alike); every other bit stays.
        EXPECT_EQ(static_cast<DWORD>(GetWindowLongW(child, GWL_STYLE)) | (i == 1 || i == 2 ? WS_BORDER : 0),
                  kItems[i].style);
    }
}

intptr_t CheckControlsProc(Window dialog, uint32_t message, uintptr_t, intptr_t)
{
    if (message != OS_WM_INITDIALOG)
        return 0;
    CheckRealControls(dialog);
    OsEndDialog(dialog, 1);
    return 1;
}

TEST(Win32Template, RealDialogHasTheControlsInTemplateOrder)
{
    OsInitCommonControls();
    EXPECT_EQ(OsDialogBoxIndirectParam(nullptr, &kTemplate, nullptr, CheckControlsProc, 0), 1);
}

// A template the window model refuses (more controls than a dialog may
// have, though a Windows template could carry them) fails as a bad one.
TEST(Win32Template, MoreControlsThanTheModelTakesFail)
{
    OsInitCommonControls();
    std::vector<OsDialogItem> many(5000, kItems[3]);
    OsDialogTemplate big = kTemplate;
    big.items = many.data();
    big.itemCount = static_cast<int>(many.size());
    EXPECT_EQ(OsDialogBoxIndirectParam(nullptr, &big, nullptr, CheckControlsProc, 0), -1);
}

// The message box of this thread that is shown now, or nullptr.
HWND ShownBox(DWORD thread)
{
    HWND found = nullptr;
    EnumThreadWindows(
        thread,
        [](HWND h, LPARAM out) -> BOOL {
            wchar_t cls[16];
            GetClassNameW(h, cls, 16);
            if (lstrcmpW(cls, L"#32770") == 0 && IsWindowVisible(h)) {
                *reinterpret_cast<HWND*>(out) = h;
                return FALSE;
            }
            return TRUE;
        },
        reinterpret_cast<LPARAM>(&found));
    return found;
}

// Runs act(box) on another thread once a message box of this thread shows.
std::thread WhenBoxShown(std::function<void(HWND)> act)
{
    DWORD thread = GetCurrentThreadId();
    return std::thread([thread, act] {
        HWND box;
        while (!(box = ShownBox(thread)))
            SwitchToThread();
        act(box);
    });
}

TEST(Win32Boxes, ClosedWithoutAChoiceAndCtrlCGiveTheCloseAnswer)
{
    // Wine answers IDCANCEL for a Yes/No box closed from its caption, which
    // is no button of the box: the restart question must read it as No.
    EXPECT_EQ(UiBoxAnswer(OS_MB_YESNO, OS_IDCANCEL), OS_IDNO);
    EXPECT_EQ(UiBoxAnswer(0x131, 0), OS_IDCANCEL);
    EXPECT_EQ(UiBoxAnswer(OS_MB_OK, OS_IDCANCEL), OS_IDOK);
    EXPECT_EQ(UiBoxAnswer(OS_MB_YESNO, OS_IDYES), OS_IDYES);

    std::thread closer = WhenBoxShown([](HWND box) { PostMessageW(box, WM_CLOSE, 0, 0); });
    EXPECT_EQ(OsMessageBox(nullptr, L"Reset now?", L"RESET", OS_MB_YESNO), OS_IDNO);
    closer.join();

    std::thread interrupt = WhenBoxShown([](HWND) { EXPECT_TRUE(UiInterrupt()); });
    EXPECT_EQ(OsMessageBox(nullptr, L"Overwrite?", L"WARNING", 0x131), OS_IDCANCEL);
    interrupt.join();
    interrupt = WhenBoxShown([](HWND) { EXPECT_TRUE(UiInterrupt()); });
    EXPECT_EQ(OsMessageBox(nullptr, L"Reset now?", L"RESET", OS_MB_YESNO), OS_IDNO);
    interrupt.join();
    EXPECT_FALSE(UiInterrupt()) << "nothing open: never held for a later window";
}

// What the real controls of the progress dialog were given, in order.
std::vector<std::wstring> g_realTexts;
std::vector<int> g_realPositions;
WNDPROC g_staticProc, g_barProc;

LRESULT CALLBACK RecordText(HWND h, UINT m, WPARAM w, LPARAM l)
{
    if (m == WM_SETTEXT)
        g_realTexts.push_back(reinterpret_cast<const wchar_t*>(l));
    return CallWindowProcW(g_staticProc, h, m, w, l);
}

LRESULT CALLBACK RecordPosition(HWND h, UINT m, WPARAM w, LPARAM l)
{
    if (m == PBM_SETPOS)
        g_realPositions.push_back(static_cast<int>(w));
    return CallWindowProcW(g_barProc, h, m, w, l);
}

constexpr int kSteps = 3000;
HANDLE g_workerDone;
std::atomic<bool> g_workerFinished{false};

uint32_t ProgressWorker(Window dialog)
{
    Window bar = OsGetDlgItem(dialog, 1003);
    OsSendMessage(bar, OS_PBM_SETRANGE32, 0, kSteps);
    bool previousRight = true;
    for (int i = 1; i <= kSteps; ++i) {
        wchar_t text[32];
        swprintf(text, 32, L"Section %d", i);
        OsSetDlgItemText(dialog, 1004, text);
        previousRight = previousRight && OsSendMessage(bar, OS_PBM_SETPOS, i, 0) == i - 1;
    }
    EXPECT_TRUE(previousRight) << "each position answers the one before it";
    g_workerFinished = true;
    SetEvent(g_workerDone);
    OsEndDialog(dialog, 5);
    return 0;
}

intptr_t ProgressProc(Window dialog, uint32_t message, uintptr_t wParam, intptr_t)
{
    switch (message) {
    case OS_WM_INITDIALOG:
        g_staticProc = reinterpret_cast<WNDPROC>(SetWindowLongPtrW(
            uidouble::RealWindow(OsGetDlgItem(dialog, 1004)), GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(RecordText)));
        g_barProc = reinterpret_cast<WNDPROC>(SetWindowLongPtrW(
            uidouble::RealWindow(OsGetDlgItem(dialog, 1003)), GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(RecordPosition)));
        std::thread(ProgressWorker, dialog).detach();
        uidouble::PostCommand(dialog, 1005);
        return 1;
    case OS_WM_COMMAND:
        if ((wParam & 0xFFFF) == 1005) {
            // The dialog's thread is busy until the worker is through: the
            // worker must not wait for it.
            EXPECT_EQ(WaitForSingleObject(g_workerDone, 20000), WAIT_OBJECT_0) << "the worker waited";
        }
        return 1;
    default:
        return 0;
    }
}

TEST(Win32Progress, ThreadedWorkerNeverWaitsAndTheRealControlsFollowInOrder)
{
    OsInitCommonControls();
    g_workerDone = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    EXPECT_EQ(OsDialogBoxIndirectParam(nullptr, &kTemplate, nullptr, ProgressProc, 0), 5);
    CloseHandle(g_workerDone);
    EXPECT_TRUE(g_workerFinished);
    ASSERT_FALSE(g_realTexts.empty());
    ASSERT_FALSE(g_realPositions.empty());
    EXPECT_EQ(g_realTexts.back(), L"Section 3000") << "the last state arrives before the dialog ends";
    EXPECT_EQ(g_realPositions.back(), kSteps);
    EXPECT_LT(g_realTexts.size(), static_cast<size_t>(kSteps / 2)) << "changes were batched";
    for (size_t i = 1; i < g_realTexts.size(); ++i)
        ASSERT_LT(std::stoi(g_realTexts[i - 1].substr(8)), std::stoi(g_realTexts[i].substr(8))) << "in order";
    for (size_t i = 1; i < g_realPositions.size(); ++i)
        ASSERT_LT(g_realPositions[i - 1], g_realPositions[i]) << "in order";
}

// ---- A termination request closes the dialogs ---------------------------

const OsDialogItem kGoItems[] = {{1001, L"BUTTON", L"Go", 7, 7, 50, 14, 0x50010000}};
const OsDialogTemplate kGoTemplate = {L"Tool", 0x80C800C0, 0, 0, 120, 40, L"System", 8, 1, kGoItems};

// What the dialog's procedure was given (ids of commands), and the dialog.
std::vector<int> g_commands;
std::atomic<Window> g_open{nullptr};

// Ends the dialog with 2 on command 2, as the main dialog's close does.
// Started with 1, it gives itself command 1001, which asks the program to
// end (as a wait for the flash given up does) and posts command 1002
// behind it: the close must come first. Started with 2, another thread
// asks the program to end while the dialog waits for its user.
intptr_t TerminatedProc(Window dialog, uint32_t message, uintptr_t wParam, intptr_t param)
{
    if (message == OS_WM_INITDIALOG) {
        g_open = dialog;
        if (param == 1)
            uidouble::PostCommand(dialog, 1001);
        if (param == 2)
            std::thread(OsWin32RequestTermination).detach();
        return 1;
    }
    if (message != OS_WM_COMMAND)
        return 0;
    int id = static_cast<int>(wParam & 0xFFFF);
    g_commands.push_back(id);
    if (id == 1001) {
        OsWin32RequestTermination();
        uidouble::PostCommand(dialog, 1002);
    }
    if (id == OS_IDCANCEL)
        OsEndDialog(dialog, 2);
    return 1;
}

// Whether the dialog was closed by command 2 alone, after `before`. One
// that the request leaves open is ended after a while (with -1), so that
// the test fails instead of hanging.
bool ClosedOnce(intptr_t param, std::vector<int> before)
{
    g_commands.clear();
    g_open = nullptr;
    HANDLE done = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    std::thread limit([done] {
        if (WaitForSingleObject(done, 20000) == WAIT_TIMEOUT)
            OsEndDialog(g_open.load(), -1);
    });
    intptr_t result = OsDialogBoxIndirectParam(nullptr, &kGoTemplate, nullptr, TerminatedProc, param);
    SetEvent(done);
    limit.join();
    CloseHandle(done);
    before.push_back(OS_IDCANCEL);
    return result == 2 && g_commands == before;
}

// Each open dialog is closed once, with command 2 as its user would close
// it: right after the command that was running when the request came, as
// soon as it comes to one that waits for its user, and one opened later
// at once. (gtest runs each in a process of its own: the request stays.)
TEST(Win32TerminationDeathTest, ARequestClosesEachDialogAsItsUserWould)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(std::exit(ClosedOnce(1, {1001}) && ClosedOnce(0, {}) ? 0 : 1), ::testing::ExitedWithCode(0), "");
    EXPECT_EXIT(std::exit(ClosedOnce(2, {}) ? 0 : 1), ::testing::ExitedWithCode(0), "");
}

}  // namespace

namespace {

// The open-file dialog of this thread once it shows, or nullptr.
HWND ShownFileDialog(DWORD thread)
{
    HWND found = ShownBox(thread);
    return found && (GetDlgItem(found, 0x47c) || GetDlgItem(found, 0x480)) ? found : nullptr;
}

TEST(Win32OpenFile, OpensInTheBoardsRootAndAnswersDevicePaths)
{
    TempBoard board;
    char host[1024];
    ASSERT_TRUE(OsHostPath(L"\\Sub\\nk.bin", host, sizeof host));
    std::wstring file = UiWideFromUtf8(host);
    std::replace(file.begin(), file.end(), L'/', L'\\');
    std::wstring root = file.substr(0, file.size() - std::wstring(L"\\Sub\\nk.bin").size());
    wchar_t full[1024];
    ASSERT_GT(GetFullPathNameW(root.c_str(), 1024, full, nullptr), 0u);
    root = full;   // the board's folder may be named from the current drive (Wine: \tmp\...)
    ASSERT_TRUE(CreateDirectoryW((root + L"\\Sub").c_str(), nullptr)) << UiUtf8(root);
    HANDLE h = CreateFileW(file.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    CloseHandle(h);

    wchar_t chosen[260] = L"";
    OsOpenFileName record = BinChooserRecord(chosen, 260);
    record.filterIndex = 1;

    DWORD thread = GetCurrentThreadId();
    std::wstring folder;
    std::thread user([thread, &folder] {
        HWND dialog;
        while (!(dialog = ShownFileDialog(thread)))
            SwitchToThread();
        wchar_t shown[1024] = L"";
        SendMessageW(dialog, CDM_GETFOLDERPATH, 1024, reinterpret_cast<LPARAM>(shown));
        folder = shown;
        SetDlgItemTextW(dialog, GetDlgItem(dialog, 0x47c) ? 0x47c : 0x480, L"sub\\NK.bin");
        PostMessageW(dialog, WM_COMMAND, IDOK, 0);
    });
    EXPECT_EQ(OsGetOpenFileName(&record), 1);
    user.join();
    EXPECT_EQ(CompareStringOrdinal(folder.c_str(), -1, root.c_str(), -1, TRUE), CSTR_EQUAL)
        << "opened in " << UiUtf8(folder) << ", the root is " << UiUtf8(root);
    EXPECT_EQ(CompareStringOrdinal(chosen, -1, L"\\Sub\\nk.bin", -1, TRUE), CSTR_EQUAL) << UiUtf8(chosen);

    // Ctrl-C while it is up cancels it and leaves the buffer alone.
    std::thread interrupt([thread] {
        while (!ShownFileDialog(thread))
            SwitchToThread();
        EXPECT_TRUE(UiInterrupt());
    });
    EXPECT_EQ(OsGetOpenFileName(&record), 0);
    interrupt.join();
    EXPECT_EQ(CompareStringOrdinal(chosen, -1, L"\\Sub\\nk.bin", -1, TRUE), CSTR_EQUAL);
}

}  // namespace
