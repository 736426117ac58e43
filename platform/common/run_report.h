// The run report: what a run did to the flash, the registry and the device,
// said in one closing line on standard error when the run ends, whichever
// way ("flashupdate: flash unchanged", "flashupdate: FAILED: ..."); and the
// system's reason for a failed call, said beside the message box that
// reports the failure. A launcher turns it on (RunReportEnable); the
// platform's roles note what they see.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

// The facts the closing line is made of.
struct RunFacts {
    uint64_t erasedBytes = 0;      // by the program's own bus cycles
    uint64_t programmedBytes = 0;
    uint32_t changedLow = ~0u, changedHigh = 0;   // flash offsets, [low, high)
    bool flashMapped = false;       // the program opened a window onto the flash
    bool reachedQuestion = false;   // every change so far was followed by a Yes/No question
    uint32_t writtenLow = ~0u, writtenHigh = 0;   // what was programmed by then
    int registrySave = 0;           // 0: none, 1: saved, -1: failed
    int registryClear = 0;
    int restart = 0;                // 0: none, 1: warm, 2: cold, -1: failed
    bool stoppedBySignal = false;   // SIGINT with no window to take it, SIGTERM, SIGHUP
};

// Writes the closing line for facts (program name first, newline at the
// end) into out (size n, terminated); returns its length. Allocates
// nothing and takes no lock: a signal handler may call it.
size_t RunFormatClosing(const RunFacts& facts, const char* program, char* out, size_t n);

// The line (text of n bytes, one newline at its end) folded at blanks into
// lines of fewer than width columns, the further ones indented by two
// blanks, for a terminal that width wide (0: as it is). Written to out
// (size outSize, terminated); returns the length. Async-signal-safe.
size_t RunFoldLine(const char* text, size_t n, size_t width, char* out, size_t outSize);

// The launcher's: this run ends with a closing line naming program.
void RunReportEnable(const char* program);
bool RunReportEnabled();

// What the roles saw.
void RunNoteFlashMapped();
void RunNoteQuestion();   // a Yes/No message box was shown
void RunNoteRegistrySave(bool ok);
void RunNoteRegistryClear(bool ok);
void RunNoteRestart(int kind);   // as RunFacts::restart
void RunNoteStoppedBySignal();   // async-signal-safe

// The closing line, folded for width columns (0: one line), into out
// (size n); once per run: 0 when it was taken before or the report is off.
// Async-signal-safe.
size_t RunTakeClosing(char* out, size_t n, size_t width = 0);

// RunTakeClosing written to fd (the Linux build's; the Win32 build says it
// through its report channel). Async-signal-safe.
void RunWriteClosing(int fd, size_t width = 0);

// The system's reason for the last failed call that a box may report ("No
// such file or directory"): noted by the role that failed, shown by the
// next message box (whichever thread shows it), then dropped. A call of
// the same kind that succeeds drops it as well.
void RunNoteReason(const std::string& reason);
void RunDropReason();
// The reason noted and not yet shown, or "".
std::string RunPendingReason();
// The line a presenter shows with the box: "<program>: <reason>\n", or ""
// when there is no reason (or the report is off).
std::string RunReasonLine();
