// Presenters: what shows the dialogs and message boxes to a user (or a
// script, or a test) and turns the answers into commands. The dialog manager
// (ui_dialogs.cpp) owns the windows and runs the modal loops; the one current
// presenter only draws and asks (OsRunProgram picks the terminal or the line
// protocol, tests install the double). Its slots are called without UiLock.
#pragma once
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/common/ui_shared.h"
#include "platform/host/entry.h"
#include "platform/common/ui_model.h"
#include "platform/ui.h"

class UiPresenter {
public:
    virtual ~UiPresenter() = default;

    // A message box, on the calling thread (any thread). Blocks until
    // answered; returns one of the box's buttons (UiBoxButtons).
    virtual int AnswerBox(Window owner, const std::wstring& text, const std::wstring& caption,
                          uint32_t style) = 0;

    // The open-file dialog, on the calling thread. Nonzero: record->file
    // holds the chosen path. 0: cancelled (file untouched).
    virtual int OpenFile(OsOpenFileName* record) = 0;

    // A modal dialog was created from its template, before initialisation.
    virtual void DialogCreated(Window /*dialog*/, Window /*owner*/) {}

    // The dialog is first shown (after initialisation, unless it ended in it).
    virtual void DialogShown(Window /*dialog*/) {}

    // Called on the dialog's thread after every round of its modal loop:
    // draw what changed (a presenter may hold changes back to throttle its
    // output; it is then asked again when WaitCommand times out).
    virtual void DialogUpdate(Window /*dialog*/) {}

    // Waits for the user's next command of the dialog. Returns its id, or 0
    // when one of fds became readable (the loop has work) or the presenter's
    // own time-out passed. Must return promptly once any of fds is readable.
    virtual int WaitCommand(Window dialog, const int* fds, int nfds) = 0;

    // Ctrl-C was taken as the dialog's command 2 (close, Abort), just before
    // the command is sent. On the dialog's thread.
    virtual void DialogInterrupted(Window /*dialog*/) {}

    // A line of the platform's own (a wait that lasts says what it waits
    // for), shown below what is shown so far. Any thread.
    virtual void Notice(const std::string& /*line*/) {}

    // The dialog ended; draw its last state. On the dialog's thread.
    virtual void DialogClosed(Window /*dialog*/) {}

    // A control's text was set (on the setting thread, after the change).
    virtual void TextSet(Window /*control*/, int /*id*/, const std::wstring& /*text*/) {}
};

// The current presenter (never nullptr: the line protocol on standard
// input/error until another is set). Set takes ownership; the previous one
// is returned to the caller (nullptr restores the line protocol). Swap
// presenters only while no dialog or message box is open.
UiPresenter* UiCurrentPresenter();
std::unique_ptr<UiPresenter> UiSetPresenter(std::unique_ptr<UiPresenter> presenter);

// The unattended line protocol, reading lines from inFd and writing to
// outFd (the caller keeps both open while it is in use). typed: a person
// types the lines at a terminal without cursor control: an empty line takes
// a box's default and presses a dialog's first button, a small number
// presses the button in that place, each change is written once.
std::unique_ptr<UiPresenter> UiNewLinePresenter(int inFd, int outFd, bool typed = false);
// The interactive terminal presenter (inFd a terminal).
std::unique_ptr<UiPresenter> UiNewTerminalPresenter(int inFd, int outFd);
// Puts the terminal back as it was before the terminal presenter changed
// it. Async-signal-safe (for the path that ends the process on a signal).
void UiRestoreTerminalFromSignal();

// ---- Helpers shared by presenters --------------------------------------

// What a path typed at the open-file dialog names. A device path ("\nk.bin")
// and a host path ("./x.bin", "/tmp/x.bin", "sub/x.bin") stand as they are;
// a bare name ("nk.bin") or a relative device path ("Tools\x.bin") is taken
// in the folder the dialog shows (initialDir, "\" when none), as a file
// dialog does.
std::wstring UiResolveChoice(const std::wstring& typed, const wchar_t* initialDir);
// Why the open-file dialog refuses path ("No such file: " and the like,
// followed by the path when shown), or "" when it takes it.
std::string UiChoiceError(const std::wstring& path, const OsOpenFileName* record);

// The unit shown after the progress bars' numbers ("KB" for flashupdate;
// "", the default, shows none). Set once by a program's launcher; unit must
// stay valid (a literal).
void UiSetBarUnit(const char* unit);
std::string UiBarUnit();

// Ctrl-C: goes to the window in front, the open window opened last: a
// dialog takes it as command 2, a message box as Escape, the open-file
// dialog as cancel. It is never held for a window opened later.
// Async-signal-safe. Returns false when no window is open (the caller then
// terminates).
bool UiInterrupt();
// Must be called once before UiInterrupt can be used from a signal handler.
void UiPrepareInterrupts();
// A window takes interrupts from when it opens to when it closes: its slot
// (-1 when every slot is in use: it then takes none), and whether one came
// (consumed).
int UiInterruptOpen();
void UiInterruptClose(int slot);
bool UiInterruptTake(int slot);
// For presenters, inside MessageBox and OpenFile: the descriptors to watch
// while the box waits (termination, and the box's interrupt), written to
// fds (room for 2), and their count; and whether the box was interrupted
// (consumed: answer it as Escape, or cancel).
int UiBoxWatchFds(int* fds);
bool UiBoxInterrupted();
// For presenters: the box has its answer (before its echo is written, which
// may block). From now on it is no longer in front: an interrupt goes to the
// window behind it, and one that came after the answer was taken is handed
// on to that window.
void UiBoxAnswered();

// Waits until one of fds is readable (or hung up) or timeoutMs passed (-1:
// no limit; 0: a look without waiting); whether one is.
bool UiWaitReadable(const int* fds, int nfds, int timeoutMs);
// The first filter of an open-file record: its name and its pattern, each
// "" when it has none.
void UiFirstFilter(const wchar_t* filter, std::wstring* name, std::wstring* pattern);

// Writes all of text to fd (retrying short writes and interruptions); gives
// up silently when the descriptor is closed or broken.
void UiWriteAll(int fd, const std::string& text);
// Wake-up pipes (non-blocking): UiPoke writes one byte into the write end
// (none when fd is -1; a full pipe is awake already; async-signal-safe),
// UiDrain reads the read end until it is empty.
void UiPoke(int fd);
void UiDrain(int fd);
