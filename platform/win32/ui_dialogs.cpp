// The Win32 dialog manager: real dialogs, message boxes, progress bars and
// open-file dialog behind the window model (ui_model.h, window.h). A change
// that runs no program code (a text, a bar, a caption) is made in the model
// by the calling thread, which returns at once: the update worker never
// waits for the dialog's thread. That thread copies the changes into the
// real controls, at once when it made them itself, else on one posted
// WM_UI_SYNC, so the last state always arrives; an end from another thread
// follows its changes the same way (WM_UI_END).
#include "platform/win32/window.h"

#include <commctrl.h>
#include <commdlg.h>

#include <algorithm>
#include <atomic>
#include <memory>

#include "platform/common/run_report.h"
#include "platform/files.h"
#include "platform/host/files.h"
#include "platform/win32/object.h"
#include "platform/win32/run_channel.h"

namespace {

constexpr UINT WM_UI_SYNC = WM_APP + 0x51;   // bring the real controls up to date
constexpr UINT WM_UI_END = WM_APP + 0x52;    // end the modal dialog (result in the model)
constexpr UINT WM_UI_TERMINATED = WM_APP + 0x54;   // termination was requested

std::atomic<UiObserver*> g_observer{nullptr};

// ---- The window in front (Ctrl-C) ----------------------------------------

// Every open window (modal dialog, message box, open-file dialog) holds an
// entry from before its real window exists until its call returns, in the
// order they opened: the last one is in front.
struct FrontEntry {
    WPARAM command;      // what it takes an interrupt as
    HWND hwnd = nullptr;
    bool pending = false;  // an interrupt came before the real window existed
};
std::mutex g_frontLock;
std::vector<FrontEntry*> g_front;

FrontEntry* FrontOpen(WPARAM command)
{
    std::lock_guard<std::mutex> hold(g_frontLock);
    auto* e = new FrontEntry{command};
    g_front.push_back(e);
    return e;
}

void FrontClose(FrontEntry* e)
{
    std::lock_guard<std::mutex> hold(g_frontLock);
    g_front.erase(std::remove(g_front.begin(), g_front.end(), e), g_front.end());
    delete e;
}

void FrontSetWindow(FrontEntry* e, HWND hwnd)
{
    std::lock_guard<std::mutex> hold(g_frontLock);
    if (e->hwnd)
        return;
    e->hwnd = hwnd;
    if (e->pending) {
        e->pending = false;
        PostMessageW(hwnd, WM_COMMAND, e->command, 0);
    }
}

// The box or open-file dialog this thread is about to show: its first
// top-level dialog window is the one that takes Ctrl-C.
thread_local FrontEntry* t_capture = nullptr;

LRESULT CALLBACK CaptureHook(int code, WPARAM wParam, LPARAM lParam)
{
    if (code == HCBT_CREATEWND && t_capture) {
        const CREATESTRUCTW* cs = reinterpret_cast<CBT_CREATEWNDW*>(lParam)->lpcs;
        bool dialogClass = IS_INTRESOURCE(cs->lpszClass)
                               ? reinterpret_cast<uintptr_t>(cs->lpszClass) == 32770
                               : lstrcmpW(cs->lpszClass, L"#32770") == 0;
        if (dialogClass && !(cs->style & WS_CHILD)) {
            FrontSetWindow(t_capture, reinterpret_cast<HWND>(wParam));
            t_capture = nullptr;
        }
    }
    return CallNextHookEx(nullptr, code, wParam, lParam);
}

// Holds a front entry for a system window (box, open-file dialog) shown
// on this thread while it lives.
class SystemWindowInFront {
public:
    explicit SystemWindowInFront(WPARAM command)
        : entry_(FrontOpen(command)), previous_(t_capture)
    {
        t_capture = entry_;
        hook_ = SetWindowsHookExW(WH_CBT, CaptureHook, nullptr, GetCurrentThreadId());
    }
    ~SystemWindowInFront()
    {
        if (hook_)
            UnhookWindowsHookEx(hook_);
        t_capture = previous_;
        FrontClose(entry_);
    }
    SystemWindowInFront(const SystemWindowInFront&) = delete;
    SystemWindowInFront& operator=(const SystemWindowInFront&) = delete;

private:
    FrontEntry* entry_;
    FrontEntry* previous_;
    HHOOK hook_ = nullptr;
};

// ---- The model -------------------------------------------------------------

HWND HwndOf(Window w)
{
    std::lock_guard<std::mutex> hold(UiLock());
    OsWindowObject* o = UiWindowLocked(w);
    return o ? o->hwnd : nullptr;
}

// The real window of a dialog exists (on this thread): the model learns it
// and its controls', which the dialog manager creates in template order.
void Attach(OsWindowObject* d, HWND hwnd)
{
    std::vector<HWND> children;
    for (HWND c = GetWindow(hwnd, GW_CHILD); c; c = GetWindow(c, GW_HWNDNEXT))
        children.push_back(c);
    std::lock_guard<std::mutex> hold(UiLock());
    d->hwnd = hwnd;
    d->thread = GetCurrentThreadId();
    for (size_t i = 0; i < d->controls.size() && i < children.size(); ++i)
        d->controls[i]->hwnd = children[i];
}

void Detach(OsWindowObject* d)
{
    {
        std::lock_guard<std::mutex> hold(UiLock());
        d->hwnd = nullptr;
        for (OsWindowObject* c : d->controls)
            c->hwnd = nullptr;
    }
    UiNotifyShownOrEnded();
}

// Copies what changed in the model into the real windows of dialog d. On
// d's thread, without UiLock.
void Sync(OsWindowObject* d)
{
    struct Change {
        HWND hwnd;
        bool text, range, pos;
        std::wstring value;
        int32_t low, high, position;
    };
    std::vector<Change> changes;
    {
        std::lock_guard<std::mutex> hold(UiLock());
        d->syncPosted = false;
        auto take = [&changes](OsWindowObject* w) {
            if (!(w->textDirty || w->rangeDirty || w->posDirty))
                return;
            if (w->hwnd)
                changes.push_back({w->hwnd, w->textDirty, w->rangeDirty, w->posDirty, w->text, w->rangeLow,
                                   w->rangeHigh, w->pos});
            w->textDirty = w->rangeDirty = w->posDirty = false;
        };
        take(d);
        for (OsWindowObject* c : d->controls)
            take(c);
    }
    for (const Change& c : changes) {
        if (c.text)
            SetWindowTextW(c.hwnd, c.value.c_str());
        if (c.range)
            SendMessageW(c.hwnd, PBM_SETRANGE32, static_cast<WPARAM>(c.low), static_cast<LPARAM>(c.high));
        if (c.range || c.pos)
            SendMessageW(c.hwnd, PBM_SETPOS, static_cast<WPARAM>(c.position), 0);
    }
}

// After a change of w's model: whether the caller (on the dialog's thread)
// must Sync now; from another thread the sync is posted. Requires UiLock.
bool ChangedLocked(OsWindowObject* w)
{
    OsWindowObject* d = UiDialogOf(w);
    if (!d || !d->hwnd)
        return false;
    if (d->thread == GetCurrentThreadId())
        return true;
    if (!d->syncPosted && PostMessageW(d->hwnd, WM_UI_SYNC, 0, 0))
        d->syncPosted = true;
    return false;
}

}  // namespace

int UiSetText(OsWindowObject* w, const wchar_t* text)
{
    std::wstring value = text ? text : L"";
    UiObserver* observer = g_observer.load();
    OsWindowObject* dialog;
    bool syncNow;
    {
        std::lock_guard<std::mutex> hold(UiLock());
        dialog = UiDialogOf(w);
        w->text = value;
        w->textDirty = true;
        syncNow = ChangedLocked(w);
    }
    if (syncNow)
        Sync(dialog);
    if (observer && !w->isDialog)
        observer->TextSet(w, w->id, value);
    return 1;
}

namespace {

// ---- The dialog procedure -------------------------------------------------

struct DialogStart {
    OsWindowObject* model;
    intptr_t param;
    FrontEntry* front;
    bool terminationSeen = false;
};

// A termination request closes each modal dialog once, as its user would
// (command 2, not echoed): right after the command that was running when
// it came (a wait for the flash given up), or as soon as it comes to a
// dialog that waits for its user (WM_UI_TERMINATED), as the Linux build's
// dialog loop does.
void CloseOnTermination(DialogStart* start)
{
    OsWindowObject* d = start->model;
    if (start->terminationSeen || !OsTerminationRequested())
        return;
    start->terminationSeen = true;
    if (!UiEnded(d))
        d->proc(d, OS_WM_COMMAND, OS_IDCANCEL, 0);
}

// Runs once termination is requested: every window in front of the user
// hears of it (a message box or the open-file dialog ignores it).
VOID CALLBACK TerminationRequested(PVOID, BOOLEAN)
{
    std::lock_guard<std::mutex> hold(g_frontLock);
    for (FrontEntry* e : g_front)
        if (e->hwnd)
            PostMessageW(e->hwnd, WM_UI_TERMINATED, 0, 0);
}

INT_PTR CALLBACK DialogProcedure(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message == WM_INITDIALOG) {
        auto* start = reinterpret_cast<DialogStart*>(lParam);
        SetWindowLongPtrW(hwnd, DWLP_USER, reinterpret_cast<LONG_PTR>(start));
        OsWindowObject* d = start->model;
        Attach(d, hwnd);
        Sync(d);   // a caption or text set before the window existed
        FrontSetWindow(start->front, hwnd);
        if (UiEnded(d)) {
            // Ended from another thread before its window existed.
            EndDialog(hwnd, d->result);
            return TRUE;
        }
        UiObserver* observer = g_observer.load();
        if (observer)
            observer->DialogCreated(d, d->owner);
        INT_PTR r = d->proc(d, OS_WM_INITDIALOG, 0, start->param);
        if (observer)
            observer->DialogIdle(d);
        if (OsTerminationRequested())
            PostMessageW(hwnd, WM_UI_TERMINATED, 0, 0);   // it may have come before the window
        return r;
    }
    auto* start = reinterpret_cast<DialogStart*>(GetWindowLongPtrW(hwnd, DWLP_USER));
    if (!start)
        return FALSE;   // before initialisation (WM_SETFONT...)
    OsWindowObject* d = start->model;
    switch (message) {
    case WM_UI_SYNC:
        Sync(d);
        return TRUE;
    case WM_UI_TERMINATED:
        CloseOnTermination(start);
        if (UiObserver* observer = g_observer.load())
            observer->DialogIdle(d);
        return TRUE;
    case WM_UI_END: {
        Sync(d);
        intptr_t result;
        {
            std::lock_guard<std::mutex> hold(UiLock());
            result = d->result;
        }
        EndDialog(hwnd, result);
        return TRUE;
    }
    case WM_SHOWWINDOW:
        if (wParam)
            UiMarkShown(d);
        break;
    case WM_NCDESTROY:
        Detach(d);
        SetWindowLongPtrW(hwnd, DWLP_USER, 0);
        return FALSE;
    case WM_COMMAND: {
        // A command that reaches a dialog already ended (by a worker, whose
        // end is still on its way) is not the program's any more.
        if (UiEnded(d))
            return TRUE;
        INT_PTR r = d->proc(d, OS_WM_COMMAND, wParam, 0);
        CloseOnTermination(start);
        if (UiObserver* observer = g_observer.load())
            observer->DialogIdle(d);
        return r;
    }
    default:
        break;
    }
    return d->proc(d, message, wParam, lParam);
}

// ---- Paths of the open-file dialog ------------------------------------------

// A host path in full, as the file system resolves it: the board's folder
// may be named from the current drive ("\tmp\board" under Wine, for
// /tmp/board), while the open-file dialog answers with a drive letter.
std::wstring FullPath(const std::wstring& path)
{
    std::vector<wchar_t> full(32768, L'\0');
    DWORD n = GetFullPathNameW(path.c_str(), static_cast<DWORD>(full.size()), full.data(), nullptr);
    return n > 0 && n < full.size() ? std::wstring(full.data(), n) : path;
}

// The host path of a device path ("\..."), separators as Windows writes
// them; a host path stays as it is. "" when it cannot be mapped.
std::wstring HostOf(const std::wstring& path)
{
    if (path.empty() || path[0] != L'\\')
        return path;
    char host[4096];
    if (!OsHostPath(path.c_str(), host, sizeof host))
        return L"";
    std::wstring out = UiWideFromUtf8(host);
    std::replace(out.begin(), out.end(), L'/', L'\\');
    return FullPath(out);
}

// A host path chosen in the dialog as the program names it: a device path
// when it lies in the board's root folder (letter case ignored, as the
// device does), else the host path as it is.
std::wstring DeviceOf(const std::wstring& chosen)
{
    std::wstring root = HostOf(L"\\");
    std::wstring full = FullPath(chosen);
    while (root.size() > 1 && root.back() == L'\\')
        root.pop_back();
    if (root.empty() || full.size() < root.size())
        return chosen;
    if (CompareStringOrdinal(full.c_str(), static_cast<int>(root.size()), root.c_str(),
                             static_cast<int>(root.size()), TRUE) != CSTR_EQUAL)
        return chosen;
    std::wstring rest = full.substr(root.size());
    if (!rest.empty() && rest[0] != L'\\')
        return chosen;   // a sibling folder whose name begins like the root's
    while (!rest.empty() && rest[0] == L'\\')
        rest.erase(0, 1);
    return L"\\" + rest;
}

}  // namespace

// ---- Shared with the rest of the backend ------------------------------------

void UiSetObserver(UiObserver* observer) { g_observer.store(observer); }

bool UiInterrupt()
{
    std::lock_guard<std::mutex> hold(g_frontLock);
    if (g_front.empty())
        return false;
    FrontEntry* front = g_front.back();
    if (front->hwnd)
        PostMessageW(front->hwnd, WM_COMMAND, front->command, 0);
    else
        front->pending = true;
    return true;
}

// ---- The role's calls ---------------------------------------------------------

void OsInitCommonControls()
{
    INITCOMMONCONTROLSEX controls{};
    controls.dwSize = sizeof controls;
    controls.dwICC = ICC_PROGRESS_CLASS;
    InitCommonControlsEx(&controls);
    UiCommonControlsReady();
}

int OsMessageBox(Window owner, const wchar_t* text, const wchar_t* caption, uint32_t style)
{
    UiAwaitOwnerShown(owner, [](const OsWindowObject* d) {
        return d->hwnd && d->thread != GetCurrentThreadId();
    });
    if (UiObserver* observer = g_observer.load())
        return UiBoxAnswer(style, observer->AnswerBox(UiWindow(owner) ? owner : nullptr, text ? text : L"",
                                                       caption ? caption : L"", style));
    int raw;
    if ((style & 0xF) == OS_MB_YESNO)
        RunNoteQuestion();
    RunWin32SayReason();   // said with this box
    RunDropReason();
    {
        SystemWindowInFront front(static_cast<WPARAM>(UiBoxCloseAnswer(style)));
        raw = MessageBoxW(HwndOf(owner), text ? text : L"", caption ? caption : L"", style);
    }
    // Wine's MessageBoxW returns IDCANCEL (2) for a Yes/No box closed from
    // its caption, which Windows does not allow (its close box is
    // disabled): that is No, the box's close answer.
    return UiBoxAnswer(style, raw);
}

int OsGetOpenFileName(OsOpenFileName* record)
{
    if (!UiOpenFileUsable(record))
        return 0;
    if (UiObserver* observer = g_observer.load())
        return observer->OpenFile(record) ? 1 : 0;

    // The dialog works in host paths: the initial folder and name are
    // mapped out of the board's root folder, the choice back into it.
    std::wstring initialDir = record->initialDir ? HostOf(record->initialDir) : L"";
    std::wstring initialName =
        HostOf(std::wstring(record->file, std::find(record->file, record->file + record->maxFile, L'\0')));
    std::vector<wchar_t> chosen(32768, L'\0');

    // The dialog changes the process's current folder (no OFN_NOCHANGEDIR in
    // the program's flags); a host path given relative to it later must
    // still mean what it meant.
    std::vector<wchar_t> cwd(MAX_PATH * 4, L'\0');
    DWORD cwdLength = GetCurrentDirectoryW(static_cast<DWORD>(cwd.size()), cwd.data());

    for (;;) {
        std::fill(chosen.begin(), chosen.end(), L'\0');
        std::copy_n(initialName.begin(), std::min(initialName.size(), chosen.size() - 1), chosen.begin());
        OPENFILENAMEW ofn{};
        ofn.lStructSize = sizeof ofn;
        ofn.hwndOwner = HwndOf(record->owner);
        ofn.lpstrFilter = record->filter;
        ofn.lpstrCustomFilter = record->customFilter;
        ofn.nMaxCustFilter = record->customFilter ? record->maxCustomFilter : 0;
        ofn.nFilterIndex = record->filterIndex;
        ofn.lpstrFile = chosen.data();
        ofn.nMaxFile = static_cast<DWORD>(chosen.size());
        ofn.lpstrFileTitle = record->fileTitle;
        ofn.nMaxFileTitle = record->fileTitle ? record->maxFileTitle : 0;
        ofn.lpstrInitialDir = initialDir.empty() ? nullptr : initialDir.c_str();
        ofn.lpstrTitle = record->title;
        // A hook or template of the device's record means nothing here.
        ofn.Flags = record->flags & ~static_cast<DWORD>(OFN_ENABLEHOOK | OFN_ENABLETEMPLATE |
                                                        OFN_ENABLETEMPLATEHANDLE);
        ofn.lpstrDefExt = record->defaultExt;
        BOOL ok;
        {
            SystemWindowInFront front(IDCANCEL);
            ok = GetOpenFileNameW(&ofn);
        }
        if (cwdLength > 0 && cwdLength < cwd.size())
            SetCurrentDirectoryW(cwd.data());
        if (!ok)
            return 0;
        std::wstring path = DeviceOf(chosen.data());
        if (path.size() + 1 > record->maxFile) {
            std::wstring text = L"The path is too long (" + std::to_wstring(record->maxFile - 1) +
                                L" characters at most):\n" + path;
            OsMessageBox(record->owner, text.c_str(), L"Open", OS_MB_OK | OS_MB_ICONEXCLAMATION);
            initialName = chosen.data();
            continue;
        }
        std::copy(path.begin(), path.end(), record->file);
        record->file[path.size()] = 0;
        return 1;
    }
}

intptr_t OsDialogBoxIndirectParam(Instance /*module*/, const OsDialogTemplate* tmpl, Window owner,
                                  OsDialogProc proc, intptr_t param)
{
    std::vector<DWORD> buffer;
    // The progress class is refused until OsInitCommonControls, also where
    // Wine's comctl32 has it anyway: the program must not rely on that.
    if (!proc || !UiTemplateUsable(tmpl) || !UiBuildDialogTemplate(tmpl, &buffer))
        return -1;
    OsWindowObject* d = UiNewDialog(tmpl, owner, proc);
    {
        std::lock_guard<std::mutex> hold(UiLock());
        d->modal = true;
    }
    static const bool watched = [] {
        HANDLE wait = nullptr;
        return RegisterWaitForSingleObject(&wait, static_cast<HANDLE>(OsWin32TerminationEvent()),
                                           TerminationRequested, nullptr, INFINITE, WT_EXECUTEONLYONCE) != 0;
    }();
    (void)watched;
    DialogStart start{d, param, FrontOpen(static_cast<WPARAM>(OS_IDCANCEL))};
    INT_PTR r = DialogBoxIndirectParamW(GetModuleHandleW(nullptr),
                                        reinterpret_cast<LPCDLGTEMPLATEW>(buffer.data()), HwndOf(owner),
                                        DialogProcedure, reinterpret_cast<LPARAM>(&start));
    FrontClose(start.front);
    Detach(d);
    if (UiObserver* observer = g_observer.load())
        observer->DialogClosed(d);
    std::lock_guard<std::mutex> hold(UiLock());
    return d->ended ? d->result : r;
}

int OsEndDialog(Window dialog, intptr_t result)
{
    HWND hwnd;
    bool here;
    OsWindowObject* d;
    {
        std::lock_guard<std::mutex> hold(UiLock());
        d = UiWindowLocked(dialog);
        if (!d || !d->isDialog)
            return 0;
        if (d->ended)
            return 1;   // ended once; the first result holds
        d->ended = true;
        d->result = result;
        hwnd = d->hwnd;
        here = hwnd && d->thread == GetCurrentThreadId();
        if (hwnd && !here && !d->endPosted && PostMessageW(hwnd, WM_UI_END, 0, 0))
            d->endPosted = true;
    }
    UiNotifyShownOrEnded();
    if (here) {
        Sync(d);
        EndDialog(hwnd, result);
    }
    return 1;
}

// Only a progress bar takes messages: the model answers as the real bar
// would and the real bar follows (see the top of this file).
intptr_t OsSendMessage(Window window, uint32_t message, uintptr_t wParam, intptr_t lParam)
{
    OsWindowObject* bar;
    intptr_t answer;
    bool syncNow = false;
    {
        std::lock_guard<std::mutex> hold(UiLock());
        answer = UiProgressMessageLocked(window, message, wParam, lParam, &bar);
        if (bar)
            syncNow = ChangedLocked(bar);
    }
    if (syncNow)
        Sync(bar->dialog);
    return answer;
}
