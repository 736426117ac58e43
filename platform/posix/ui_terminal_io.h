// Terminal input and output of the terminal presenter: taking the
// terminal (keys at once, no echo) and giving it back, its size, the
// resize and stop/continue signals, and reading one key.
#pragma once

namespace term {

// Whether TERM names a terminal that can move its cursor.
bool HasCursorControl();
// Columns and rows of the terminal on fd (80 x 24 when it will not say).
void TerminalSize(int fd, int fallbackFd, int* cols, int* rows);

// Takes the terminal on inFd: keys at once, no echo (Ctrl-C stays a
// signal), and the resize and stop/continue handlers. False when inFd is
// no terminal (then nothing was changed).
bool Take(int inFd);
// Gives the terminal back as it was; handlers: Take had installed them.
void GiveBack(int inFd, bool handlers);
// Readable after a resize or fg (written by the signal handlers).
int SignalFd();
// Whether the screen must be drawn afresh (a resize or fg came since the
// last look); drains SignalFd.
bool TakeRedraw();

// Discards the keys typed but not read yet.
void DropTypedAhead(int inFd);
// One key of inFd: a character, or one of Key (ui_terminal_layout.h).
// kNone when one of fds became readable or the time-out passed; kEnd at the
// end of input.
int ReadKey(int inFd, const int* fds, int nfds, int timeoutMs);

}  // namespace term
