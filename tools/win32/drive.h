// The parts of drive (see drive.cpp): its input and output, the program it
// runs, the program's windows as drive finds and reads them, and the line
// protocol spoken for them.
#pragma once
#include <windows.h>

#include <string>
#include <vector>

#include "platform/common/ui_view.h"

// ---- Output and input (drive_io.cpp) -------------------------------------

// Writes text to standard error (the console as wide text); a closed
// standard error does not stop the program's run.
void Write(const std::string& text);

// DRIVE_TRACE set: what drive sees, on standard error.
extern bool g_trace;
void Trace(const std::string& what, HWND h);

// A line of standard input, read by a thread of its own.
struct Line {
    std::string text;
    bool tooLong = false;   // longer than lineproto::kMaxLine: read past, not kept
};
// Takes Ctrl-C from now on (before the program starts), and reads standard
// input from StartReading on.
void StartInput();
void StartReading();
// 1: a line, 0: end of input, -1: none yet.
int TakeLine(Line* line);
// A line or the end of input is waiting.
bool InputWaiting();
// Whether Ctrl-C came since last asked (consumed), and whether it came (not).
bool TakeInterrupt();
bool InterruptWaiting();
// Set when a line or the end of input came, and on Ctrl-C.
HANDLE InputEvent();
HANDLE InterruptEvent();

// ---- The program (drive.cpp) -----------------------------------------------

// How often drive looks at the program and its windows while it waits.
constexpr DWORD kPollMs = 10;

extern PROCESS_INFORMATION g_child;
extern std::string g_unit;   // shown after a bar's numbers ("KB" for flashupdate)
bool ChildRunning();
// An environment variable, "" when unset.
std::wstring EnvOf(const wchar_t* name);
// A Unix path given to drive under Wine, as its DOS name (others unchanged).
std::wstring HostOfUnix(const std::wstring& path);

// ---- The program's windows (drive_windows.cpp) -----------------------------

// A message box's text, and the open-file dialog's file-name box (the
// explorer style's combo box: the platform never asks for the old style).
constexpr int kIdBoxText = 0xFFFF;
constexpr int kIdFileNameCombo = 0x47C;

enum class Kind { Unknown, Dialog, Box, Chooser };

struct Tracked {
    HWND h;
    Kind kind = Kind::Unknown;
    bool shown = false;
    bool answered = false;   // a box or chooser that was answered and is going away
    bool reads = false;
    bool eofSent = false;
    std::vector<HWND> controls;   // a dialog's controls, in the order of its views
    UiDialogView written, latest;
    DWORD lastWrite = 0;
};

// The program's windows now, in the order they appeared (the newest last).
extern std::vector<Tracked> g_windows;

std::wstring ClassOf(HWND h);
std::wstring TextOf(HWND h);
std::wstring CaptionOf(HWND h);
std::vector<HWND> ChildrenOf(HWND h);
// A control anywhere below h with that id, or nullptr.
HWND Descendant(HWND h, int id);
// Waits until the window's thread has handled what was sent to it before
// (or runs a modal loop that it opened meanwhile). False when the window
// or the program has gone.
bool Sync(HWND h);
// Presses a button (BM_CLICK) without waiting for the press to be handled:
// it may open a modal window whose answer is drive's to give.
void Click(HWND button);

// Loads drive_hook.dll (before the program starts: it inherits the
// variable that names drive's thread to the hook); false when it cannot.
bool LoadHook();

// What a window is: a message box, the open-file dialog or a dialog.
Kind Classify(HWND h);
// A dialog's caption and controls now. The first time its controls are
// found; afterwards what a control going away no longer answers keeps its
// last value (t->latest).
UiDialogView Snapshot(Tracked* t, bool first);

// Finds the program's windows (its top-level windows of the dialog class
// "#32770"): new ones are added (the older first); the ones gone are
// forgotten, after DialogGone.
void Scan();
// The window in front: the one that appeared last, of those that have no
// answer yet.
Tracked* Front();
// Answers a box or the open-file dialog: presses its button id (or sends
// the command where it has none, without waiting), waits until the window
// has gone, then lets its owner's thread take up what follows the answer.
void Answer(Tracked& t, int id);

// ---- The line protocol for them (drive_protocol.cpp, drive_chooser.cpp) ----

void HandleBox(Tracked& t);
void HandleChooser(Tracked& t);
void ShowDialog(Tracked& t);
// Writes what changed in the dialogs shown (throttled unless always).
void FlushShown(bool always);
// A window has gone; ended: by its own thread (a dialog that ended).
void DialogGone(Tracked& t, bool ended);
// Reads a line for the dialog in front and presses what it names.
void ReadCommand(Tracked& t);
// Ctrl-C to the window in front.
void Interrupt();
// Waits for the next thing a box waits for: 1 a line, 0 end of input, -1
// Ctrl-C, -2 the window or the program has gone.
int WaitAnswer(HWND h, Line* line);

// ---- The program's report (drive_report.cpp) --------------------------------

// The pipe the program reports on: made (and named in the environment the
// program inherits) before it starts; drive's copy of its write end closed
// once it has.
void StartReport();
void ReportStarted();
// A box's question with the reasons the program gave for it, between the
// box's text and its buttons.
std::string WithReasons(std::string question);
// The program's closing line, after everything else (once it has ended).
void WriteClosing();
// Writes what the program says while it waits for the flash, at once.
void WriteNotices();
// Ctrl-C while the program says that it waits for the flash: the wait is
// the window in front and is told to give up; false when no wait is said.
bool CancelWait();
