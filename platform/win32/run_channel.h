// Where a Win32 run says its closing line and the reasons beside its boxes:
// to the report pipe that drive.exe hands it (its handle's number in
// DRIVE_REPORT; its own standard handles go nowhere then), so that drive
// writes them into the transcript at their places; else to standard error.
// Each record is one line after a mark: '?' a reason (said with the next
// box), '!' the closing line.
#pragma once

// Notes the system's words for a failed call's error code (in UTF-8,
// without their line end) as the reason for the box that reports it.
void RunWin32NoteSystemReason(unsigned long error);
// The pending reason (if any) for the box about to be shown.
void RunWin32SayReason();
// The closing line, once per run.
void RunWin32SayClosing();
// A wait for the flash that lasts: its line (text), or its end (nullptr).
void RunWin32SayWait(const char* text);
// Whether drive asked a said wait to give up (Ctrl-C while it was said).
bool RunWin32WaitCancelled();
