// drive's view of the program's windows: which top-level windows are the
// program's, what each is, their controls' texts and bars, pressing a
// button, and whether a dialog that went ended (by its own thread) or went
// with its process.
#include "tools/win32/drive.h"

#include <commctrl.h>

#include <algorithm>

#include "platform/common/line_protocol.h"

using lineproto::Lower;

std::vector<Tracked> g_windows;

namespace {

// A control's text (WM_GETTEXT, which the system carries across
// processes); false when the control did not answer (it is going away).
bool ReadText(HWND h, std::wstring* out)
{
    DWORD_PTR length = 0;
    if (!SendMessageTimeoutW(h, WM_GETTEXTLENGTH, 0, 0, SMTO_ABORTIFHUNG, 1000, &length))
        return false;
    std::wstring text(static_cast<size_t>(length) + 1, L'\0');
    DWORD_PTR got = 0;
    if (!SendMessageTimeoutW(h, WM_GETTEXT, text.size(), reinterpret_cast<LPARAM>(text.data()), SMTO_ABORTIFHUNG,
                             1000, &got) || !IsWindow(h))
        return false;
    text.resize(std::min<size_t>(got, text.size() - 1));
    *out = text;
    return true;
}

// Whether a dialog that went ended (destroyed by its own thread, which
// runs on) or went with its process (a restart ends the program, and no
// WM_DESTROY comes): only the first is "Closed", as on Linux. Wine tells
// no other process of a destroyed window, so drive_hook.dll, hooked into
// each of the program's window threads, posts WM_APP + 1 (the window) to
// this thread on a top-level WM_DESTROY: before the window is gone, so the
// message waits here by the time Scan misses it.
constexpr UINT kDestroyedMessage = WM_APP + 1;
HMODULE g_hookModule;
HOOKPROC g_hookProc;
std::vector<DWORD> g_hookedThreads;
std::vector<HWND> g_destroyed;

void HookThread(DWORD thread)
{
    // (0: the window has gone already; a hook on thread 0 would be global)
    if (thread == 0 || std::find(g_hookedThreads.begin(), g_hookedThreads.end(), thread) != g_hookedThreads.end())
        return;
    if (SetWindowsHookExW(WH_CALLWNDPROC, g_hookProc, g_hookModule, thread)) {
        g_hookedThreads.push_back(thread);
        Trace("hooked thread " + std::to_string(thread), nullptr);
    } else {
        Trace("cannot hook thread " + std::to_string(thread), nullptr);
    }
}

// Whether the dialog, which has gone, ended.
bool DialogEnded(HWND h)
{
    MSG msg;
    while (PeekMessageW(&msg, nullptr, kDestroyedMessage, kDestroyedMessage, PM_REMOVE))
        g_destroyed.push_back(reinterpret_cast<HWND>(msg.wParam));
    auto it = std::find(g_destroyed.begin(), g_destroyed.end(), h);
    if (it == g_destroyed.end())
        return false;
    g_destroyed.erase(it);
    return true;
}

// Reads a control afresh; what a control going away no longer answers
// keeps its last value.
void Refresh(HWND h, UiControlView* c)
{
    if (c->kind == UiControlKind::Progress) {
        DWORD_PTR pos = 0, low = 0, high = 0;
        if (SendMessageTimeoutW(h, PBM_GETPOS, 0, 0, SMTO_ABORTIFHUNG, 1000, &pos) &&
            SendMessageTimeoutW(h, PBM_GETRANGE, TRUE, 0, SMTO_ABORTIFHUNG, 1000, &low) &&
            SendMessageTimeoutW(h, PBM_GETRANGE, FALSE, 0, SMTO_ABORTIFHUNG, 1000, &high) && IsWindow(h)) {
            c->pos = static_cast<int>(pos);
            c->rangeLow = static_cast<int>(low);
            c->rangeHigh = static_cast<int>(high);
        }
    } else {
        ReadText(h, &c->text);
    }
}

}  // namespace

std::wstring ClassOf(HWND h)
{
    wchar_t name[64] = L"";
    GetClassNameW(h, name, 64);
    return name;
}

std::wstring TextOf(HWND h)
{
    std::wstring text;
    ReadText(h, &text);
    return text;
}

std::wstring CaptionOf(HWND h)
{
    wchar_t text[512] = L"";
    GetWindowTextW(h, text, 512);
    return text;
}

std::vector<HWND> ChildrenOf(HWND h)
{
    std::vector<HWND> out;
    for (HWND c = GetWindow(h, GW_CHILD); c; c = GetWindow(c, GW_HWNDNEXT))
        out.push_back(c);
    return out;
}

HWND Descendant(HWND h, int id)
{
    struct Find {
        int id;
        HWND found;
    } find{id, nullptr};
    EnumChildWindows(
        h,
        [](HWND c, LPARAM p) -> BOOL {
            auto* f = reinterpret_cast<Find*>(p);
            if (GetDlgCtrlID(c) == f->id) {
                f->found = c;
                return FALSE;
            }
            return TRUE;
        },
        reinterpret_cast<LPARAM>(&find));
    return find.found;
}

bool Sync(HWND h)
{
    while (IsWindow(h) && ChildRunning()) {
        DWORD_PTR r;
        if (SendMessageTimeoutW(h, WM_NULL, 0, 0, SMTO_NORMAL, 200, &r))
            return true;
        // Busy: it may be waiting for the flash, which it says, and which
        // a Ctrl-C then gives up.
        WriteNotices();
        if (InterruptWaiting() && CancelWait())
            TakeInterrupt();
    }
    return false;
}

bool LoadHook()
{
    wchar_t self[MAX_PATH * 2];
    DWORD n = GetModuleFileNameW(nullptr, self, MAX_PATH * 2);
    if (n == 0 || n >= MAX_PATH * 2)
        return false;
    std::wstring path(self, n);
    path = path.substr(0, path.find_last_of(L"\\/") + 1) + L"drive_hook.dll";
    g_hookModule = LoadLibraryW(path.c_str());
    if (g_hookModule)
        g_hookProc = reinterpret_cast<HOOKPROC>(
            reinterpret_cast<void*>(GetProcAddress(g_hookModule, "DriveCallWndProc")));
    if (!g_hookProc)
        return false;
    MSG msg;
    PeekMessageW(&msg, nullptr, 0, 0, PM_NOREMOVE);   // this thread's queue, for the hook's messages
    wchar_t id[16];
    swprintf(id, 16, L"%lu", static_cast<unsigned long>(GetCurrentThreadId()));
    SetEnvironmentVariableW(L"DRIVE_THREAD", id);     // the program inherits it
    return true;
}

Kind Classify(HWND h)
{
    HWND text = GetDlgItem(h, kIdBoxText);
    if (text && Lower(ClassOf(text)) == L"static")
        return Kind::Box;
    if (Descendant(h, kIdFileNameCombo))
        return Kind::Chooser;
    return Kind::Dialog;
}

UiDialogView Snapshot(Tracked* t, bool first)
{
    UiDialogView v;
    v.caption = CaptionOf(t->h);
    if (!first && v.caption.empty() && !IsWindow(t->h))
        v.caption = t->latest.caption;
    if (!first) {
        v.controls = t->latest.controls;
    } else {
        for (HWND c : ChildrenOf(t->h)) {
            std::wstring cls = Lower(ClassOf(c));
            UiControlView control;
            control.id = GetDlgCtrlID(c);
            control.kind = cls == L"button"              ? UiControlKind::Button
                           : cls == L"msctls_progress32" ? UiControlKind::Progress
                                                         : UiControlKind::Static;
            v.controls.push_back(control);
            t->controls.push_back(c);
        }
    }
    for (size_t i = 0; i < v.controls.size(); ++i)
        Refresh(t->controls[i], &v.controls[i]);
    return v;
}

void Scan()
{
    std::vector<HWND> now;
    EnumWindows(
        [](HWND h, LPARAM p) -> BOOL {
            DWORD pid = 0;
            GetWindowThreadProcessId(h, &pid);
            if (pid == g_child.dwProcessId && ClassOf(h) == L"#32770")
                reinterpret_cast<std::vector<HWND>*>(p)->push_back(h);
            return TRUE;
        },
        reinterpret_cast<LPARAM>(&now));
    std::reverse(now.begin(), now.end());   // the z-order has the newest on top
    for (size_t i = 0; i < g_windows.size();) {
        Tracked& t = g_windows[i];
        if (std::find(now.begin(), now.end(), t.h) != now.end() && IsWindow(t.h)) {
            ++i;
            continue;
        }
        bool ended = DialogEnded(t.h);
        Trace(std::string("gone") + (ended ? " ended" : ""), t.h);
        DialogGone(t, ended);
        g_windows.erase(g_windows.begin() + static_cast<long>(i));
    }
    for (HWND h : now)
        if (std::none_of(g_windows.begin(), g_windows.end(), [h](const Tracked& t) { return t.h == h; })) {
            HookThread(GetWindowThreadProcessId(h, nullptr));
            g_windows.emplace_back();
            g_windows.back().h = h;
        }
}

Tracked* Front()
{
    // A box or chooser that has its answer is no longer in front, even
    // while it is going away: the window behind it is.
    for (auto t = g_windows.rbegin(); t != g_windows.rend(); ++t)
        if (!t->answered)
            return &*t;
    return nullptr;
}

void Click(HWND button)
{
    SendNotifyMessageW(button, BM_CLICK, 0, 0);
}

void Answer(Tracked& t, int id)
{
    const HWND h = t.h;
    if (HWND button = GetDlgItem(h, id))
        Click(button);
    else
        PostMessageW(h, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), 0);
    t.answered = true;
    HWND owner = GetWindow(h, GW_OWNER);
    DWORD thread = GetWindowThreadProcessId(h, nullptr);
    while (IsWindow(h) && IsWindowVisible(h) && ChildRunning())
        WaitForSingleObject(g_child.hProcess, kPollMs);
    if (owner && GetWindowThreadProcessId(owner, nullptr) == thread)
        Sync(owner);
}
