// drive_hook.dll: loaded by Windows into the driven program's user-interface
// threads (a WH_CALLWNDPROC hook that drive sets on each). It tells drive
// when a top-level window is destroyed by its own thread, as a dialog that
// ends is: a message posted to drive's thread (DRIVE_THREAD in the
// program's environment) before the window goes, so that drive knows it
// ended when it sees it gone. A window that goes with its process (killed,
// or ended by a restart) gets no WM_DESTROY and is not told.
#include <windows.h>

#include <cwchar>

namespace {

DWORD DriveThread()
{
    static DWORD thread = [] {
        wchar_t text[32] = L"";
        DWORD n = GetEnvironmentVariableW(L"DRIVE_THREAD", text, 32);
        return n > 0 && n < 32 ? static_cast<DWORD>(wcstoul(text, nullptr, 10)) : 0;
    }();
    return thread;
}

}  // namespace

extern "C" __declspec(dllexport) LRESULT CALLBACK DriveCallWndProc(int code, WPARAM wParam, LPARAM lParam)
{
    if (code == HC_ACTION) {
        const CWPSTRUCT* call = reinterpret_cast<const CWPSTRUCT*>(lParam);
        if (call->message == WM_DESTROY && !(GetWindowLongW(call->hwnd, GWL_STYLE) & WS_CHILD) && DriveThread())
            PostThreadMessageW(DriveThread(), WM_APP + 1, reinterpret_cast<WPARAM>(call->hwnd), 0);
    }
    return CallNextHookEx(nullptr, code, wParam, lParam);
}
