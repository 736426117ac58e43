// drive's output and input: the transcript on standard error, the answers
// read from standard input by a thread of their own, and Ctrl-C.
#include <deque>
#include <mutex>

#include "platform/common/line_protocol.h"
#include "platform/common/ui_shared.h"
#include "tools/win32/drive.h"

bool g_trace = false;

namespace {

std::mutex g_outLock;

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
                line.tooLong = skipping || partial.size() > lineproto::kMaxLine;
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
                if (partial.size() > lineproto::kMaxLine) {   // keep nothing of it, read on to its end
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

BOOL WINAPI OnConsoleControl(DWORD event)
{
    if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT)
        return FALSE;
    InterlockedIncrement(&g_interrupts);
    SetEvent(g_interruptEvent);
    Trace("interrupt taken", nullptr);
    return TRUE;
}

}  // namespace

void Write(const std::string& text)
{
    std::lock_guard<std::mutex> hold(g_outLock);
    HANDLE err = GetStdHandle(STD_ERROR_HANDLE);
    DWORD mode;
    if (GetConsoleMode(err, &mode)) {
        std::wstring wide = UiWideFromUtf8(text);
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

void Trace(const std::string& what, HWND h)
{
    if (g_trace)
        Write("drive: " + what + " " + std::to_string(reinterpret_cast<uintptr_t>(h)) + "\n");
}

void StartInput()
{
    g_inputEvent = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    g_interruptEvent = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    SetConsoleCtrlHandler(OnConsoleControl, TRUE);
}

void StartReading() { CloseHandle(CreateThread(nullptr, 0, ReadInput, nullptr, 0, nullptr)); }

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

bool TakeInterrupt() { return InterlockedExchange(&g_interrupts, 0) != 0; }

bool InterruptWaiting() { return g_interrupts != 0; }

HANDLE InputEvent() { return g_inputEvent; }

HANDLE InterruptEvent() { return g_interruptEvent; }
