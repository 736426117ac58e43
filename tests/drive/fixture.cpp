// drive_fixture: a small Win32 program with the kinds of windows that
// drive.exe has to speak for, so that drive can be tested on its own: a
// main dialog of buttons, a progress dialog whose worker thread sets two
// texts and two bars and asks questions, message boxes of the three styles
// the board programs use, and the open-file dialog.
//
//   drive_fixture            the main dialog ("Fixture 1.0")
//   drive_fixture /p STEPS   only the progress dialog, STEPS steps
//
// Exit code 3, or 4 when the progress was aborted, or 5 from "Exit", which
// ends the process with its dialog open: drive must hand each on.
#include <windows.h>
#include <commctrl.h>
#include <commdlg.h>

#include <atomic>
#include <cstdint>
#include <cwchar>
#include <string>
#include <vector>

namespace {

// A DLGTEMPLATE (not the extended form) written into memory, DWORD-aligned
// items, the font given by the template.
class Template {
public:
    Template(const wchar_t* caption, short cx, short cy)
    {
        Put32(DS_SETFONT | DS_MODALFRAME | WS_POPUP | WS_CAPTION | WS_SYSMENU);
        Put32(0);
        countAt_ = words_.size();
        Put16(0);
        Put16(0), Put16(0), Put16(cx), Put16(cy);
        Put16(0), Put16(0);   // no menu, the dialog class
        PutText(caption);
        Put16(8);
        PutText(L"System");
    }
    void Item(int id, WORD atom, const wchar_t* className, const wchar_t* text, short x, short y, short cx,
              short cy, DWORD style)
    {
        if (words_.size() % 2)
            Put16(0);
        Put32(style);
        Put32(0);
        Put16(x), Put16(y), Put16(cx), Put16(cy);
        Put16(static_cast<WORD>(id));
        if (className)
            PutText(className);
        else
            Put16(0xFFFF), Put16(atom);
        PutText(text);
        Put16(0);
        words_[countAt_]++;
    }
    const DLGTEMPLATE* Get() const { return reinterpret_cast<const DLGTEMPLATE*>(words_.data()); }

private:
    void Put16(WORD w) { words_.push_back(w); }
    void Put32(DWORD d) { Put16(LOWORD(d)), Put16(HIWORD(d)); }
    void PutText(const wchar_t* s)
    {
        for (; *s; ++s)
            Put16(static_cast<WORD>(*s));
        Put16(0);
    }
    std::vector<WORD> words_;
    size_t countAt_ = 0;
};

constexpr WORD kButton = 0x80, kStatic = 0x82;
constexpr DWORD kPush = 0x50010000, kText = 0x50020000, kBar = 0x50800000;

std::atomic<int> g_abort{0};
std::atomic<int> g_aborted{0};
int g_steps = 6;
HINSTANCE g_instance;

DWORD WINAPI Worker(LPVOID param)
{
    HWND dialog = static_cast<HWND>(param);
    HWND step = GetDlgItem(dialog, 1002), whole = GetDlgItem(dialog, 1003);
    SendMessageW(whole, PBM_SETRANGE32, 0, g_steps * 10);
    wchar_t whole_text[64];
    swprintf(whole_text, 64, L"Whole: %d steps", g_steps);
    SetDlgItemTextW(dialog, 1005, whole_text);
    for (int i = 1; i <= g_steps; ++i) {
        if (g_abort) {
            g_aborted = 1;
            MessageBoxW(dialog, L"Aborted at a step.", L"ERROR", MB_OK);
            break;
        }
        wchar_t text[64];
        swprintf(text, 64, L"Step %d", i);
        SetDlgItemTextW(dialog, 1004, text);
        SendMessageW(step, PBM_SETRANGE32, 0, 10);
        for (int k = 1; k <= 10; ++k) {
            SendMessageW(step, PBM_SETPOS, k, 0);
            SendMessageW(whole, PBM_SETPOS, (i - 1) * 10 + k, 0);
            Sleep(2);   // the work a step stands for
        }
        if (i == g_steps / 2 &&
            MessageBoxW(dialog, L"Half way.\n Go on?", L"QUESTION", MB_YESNO) != IDYES)
            break;
    }
    // The last state comes before a question, as the update worker's
    // does, so that a transcript of it does not hang on the poll's timing.
    if (!g_aborted)
        MessageBoxW(dialog, L"Done.", L"RESET", MB_YESNO);
    EndDialog(dialog, 0);
    return 0;
}

INT_PTR CALLBACK ProgressProc(HWND dialog, UINT message, WPARAM wParam, LPARAM)
{
    if (message == WM_INITDIALOG) {
        g_abort = 0;
        CloseHandle(CreateThread(nullptr, 0, Worker, dialog, 0, nullptr));
        return 1;
    }
    if (message == WM_COMMAND) {
        if (LOWORD(wParam) == IDCANCEL)
            g_abort = 1;
        return 1;
    }
    return 0;
}

void RunProgress(HWND owner)
{
    Template t(L"Working", 171, 89);
    t.Item(IDCANCEL, kButton, nullptr, L"Abort", 52, 71, 58, 11, kPush);
    t.Item(1002, 0, PROGRESS_CLASSW, L"Progress1", 7, 20, 157, 13, kBar);
    t.Item(1003, 0, PROGRESS_CLASSW, L"Progress2", 7, 52, 157, 14, kBar);
    t.Item(1004, kStatic, nullptr, L"", 7, 7, 157, 10, kText);
    t.Item(1005, kStatic, nullptr, L"", 7, 39, 157, 10, kText);
    DialogBoxIndirectParamW(g_instance, t.Get(), owner, ProgressProc, 0);
}

void Choose(HWND owner)
{
    wchar_t path[260] = L"";
    wchar_t folder[MAX_PATH];
    GetCurrentDirectoryW(MAX_PATH, folder);
    OPENFILENAMEW record = {};
    record.lStructSize = sizeof record;
    record.hwndOwner = owner;
    record.lpstrFilter = L"TEXT files\0*.txt\0";
    record.nFilterIndex = 1;
    record.lpstrFile = path;
    record.nMaxFile = 260;
    record.lpstrInitialDir = folder;
    record.Flags = OFN_PATHMUSTEXIST | OFN_FILEMUSTEXIST;
    if (!GetOpenFileNameW(&record))
        return;
    // Only the name: where the folder is differs from run to run.
    const wchar_t* name = wcsrchr(path, L'\\');
    MessageBoxW(owner, name ? name + 1 : path, L"Chosen", MB_OK);
}

INT_PTR CALLBACK MainProc(HWND dialog, UINT message, WPARAM wParam, LPARAM)
{
    if (message == WM_INITDIALOG) {
        SetWindowTextW(dialog, L"Fixture 1.0");
        return 1;
    }
    if (message != WM_COMMAND)
        return 0;
    switch (LOWORD(wParam)) {
    case IDCANCEL: EndDialog(dialog, 0); break;
    case 1001:
        MessageBoxW(dialog, L"This overwrites:\nIMAGE\n\n\nSure?", L"WARNING",
                    MB_OKCANCEL | MB_ICONEXCLAMATION | MB_DEFBUTTON2);
        break;
    case 1002: RunProgress(dialog); break;
    case 1003: Choose(dialog); break;
    case 1004: ExitProcess(5);   // as a restart ends the program, its dialog still open
    default: break;
    }
    return 1;
}

}  // namespace

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR commandLine, int)
{
    g_instance = instance;
    INITCOMMONCONTROLSEX controls = {sizeof controls, ICC_PROGRESS_CLASS};
    InitCommonControlsEx(&controls);
    if (wcsncmp(commandLine, L"/p", 2) == 0) {
        int steps = _wtoi(commandLine + 2);
        if (steps > 0 && steps < 10000)
            g_steps = steps;
        RunProgress(nullptr);
        return g_aborted ? 4 : 3;
    }
    Template t(L"Fixture", 119, 98);
    t.Item(1001, kButton, nullptr, L"Ask", 7, 7, 105, 19, kPush);
    t.Item(1002, kButton, nullptr, L"Run", 7, 28, 105, 19, kPush);
    t.Item(1003, kButton, nullptr, L"Choose", 7, 49, 105, 19, kPush);
    t.Item(1004, kButton, nullptr, L"Exit", 7, 70, 105, 19, kPush);
    DialogBoxIndirectParamW(instance, t.Get(), nullptr, MainProc, 0);
    return g_aborted ? 4 : 3;
}
