// drive: runs a Win32 program with real windows and speaks the unattended
// line protocol for it, with the same lines and answers as the Linux build
// (platform/posix/ui_line.cpp): message boxes, dialogs with their buttons,
// progress texts and bars, the open-file dialog, Ctrl-C. It serves scripts
// and tests alike.
//
//   drive [--unit UNIT] PROGRAM [ARGUMENTS...]  < answers  2> transcript
//
// PROGRAM's command line is its arguments joined by single blanks, as the
// Linux launcher joins them. The exit code is PROGRAM's. The unit shown
// after a bar's numbers is "KB" for flashupdate (its worker counts KB),
// none for other programs, unless --unit says otherwise.
//
// How the windows are found: every top-level window of the program's
// process with the dialog class "#32770" is one of its windows. A message
// box is one with the static text of id 0xFFFF; the open-file dialog is one
// with a file-name control (0x47C, or 0x480 in the old style); any other is
// a dialog of the program, whose controls are read in their order (the
// template's). The windows are looked at in a short poll loop. The window
// in front is the one that appeared last: it takes Ctrl-C, and only a
// dialog in front reads a line for its buttons.
//
// Buttons are pressed with BM_CLICK, sent without waiting (the press may
// open a modal window whose answer is ours to give); a WM_NULL sent after
// it returns once the program has handled the press, or is inside the
// modal window it opened. Texts are read with WM_GETTEXT, bars with
// PBM_GETPOS and PBM_GETRANGE. drive_hook.dll, beside drive.exe, tells
// drive which dialogs ended (and so are "Closed") and which went with
// their process. DRIVE_TRACE=1 adds what drive sees to standard error.
#include <windows.h>
#include <commctrl.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cwctype>
#include <deque>
#include <mutex>
#include <string>
#include <vector>

namespace {

constexpr DWORD kProgressIntervalMs = 250;   // at most four progress writes a second
constexpr DWORD kPollMs = 10;
constexpr size_t kMaxLine = 65536;
constexpr int kIdBoxText = 0xFFFF;
constexpr int kIdFileNameCombo = 0x47C, kIdFileNameEdit = 0x480, kIdFileTypes = 0x470, kIdLookIn = 0x471;

// ---- Text ------------------------------------------------------------------

std::string Utf8(const std::wstring& text)
{
    if (text.empty())
        return std::string();
    int n = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr,
                                nullptr);
    std::string out(static_cast<size_t>(n), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), n, nullptr, nullptr);
    return out;
}

std::wstring Wide(const std::string& text)
{
    if (text.empty())
        return std::wstring();
    int n = MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring out(static_cast<size_t>(n), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), n);
    return out;
}

std::string Trim(const std::string& s)
{
    size_t b = 0, e = s.size();
    while (b < e && (s[b] == ' ' || s[b] == '\t' || s[b] == '\r'))
        ++b;
    while (e > b && (s[e - 1] == ' ' || s[e - 1] == '\t' || s[e - 1] == '\r'))
        --e;
    return s.substr(b, e - b);
}

std::wstring Lower(const std::wstring& s)
{
    std::wstring out;
    for (wchar_t c : s)
        out.push_back(static_cast<wchar_t>(std::towlower(c)));
    return out;
}

// ---- Output ------------------------------------------------------------------

std::mutex g_outLock;

void Write(const std::string& text)
{
    std::lock_guard<std::mutex> hold(g_outLock);
    HANDLE err = GetStdHandle(STD_ERROR_HANDLE);
    DWORD mode;
    if (GetConsoleMode(err, &mode)) {
        std::wstring wide = Wide(text);
        DWORD done;
        WriteConsoleW(err, wide.data(), static_cast<DWORD>(wide.size()), &done, nullptr);
        return;
    }
    size_t at = 0;
    while (at < text.size()) {
        DWORD done = 0;
        if (!WriteFile(err, text.data() + at, static_cast<DWORD>(text.size() - at), &done, nullptr) || done == 0)
            return;   // a closed standard error must not stop the program's run
        at += done;
    }
}

// ---- Input: lines read by a thread of their own ----------------------------

struct Line {
    std::string text;
    bool tooLong = false;
};

std::mutex g_inLock;
std::deque<Line> g_lines;
bool g_eof = false;
HANDLE g_inputEvent;       // set when a line or the end of input came
HANDLE g_interruptEvent;   // set by Ctrl-C
volatile LONG g_interrupts = 0;

DWORD WINAPI ReadInput(LPVOID)
{
    HANDLE in = GetStdHandle(STD_INPUT_HANDLE);
    std::string partial;
    bool skipping = false;
    char chunk[16384];
    for (;;) {
        DWORD got = 0;
        if (!ReadFile(in, chunk, sizeof chunk, &got, nullptr) || got == 0)
            break;
        std::lock_guard<std::mutex> hold(g_inLock);
        for (DWORD i = 0; i < got; ++i) {
            char c = chunk[i];
            if (c == '\n') {
                Line line;
                line.tooLong = skipping || partial.size() > kMaxLine;
                if (!line.tooLong) {
                    line.text = partial;
                    if (!line.text.empty() && line.text.back() == '\r')
                        line.text.pop_back();
                }
                g_lines.push_back(line);
                partial.clear();
                skipping = false;
            } else if (!skipping) {
                partial.push_back(c);
                if (partial.size() > kMaxLine) {   // keep nothing of it, read on to its end
                    partial.clear();
                    skipping = true;
                }
            }
        }
        SetEvent(g_inputEvent);
    }
    std::lock_guard<std::mutex> hold(g_inLock);
    if (skipping) {
        Line line;
        line.tooLong = true;
        g_lines.push_back(line);
    } else if (!partial.empty()) {
        g_lines.push_back(Line{partial, false});   // a last line without its newline
    }
    g_eof = true;
    SetEvent(g_inputEvent);
    return 0;
}

// 1: a line, 0: end of input, -1: none yet.
int TakeLine(Line* line)
{
    std::lock_guard<std::mutex> hold(g_inLock);
    if (!g_lines.empty()) {
        *line = g_lines.front();
        g_lines.pop_front();
        return 1;
    }
    return g_eof ? 0 : -1;
}

bool InputWaiting()
{
    std::lock_guard<std::mutex> hold(g_inLock);
    return !g_lines.empty() || g_eof;
}

BOOL WINAPI OnConsoleControl(DWORD event)
{
    if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT)
        return FALSE;
    InterlockedIncrement(&g_interrupts);
    SetEvent(g_interruptEvent);
    return TRUE;
}

bool TakeInterrupt()
{
    if (InterlockedExchange(&g_interrupts, 0) == 0)
        return false;
    return true;
}

std::string TooLongEcho()
{
    return "-> (a line of more than " + std::to_string(kMaxLine) + " bytes, read past)\nThat line is too long (" +
           std::to_string(kMaxLine) + " bytes at most)";
}

// ---- The program and its windows -------------------------------------------

PROCESS_INFORMATION g_child;
std::string g_unit;

bool ChildRunning()
{
    return WaitForSingleObject(g_child.hProcess, 0) == WAIT_TIMEOUT;
}

std::wstring ClassOf(HWND h)
{
    wchar_t name[64] = L"";
    GetClassNameW(h, name, 64);
    return name;
}

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

// Waits until the window's thread has handled what was sent to it before
// (or runs a modal loop that it opened meanwhile). False when the window
// or the program has gone.
bool Sync(HWND h)
{
    while (IsWindow(h) && ChildRunning()) {
        DWORD_PTR r;
        if (SendMessageTimeoutW(h, WM_NULL, 0, 0, SMTO_NORMAL, 200, &r))
            return true;
    }
    return false;
}

void Click(HWND button)
{
    SendNotifyMessageW(button, BM_CLICK, 0, 0);
}

enum class Kind { Unknown, Dialog, Box, Chooser };
enum class ControlKind { Button, Text, Bar };

struct Control {
    HWND h;
    int id;
    ControlKind kind;
    std::wstring text;
    int low = 0, high = 100, pos = 0;
    bool operator==(const Control& o) const
    {
        return id == o.id && text == o.text && low == o.low && high == o.high && pos == o.pos;
    }
};

struct View {
    std::wstring caption;
    std::vector<Control> controls;
    bool operator==(const View& o) const { return caption == o.caption && controls == o.controls; }
};

struct Tracked {
    HWND h;
    uint64_t seq;
    Kind kind = Kind::Unknown;
    bool shown = false;
    bool answered = false;   // a box or chooser that was answered and is going away
    bool reads = false;
    bool eofSent = false;
    View written, latest;
    DWORD lastWrite = 0;
    HANDLE thread = nullptr;   // the thread that runs it (for the watch)
};

std::vector<Tracked> g_windows;
uint64_t g_nextSeq = 1;

bool g_trace = false;   // DRIVE_TRACE set: what drive sees, on standard error

void Trace(const std::string& what, HWND h)
{
    if (g_trace)
        Write("drive: " + what + " " + std::to_string(reinterpret_cast<uintptr_t>(h)) + "\n");
}

// Whether a dialog ended or went with its process. A dialog that ends is
// destroyed by its own thread, which then runs on (at least to end the
// process); one that goes with its process (a restart ends the program)
// goes with its thread. Only the first is "Closed", as the Linux program
// writes it only for a dialog that ended. Wine sends no events of a window
// hidden or destroyed to another process, so a thread of drive's own looks:
// closely for a while after each answer (a dialog ends after one), every
// millisecond otherwise. On Windows a killed thread's windows may go a
// moment before the thread is seen ended; there a dialog that went with
// its process could be taken as closed.
struct Watched {
    HWND h;
    HANDLE thread;
    bool gone;
    bool ended;
};
std::mutex g_watchLock;
std::vector<Watched> g_watched;
volatile LONG g_watchUntil = 0;

bool ThreadAlive(HANDLE thread)
{
    return thread && WaitForSingleObject(thread, 0) == WAIT_TIMEOUT;
}

void Watch()
{
    InterlockedExchange(&g_watchUntil, static_cast<LONG>(GetTickCount() + 500));
}

DWORD WINAPI WatchDialogs(LPVOID)
{
    for (;;) {
        {
            std::lock_guard<std::mutex> hold(g_watchLock);
            for (Watched& w : g_watched)
                if (!w.gone && !IsWindow(w.h)) {
                    w.gone = true;
                    w.ended = ThreadAlive(w.thread);
                    Trace(std::string("watch: gone") + (w.ended ? " ended" : ""), w.h);
                }
        }
        if (static_cast<LONG>(g_watchUntil - static_cast<LONG>(GetTickCount())) > 0)
            SwitchToThread();
        else
            Sleep(1);
    }
}

// Starts watching a dialog (thread: its thread's handle, kept by the watch).
void WatchDialog(HWND h, HANDLE thread)
{
    std::lock_guard<std::mutex> hold(g_watchLock);
    g_watched.push_back(Watched{h, thread, false, false});
}

// The exact way where it can be had: drive_hook.dll (beside drive.exe),
// set as a WH_CALLWNDPROC hook on each thread of the program that shows a
// window, posts WM_APP + 1 (the window) to this thread when a top-level
// window gets WM_DESTROY, which a window that goes with its thread never
// gets. Threads with the hook set are told by it alone.
constexpr UINT kDestroyedMessage = WM_APP + 1;
HMODULE g_hookModule;
HOOKPROC g_hookProc;
std::vector<DWORD> g_hookedThreads;
std::vector<HWND> g_destroyed;

void LoadHook()
{
    wchar_t self[MAX_PATH * 2];
    DWORD n = GetModuleFileNameW(nullptr, self, MAX_PATH * 2);
    if (n == 0 || n >= MAX_PATH * 2)
        return;
    std::wstring path(self, n);
    path = path.substr(0, path.find_last_of(L"\\/") + 1) + L"drive_hook.dll";
    g_hookModule = LoadLibraryW(path.c_str());
    if (g_hookModule)
        g_hookProc = reinterpret_cast<HOOKPROC>(
            reinterpret_cast<void*>(GetProcAddress(g_hookModule, "DriveCallWndProc")));
    MSG msg;
    PeekMessageW(&msg, nullptr, 0, 0, PM_NOREMOVE);   // this thread's queue, for the hook's messages
    wchar_t id[16];
    swprintf(id, 16, L"%lu", static_cast<unsigned long>(GetCurrentThreadId()));
    SetEnvironmentVariableW(L"DRIVE_THREAD", id);     // the program inherits it
}

bool Hooked(DWORD thread)
{
    return std::find(g_hookedThreads.begin(), g_hookedThreads.end(), thread) != g_hookedThreads.end();
}

void HookThread(DWORD thread)
{
    if (thread && g_hookProc && !Hooked(thread) && SetWindowsHookExW(WH_CALLWNDPROC, g_hookProc, g_hookModule, thread)) {
        g_hookedThreads.push_back(thread);
        Trace("hooked thread " + std::to_string(thread), nullptr);
    }
}

void TakeHookMessages()
{
    MSG msg;
    while (PeekMessageW(&msg, nullptr, kDestroyedMessage, kDestroyedMessage, PM_REMOVE))
        g_destroyed.push_back(reinterpret_cast<HWND>(msg.wParam));
}

// Whether the dialog, which has gone, ended; stops watching it.
bool DialogEnded(HWND h, HANDLE thread)
{
    TakeHookMessages();
    if (Hooked(GetThreadId(thread))) {
        std::lock_guard<std::mutex> hold(g_watchLock);
        for (size_t i = 0; i < g_watched.size(); ++i)
            if (g_watched[i].h == h)
                g_watched.erase(g_watched.begin() + static_cast<long>(i));
        CloseHandle(thread);
        bool ended = std::find(g_destroyed.begin(), g_destroyed.end(), h) != g_destroyed.end();
        Trace(std::string("hook: gone") + (ended ? " ended" : ""), h);
        g_destroyed.erase(std::remove(g_destroyed.begin(), g_destroyed.end(), h), g_destroyed.end());
        return ended;
    }
    std::lock_guard<std::mutex> hold(g_watchLock);
    bool ended = ThreadAlive(thread);
    for (size_t i = 0; i < g_watched.size(); ++i)
        if (g_watched[i].h == h) {
            ended = ended || g_watched[i].ended;
            g_watched.erase(g_watched.begin() + static_cast<long>(i));
            break;
        }
    CloseHandle(thread);
    return ended;
}

Kind Classify(HWND h)
{
    HWND text = GetDlgItem(h, kIdBoxText);
    if (text && Lower(ClassOf(text)) == L"static")
        return Kind::Box;
    if (Descendant(h, kIdFileNameCombo) || Descendant(h, kIdFileNameEdit))
        return Kind::Chooser;
    return Kind::Dialog;
}

// Reads a control afresh; what a control going away no longer answers
// keeps its last value.
void Refresh(Control* c)
{
    if (c->kind == ControlKind::Bar) {
        DWORD_PTR pos = 0, low = 0, high = 0;
        if (SendMessageTimeoutW(c->h, PBM_GETPOS, 0, 0, SMTO_ABORTIFHUNG, 1000, &pos) &&
            SendMessageTimeoutW(c->h, PBM_GETRANGE, TRUE, 0, SMTO_ABORTIFHUNG, 1000, &low) &&
            SendMessageTimeoutW(c->h, PBM_GETRANGE, FALSE, 0, SMTO_ABORTIFHUNG, 1000, &high) && IsWindow(c->h)) {
            c->pos = static_cast<int>(pos);
            c->low = static_cast<int>(low);
            c->high = static_cast<int>(high);
        }
    } else {
        ReadText(c->h, &c->text);
    }
}

View Snapshot(HWND h, const View* layout)
{
    View v;
    v.caption = CaptionOf(h);
    if (layout && v.caption.empty() && !IsWindow(h))
        v.caption = layout->caption;
    if (layout) {
        v.controls = layout->controls;
    } else {
        for (HWND c : ChildrenOf(h)) {
            std::wstring cls = Lower(ClassOf(c));
            ControlKind kind = cls == L"button"              ? ControlKind::Button
                               : cls == L"msctls_progress32" ? ControlKind::Bar
                                                             : ControlKind::Text;
            v.controls.push_back(Control{c, GetDlgCtrlID(c), kind, L""});
        }
    }
    for (Control& c : v.controls)
        Refresh(&c);
    return v;
}

int Percent(const Control& bar)
{
    if (bar.high <= bar.low)
        return 0;
    int64_t p = (static_cast<int64_t>(bar.pos) - bar.low) * 100 / (static_cast<int64_t>(bar.high) - bar.low);
    return static_cast<int>(p < 0 ? 0 : p > 100 ? 100 : p);
}

// The lines for what changed from `written` to `now`, as the Linux line
// presenter writes them: each change twice, the short line that scripts
// match and the one naming its control.
std::string Changes(const View& written, const View& now, bool onlyFilled)
{
    std::string out;
    std::string prefix = Utf8(now.caption) + " ";
    if (!onlyFilled && now.caption != written.caption)
        out += "Dialog: " + Utf8(now.caption) + "\n";
    for (size_t i = 0; i < now.controls.size() && i < written.controls.size(); ++i) {
        const Control& c = now.controls[i];
        const Control& w = written.controls[i];
        std::string id = std::to_string(c.id);
        if (c.kind == ControlKind::Bar) {
            bool differs = c.pos != w.pos || c.high != w.high || c.low != w.low;
            if (onlyFilled ? c.pos != 0 : differs) {
                std::string numbers = std::to_string(c.pos) + "/" + std::to_string(c.high);
                out += prefix + id + ": " + numbers + "\n";
                out += prefix + "[" + id + " bar]: " + numbers + (g_unit.empty() ? "" : " " + g_unit) + "  " +
                       std::to_string(Percent(c)) + " %\n";
            }
        } else if (c.kind == ControlKind::Text) {
            if (onlyFilled ? !c.text.empty() : c.text != w.text) {
                out += prefix + id + ": " + Utf8(c.text) + "\n";
                out += prefix + "[" + id + " text]: " + Utf8(c.text) + "\n";
            }
        }
    }
    return out;
}

void Flush(Tracked& t, bool always)
{
    if (!t.shown || t.kind != Kind::Dialog || t.latest == t.written)
        return;
    DWORD now = GetTickCount();
    if (!always && now - t.lastWrite < kProgressIntervalMs)
        return;
    Write(Changes(t.written, t.latest, false));
    t.written = t.latest;
    t.lastWrite = now;
}

void FlushAll()
{
    for (Tracked& t : g_windows)
        if (t.shown && t.kind == Kind::Dialog && IsWindow(t.h)) {
            t.latest = Snapshot(t.h, &t.latest);
            Flush(t, true);
        }
}

// Finds the program's windows: new ones get the next sequence number (the
// older first), the ones gone are closed.
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
        bool ended = DialogEnded(t.h, t.thread);
        Trace(std::string("gone") + (ended ? " ended" : ""), t.h);
        if (t.shown && t.kind == Kind::Dialog && ended) {
            if (!(t.latest == t.written))
                Write(Changes(t.written, t.latest, false));
            Write("Closed: " + Utf8(t.latest.caption) + "\n");
        }
        g_windows.erase(g_windows.begin() + static_cast<long>(i));
    }
    for (HWND h : now) {
        bool known = false;
        for (const Tracked& t : g_windows)
            known = known || t.h == h;
        if (!known) {
            Tracked t;
            t.h = h;
            t.seq = g_nextSeq++;
            DWORD thread = GetWindowThreadProcessId(h, nullptr);
            t.thread = OpenThread(SYNCHRONIZE | THREAD_QUERY_LIMITED_INFORMATION, FALSE, thread);
            HookThread(thread);
            WatchDialog(h, t.thread);
            g_windows.push_back(t);
        }
    }
}

Tracked* Front()
{
    Tracked* front = nullptr;
    for (Tracked& t : g_windows)
        if (!front || t.seq > front->seq)
            front = &t;
    return front;
}

// Waits for the next thing a box waits for: 1 a line, 0 end of input, -1
// Ctrl-C, -2 the window or the program has gone.
int WaitAnswer(HWND h, Line* line)
{
    for (;;) {
        if (TakeInterrupt())
            return -1;
        int got = TakeLine(line);
        if (got >= 0)
            return got;
        if (!IsWindow(h) || !ChildRunning())
            return -2;
        HANDLE events[] = {g_inputEvent, g_interruptEvent, g_child.hProcess};
        WaitForMultipleObjects(3, events, FALSE, kPollMs * 5);
    }
}

// Waits until an answered window has gone, then lets its owner's thread
// take up what follows the answer.
void AfterAnswer(HWND h)
{
    HWND owner = GetWindow(h, GW_OWNER);
    DWORD thread = GetWindowThreadProcessId(h, nullptr);
    while (IsWindow(h) && IsWindowVisible(h) && ChildRunning())
        WaitForSingleObject(g_child.hProcess, kPollMs);
    if (owner && GetWindowThreadProcessId(owner, nullptr) == thread)
        Sync(owner);
}

// ---- Message boxes -------------------------------------------------------

const char* ButtonName(int id)
{
    switch (id) {
    case IDOK: return "OK";
    case IDCANCEL: return "Cancel";
    case IDABORT: return "Abort";
    case IDRETRY: return "Retry";
    case IDIGNORE: return "Ignore";
    case IDYES: return "Yes";
    case IDNO: return "No";
    default: return "?";
    }
}

void HandleBox(Tracked& t)
{
    Trace("box", t.h);
    FlushAll();   // what the dialogs show so far comes first
    Sync(t.h);
    std::vector<std::pair<int, HWND>> buttons;
    for (HWND c : ChildrenOf(t.h))
        if (Lower(ClassOf(c)) == L"button" && IsWindowVisible(c))
            buttons.push_back({GetDlgCtrlID(c), c});
    if (buttons.empty())
        return;
    std::string choices;
    for (auto& b : buttons)
        choices += std::string(choices.empty() ? "" : " / ") + ButtonName(b.first);
    // The default: the button drawn as the default push button, else the
    // one the box names (DM_GETDEFID), else the first. The style comes
    // first: Wine's box gives MB_DEFBUTTON2's button that style and the
    // focus but still answers DM_GETDEFID with the first.
    int def = 0;
    for (auto& b : buttons)
        if (!def && (GetWindowLongW(b.second, GWL_STYLE) & 0xF) == BS_DEFPUSHBUTTON)
            def = b.first;
    DWORD_PTR defId = 0;
    if (!def && SendMessageTimeoutW(t.h, DM_GETDEFID, 0, 0, SMTO_ABORTIFHUNG, 1000, &defId) &&
        HIWORD(defId) == DC_HASDEFID)
        for (auto& b : buttons)
            if (b.first == static_cast<int>(LOWORD(defId)))
                def = b.first;
    if (!def)
        def = buttons[0].first;
    // Closing without a choice: Cancel where the box has it, No for Yes/No,
    // else its last button (the only one).
    int close = buttons.back().first;
    for (int want : {IDNO, IDCANCEL})
        for (auto& b : buttons)
            if (b.first == want)
                close = want;
    auto press = [&](int id) {
        for (auto& b : buttons)
            if (b.first == id)
                Click(b.second);
        t.answered = true;
        AfterAnswer(t.h);
        Watch();
    };
    Write(Utf8(CaptionOf(t.h)) + "\n" + Utf8(TextOf(GetDlgItem(t.h, kIdBoxText))) + "\n[" + choices + "]\n");
    for (;;) {
        Line line;
        int got = WaitAnswer(t.h, &line);
        Trace("answer " + std::to_string(got), t.h);
        if (got == -2)
            return;
        if (got == -1) {
            Write(std::string("(interrupted: ") + ButtonName(close) + ")\n-> " + ButtonName(close) +
                  " (interrupted)\n");
            return press(close);
        }
        if (got == 0) {
            Write(std::string("(end of input: ") + ButtonName(def) + ")\n-> " + ButtonName(def) + " (end of input)\n");
            return press(def);
        }
        if (line.tooLong) {
            Write(TooLongEcho() + "; answer " + choices + "\n");
            continue;
        }
        std::wstring word = Lower(Wide(Trim(line.text)));
        if (!word.empty())
            for (auto& b : buttons) {
                std::wstring name = Lower(Wide(ButtonName(b.first)));
                if (name.compare(0, word.size(), word) == 0) {
                    Write(std::string("-> ") + ButtonName(b.first) + "\n");
                    return press(b.first);
                }
            }
        Write("-> " + Trim(line.text) + "\n\"" + Trim(line.text) + "\" is no button of this box; answer " + choices +
              "\n");
    }
}

// ---- The open-file dialog ----------------------------------------------------

// The board's folder and the host folder of the device's root "\". Under
// Wine a Unix path in BOARDSIM_DIR is turned into its DOS name.
std::wstring HostOfUnix(const std::wstring& path)
{
    typedef WCHAR* (*ToDos)(const char*);
    static auto toDos =
        reinterpret_cast<ToDos>(reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"kernel32.dll"),
                                                                       "wine_get_dos_file_name")));
    if (!toDos || path.empty() || path[0] != L'/')
        return path;
    WCHAR* dos = toDos(Utf8(path).c_str());
    if (!dos)
        return path;
    std::wstring out = dos;
    HeapFree(GetProcessHeap(), 0, dos);
    return out;
}

std::wstring EnvOf(const wchar_t* name)
{
    wchar_t value[4096];
    DWORD n = GetEnvironmentVariableW(name, value, 4096);
    return n > 0 && n < 4096 ? std::wstring(value, n) : std::wstring();
}

std::wstring RootFolder()
{
    std::wstring board = EnvOf(L"BOARDSIM_DIR");
    if (board.empty()) {
        std::wstring state = EnvOf(L"XDG_STATE_HOME");
        if (state.empty()) {
            std::wstring home = EnvOf(L"HOME");
            state = (home.empty() ? L"/tmp" : home) + L"/.local/state";   // as the board finds it
        }
        board = state + L"/boardsim/default";
    }
    board = HostOfUnix(board);
    std::replace(board.begin(), board.end(), L'/', L'\\');
    return board + L"\\rootfs";
}

// The host path of what was typed: a device path ("\nk.bin") lies under
// the board's root folder; a host path stands as it is, made absolute here
// (the dialog would take a relative one in the folder it shows).
std::wstring HostPath(const std::wstring& path)
{
    if (path.size() >= 1 && path[0] == L'\\' && !(path.size() >= 2 && path[1] == L'\\'))
        return RootFolder() + path;
    std::wstring p = HostOfUnix(path);
    wchar_t full[MAX_PATH * 4];
    DWORD n = GetFullPathNameW(p.c_str(), MAX_PATH * 4, full, nullptr);
    return n > 0 && n < MAX_PATH * 4 ? std::wstring(full, n) : p;
}

// What a typed path names, as the Linux open-file dialog takes it: a
// device path, a host path and one with a drive letter stand as they are;
// a bare name is taken in the folder shown ("\").
std::wstring Resolve(const std::wstring& typed)
{
    if (typed.empty() || typed[0] == L'\\' || typed == L"." || typed == L".." ||
        typed.find(L'/') != std::wstring::npos || (typed.size() >= 2 && typed[1] == L':'))
        return typed;
    return L"\\" + typed;
}

// Why the dialog refuses path, or "" (the program's flags: the folder and
// the file must exist).
std::string ChoiceError(const std::wstring& path)
{
    if (path.size() + 1 > 260)
        return "The path is too long (259 characters at most): ";
    std::wstring host = HostPath(path);
    size_t cut = host.find_last_of(L"\\/");
    if (cut != std::wstring::npos) {
        std::wstring folder = host.substr(0, cut == 0 || host[cut - 1] == L':' ? cut + 1 : cut);
        DWORD a = GetFileAttributesW(folder.c_str());
        if (a == INVALID_FILE_ATTRIBUTES || !(a & FILE_ATTRIBUTE_DIRECTORY))
            return "No such folder: ";
    }
    DWORD a = GetFileAttributesW(host.c_str());
    if (a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_DIRECTORY))
        return "That is a folder, not a file: ";
    if (a == INVALID_FILE_ATTRIBUTES)
        return "No such file: ";
    return "";
}

// The pattern behind the filter shown. Wine keeps a pointer to it in the
// program's memory as the item's data; Windows' own dialog keeps none that
// another process can read, and the pattern is then left out.
std::wstring FilterPattern(HWND types)
{
    DWORD_PTR index = 0, data = 0;
    if (!SendMessageTimeoutW(types, CB_GETCURSEL, 0, 0, SMTO_ABORTIFHUNG, 1000, &index) ||
        static_cast<LRESULT>(index) < 0 ||
        !SendMessageTimeoutW(types, CB_GETITEMDATA, index, 0, SMTO_ABORTIFHUNG, 1000, &data) || data == 0 ||
        data == static_cast<DWORD_PTR>(CB_ERR))
        return std::wstring();
    wchar_t text[64] = {};
    SIZE_T got = 0;
    if (!ReadProcessMemory(g_child.hProcess, reinterpret_cast<const void*>(data), text, sizeof text - sizeof(wchar_t),
                           &got))
        return std::wstring();
    std::wstring pattern(text, wcsnlen(text, got / sizeof(wchar_t)));
    for (wchar_t c : pattern)
        if (c < 0x20 || c > 0x7E)
            return std::wstring();
    return pattern.find(L'*') != std::wstring::npos || pattern.find(L'.') != std::wstring::npos ? pattern
                                                                                               : std::wstring();
}

void HandleChooser(Tracked& t)
{
    Sync(t.h);
    std::wstring caption = CaptionOf(t.h);
    // The record's title is none: the dialog then shows its own word, which
    // the Linux dialog writes as "Open file".
    std::string head = caption.empty() || caption == L"Open" ? "Open file" : Utf8(caption);
    std::string where;
    if (HWND types = Descendant(t.h, kIdFileTypes)) {
        std::wstring name = TextOf(types);
        std::wstring pattern = FilterPattern(types);
        if (!name.empty())
            where += ": " + Utf8(name);
        if (!pattern.empty())
            where += " (" + Utf8(pattern) + ")";
    }
    // The folder shown: the device's root when it is the board's root folder.
    std::wstring root = RootFolder();
    std::wstring rootName = root.substr(root.find_last_of(L'\\') + 1);
    HWND lookIn = Descendant(t.h, kIdLookIn);
    std::wstring shown = lookIn ? TextOf(lookIn) : std::wstring();
    if (shown.empty() || Lower(shown) == Lower(rootName))
        where += " in \\";
    else
        where += " in " + Utf8(shown);
    HWND combo = Descendant(t.h, kIdFileNameCombo);
    HWND edit = combo ? FindWindowExW(combo, nullptr, L"Edit", nullptr) : nullptr;
    if (!edit && combo && Lower(ClassOf(combo)) == L"edit")
        edit = combo;
    if (!edit)
        edit = Descendant(t.h, kIdFileNameEdit);
    if (!edit)
        edit = combo;
    auto button = [&](int id) {
        HWND b = GetDlgItem(t.h, id);
        if (b)
            Click(b);
        else
            PostMessageW(t.h, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), 0);
        t.answered = true;
        AfterAnswer(t.h);
        Watch();
    };
    Write(head + where + "\nPath (empty line: cancel):\n");
    for (;;) {
        Line line;
        int got = WaitAnswer(t.h, &line);
        if (got == -2)
            return;
        if (got != 1 || (!line.tooLong && Trim(line.text).empty())) {
            const char* why = got == -1 ? " (interrupted)" : got == 0 ? " (end of input)" : "";
            Write(std::string("(cancelled)\n-> (cancel)") + why + "\n");
            return button(IDCANCEL);
        }
        if (line.tooLong) {
            Write(TooLongEcho() + "\nPath (empty line: cancel):\n");
            continue;
        }
        std::wstring path = Resolve(Wide(Trim(line.text)));
        Write("-> " + Utf8(path) + "\n");
        std::string error = ChoiceError(path);
        if (!error.empty()) {
            Write(error + Utf8(path) + "\nPath (empty line: cancel):\n");
            continue;
        }
        std::wstring host = HostPath(path);
        DWORD_PTR r;
        SendMessageTimeoutW(edit, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(host.c_str()), SMTO_ABORTIFHUNG, 5000, &r);
        return button(IDOK);
    }
}

// ---- The program's dialogs ---------------------------------------------------

void ShowDialog(Tracked& t)
{
    Sync(t.h);
    View view = Snapshot(t.h, nullptr);
    std::string out = "Dialog: " + Utf8(view.caption) + "\n";
    bool reads = false, hasCancel = false;
    for (const Control& c : view.controls) {
        if (c.kind != ControlKind::Button)
            continue;
        reads = reads || c.id != IDCANCEL;
        hasCancel = hasCancel || c.id == IDCANCEL;
        out += "  [" + std::to_string(c.id) + "] " + Utf8(c.text) + "\n";
    }
    out += reads ? "Press: a button's id or text (empty line: close)\n"
                 : std::string("(Ctrl-C: ") + (hasCancel ? "Abort" : "close") + ")\n";
    View empty = view;
    for (Control& c : empty.controls)
        c.text.clear(), c.pos = 0;
    Write(out + Changes(empty, view, true));
    t.reads = reads;
    t.written = t.latest = view;
    t.lastWrite = GetTickCount();
}

// "-> [1004] BSP Version": the command taken, with its button's text
// ("close" for command 2 when no button has that id).
std::string Echo(const Tracked& t, int id)
{
    std::string out = "-> [" + std::to_string(id) + "]";
    std::string text = id == IDCANCEL ? "close" : "";
    for (const Control& c : t.latest.controls)
        if (c.kind == ControlKind::Button && c.id == id)
            text = Utf8(c.text);
    return text.empty() ? out : out + " " + text;
}

// Sends command id to the dialog: a press of its button, or the command
// itself where it has no button of that id (2: the close command).
void Press(Tracked& t, int id)
{
    HWND button = nullptr;
    for (const Control& c : t.latest.controls)
        if (c.kind == ControlKind::Button && c.id == id)
            button = c.h;
    if (button)
        Click(button);
    else
        SendNotifyMessageW(t.h, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), 0);
    Watch();
    Sync(t.h);
}

// The command a line names, or 0 (then said why).
int CommandOf(Tracked& t, const std::string& line)
{
    if (line.empty())
        return IDCANCEL;
    bool numeric = line.size() <= 5;
    for (char c : line)
        numeric = numeric && c >= '0' && c <= '9';
    if (numeric) {
        int id = std::stoi(line);
        if (id > 0 && id <= 0xFFFF)
            return id;
    }
    std::wstring word = Lower(Wide(line));
    for (const Control& c : t.latest.controls)
        if (c.kind == ControlKind::Button && Lower(c.text) == word)
            return c.id;
    Write("-> " + line + "\n\"" + line + "\" names no button of " + Utf8(t.latest.caption) + "\n");
    return 0;
}

void ReadCommand(Tracked& t)
{
    Line line;
    int got = TakeLine(&line);
    if (got < 0)
        return;
    if (got == 0) {
        t.eofSent = true;
        Write(Echo(t, IDCANCEL) + " (end of input)\n");
        return Press(t, IDCANCEL);
    }
    if (line.tooLong) {
        Write(TooLongEcho() + "\n");
        return;
    }
    int id = CommandOf(t, Trim(line.text));
    if (id == 0)
        return;
    Write(Echo(t, id) + "\n");
    Press(t, id);
}

// Ctrl-C goes to the window in front: a box takes it as Escape, the
// open-file dialog as cancel (both in their handlers), a dialog as command
// 2. With no window open the program is ended, as the Linux program ends
// on Ctrl-C when it shows nothing (a restart delay ends without the
// restart).
void Interrupt()
{
    Tracked* front = Front();
    if (!front) {
        if (TakeInterrupt())
            TerminateProcess(g_child.hProcess, 1);
        return;
    }
    if (front->kind == Kind::Dialog && TakeInterrupt())
        Press(*front, IDCANCEL);
    // A box or chooser that is not shown yet takes it when it is.
}

// ---- Start ------------------------------------------------------------------

std::wstring Quoted(const std::wstring& arg)
{
    if (!arg.empty() && arg.find_first_of(L" \t\"") == std::wstring::npos)
        return arg;
    std::wstring out = L"\"";
    for (wchar_t c : arg)
        if (c != L'"')
            out += c;
    return out + L"\"";
}

int Usage()
{
    Write("Usage: drive [--unit UNIT] PROGRAM [ARGUMENTS...]\n"
          "Runs PROGRAM and speaks the unattended line protocol for its windows:\n"
          "answers from standard input, the transcript on standard error.\n");
    return 2;
}

}  // namespace

int wmain(int argc, wchar_t** argv)
{
    int first = 1;
    bool unitGiven = false;
    if (argc > 2 && std::wstring(argv[1]) == L"--unit") {
        g_unit = Utf8(argv[2]);
        unitGiven = true;
        first = 3;
    }
    if (first >= argc)
        return Usage();
    std::wstring program = HostOfUnix(argv[first]);   // a Unix path given to drive under Wine
    if (!unitGiven) {
        std::wstring base = Lower(program.substr(program.find_last_of(L"\\/") + 1));
        if (base == L"flashupdate" || base == L"flashupdate.exe")
            g_unit = "KB";   // the update worker sets its bars in KB
    }
    // The command line the program sees: its arguments joined by blanks.
    std::wstring commandLine = Quoted(program);
    std::wstring joined;
    for (int i = first + 1; i < argc; ++i)
        joined += (i > first + 1 ? L" " : L"") + std::wstring(argv[i]);
    if (first + 1 < argc)
        commandLine += L" " + joined;

    g_trace = !EnvOf(L"DRIVE_TRACE").empty();
    LoadHook();
    g_inputEvent = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    g_interruptEvent = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    SetConsoleCtrlHandler(OnConsoleControl, TRUE);

    // The program's own standard handles go nowhere: the transcript is
    // drive's alone. Under Wine that takes a file with a Unix descriptor
    // behind it (Wine's own notes, such as the file dialog's "Read access
    // denied for device", go to the descriptors, and its NUL has none).
    SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
    std::wstring nowhere = HostOfUnix(L"/dev/null");
    if (nowhere == L"/dev/null")
        nowhere = L"NUL";
    HANDLE nul = CreateFileW(nowhere.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                             &inherit, OPEN_EXISTING, 0, nullptr);
    STARTUPINFOW start = {};
    start.cb = sizeof start;
    start.dwFlags = STARTF_USESTDHANDLES;
    start.hStdInput = start.hStdOutput = start.hStdError = nul;
    std::vector<wchar_t> line(commandLine.begin(), commandLine.end());
    line.push_back(0);
    // No console and a process group of its own: Ctrl-C is drive's to hand
    // to the window in front, never also the program's (whose own handler
    // would take it a second time).
    if (!CreateProcessW(nullptr, line.data(), nullptr, nullptr, TRUE, CREATE_NEW_PROCESS_GROUP | DETACHED_PROCESS,
                        nullptr, nullptr, &start, &g_child)) {
        Write("drive: cannot start " + Utf8(program) + " (error " + std::to_string(GetLastError()) + ")\n");
        return 127;
    }
    CloseHandle(g_child.hThread);
    CloseHandle(nul);

    CloseHandle(CreateThread(nullptr, 0, ReadInput, nullptr, 0, nullptr));
    CloseHandle(CreateThread(nullptr, 0, WatchDialogs, nullptr, 0, nullptr));

    for (;;) {
        bool running = ChildRunning();
        Scan();
        for (size_t i = 0; i < g_windows.size(); ++i) {
            Tracked& t = g_windows[i];
            if (t.shown || t.answered || !IsWindowVisible(t.h))
                continue;
            t.kind = Classify(t.h);
            t.shown = true;
            if (t.kind == Kind::Box)
                HandleBox(t);
            else if (t.kind == Kind::Chooser)
                HandleChooser(t);
            else
                ShowDialog(t);
            Scan();   // the handlers wait: windows may have come and gone
            i = static_cast<size_t>(-1);
        }
        for (Tracked& t : g_windows)
            if (t.shown && t.kind == Kind::Dialog && IsWindow(t.h)) {
                t.latest = Snapshot(t.h, &t.latest);
                Flush(t, false);
            }
        if (g_interrupts)
            Interrupt();
        Tracked* front = Front();
        // A dialog reads while it is the one in use: shown and enabled (a
        // modal window it opened disables it; one that ends is hidden).
        // The dialog's thread is first let finish what it was doing (a
        // command's handler that ends the dialog, say), so that a line is
        // read only where the Linux build's modal loop would ask for one.
        if (front && front->shown && front->kind == Kind::Dialog && front->reads && !front->eofSent &&
            InputWaiting() && IsWindowVisible(front->h) && IsWindowEnabled(front->h) && Sync(front->h) &&
            IsWindowVisible(front->h) && IsWindowEnabled(front->h))
            ReadCommand(*front);
        if (!running) {
            Scan();
            break;
        }
        HANDLE events[] = {g_child.hProcess, g_interruptEvent};
        WaitForMultipleObjects(2, events, FALSE, kPollMs);
    }
    DWORD code = 1;
    GetExitCodeProcess(g_child.hProcess, &code);
    // At once: the threads that read the input and watch the dialogs run
    // on, and nothing is left to clean up.
    ExitProcess(code);
}
