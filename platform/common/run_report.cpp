// The run report (see run_report.h).
#include "platform/common/run_report.h"

#include <atomic>
#include <mutex>

#include "board/flash_device.h"

namespace {

// Appends to a fixed buffer, always terminated; what does not fit is cut.
struct Line {
    char* out;
    size_t size;
    size_t used = 0;

    void Put(const char* s)
    {
        for (; *s && used + 1 < size; ++s)
            out[used++] = *s;
        out[used] = 0;
    }
    void Decimal(uint64_t v)
    {
        char text[24];
        char* p = text + sizeof text;
        *--p = 0;
        do {
            *--p = char('0' + v % 10);
            v /= 10;
        } while (v);
        Put(p);
    }
    void Hex(uint32_t v)
    {
        char text[11] = "0x";
        for (int i = 0; i < 8; ++i)
            text[2 + i] = "0123456789ABCDEF"[(v >> (28 - 4 * i)) & 0xF];
        text[10] = 0;
        Put(text);
    }
    void Part(const char* s)
    {
        if (parts++)
            Put("; ");
        Put(s);
    }
    int parts = 0;
};

std::atomic<const char*> g_program{nullptr};
std::atomic<bool> g_mapped{false};
std::atomic<int> g_registrySave{0}, g_registryClear{0}, g_restart{0};
std::atomic<bool> g_signal{false};
std::atomic<bool> g_closed{false};
// The board's change record when the last Yes/No question was shown.
std::atomic<uint64_t> g_askedErased{0}, g_askedProgrammed{0};
std::atomic<uint32_t> g_askedLow{~0u}, g_askedHigh{0};

// The pending reason: the box that reports a failure may be shown by
// another thread than the one whose call failed (its owner's).
std::mutex g_reasonMutex;
std::string g_reason;

// The facts now (the board's change record included). Async-signal-safe.
RunFacts CurrentFacts()
{
    board::FlashChanges c = board::FlashProgramChanges();
    RunFacts f;
    f.erasedBytes = c.erasedBytes;
    f.programmedBytes = c.programmedBytes;
    f.changedLow = c.changedLow;
    f.changedHigh = c.changedHigh;
    f.flashMapped = g_mapped.load();
    f.reachedQuestion = c.erasedBytes == g_askedErased.load() && c.programmedBytes == g_askedProgrammed.load();
    f.writtenLow = g_askedLow.load();
    f.writtenHigh = g_askedHigh.load();
    f.registrySave = g_registrySave.load();
    f.registryClear = g_registryClear.load();
    f.restart = g_restart.load();
    f.stoppedBySignal = g_signal.load();
    return f;
}

}  // namespace

size_t RunFormatClosing(const RunFacts& f, const char* program, char* out, size_t n)
{
    if (n < 2) {   // no room for a newline
        if (n == 1)
            out[0] = 0;
        return 0;
    }
    Line line{out, n};
    line.Put(program);
    line.Put(": ");
    const bool changed = f.erasedBytes + f.programmedBytes > 0;
    if (changed && f.reachedQuestion) {
        line.Part("flash written and read back: ");
        line.Decimal(f.writtenHigh > f.writtenLow ? f.writtenHigh - f.writtenLow : 0);
        line.Put(" bytes at flash offset ");
        line.Hex(f.writtenLow);
    } else if (changed) {
        line.Part("FAILED: flash changed (");
        line.Decimal(f.erasedBytes);
        line.Put(" bytes erased, ");
        line.Decimal(f.programmedBytes);
        line.Put(" programmed, in ");
        line.Hex(f.changedLow);
        line.Put("-");
        line.Hex(f.changedHigh - 1);
        line.Put(") and the update did not complete; do not restart the device until an update completes");
    } else if (f.flashMapped) {
        line.Part("flash unchanged");
    }
    if (f.registryClear)
        line.Part(f.registryClear > 0 ? "registry cleared" : "registry clear FAILED");
    if (f.registrySave)
        line.Part(f.registrySave > 0 ? "registry saved" : "registry save FAILED");
    if (f.restart)
        line.Part(f.restart == 1 ? "warm restart" : f.restart == 2 ? "cold restart" : "restart FAILED");
    if (line.parts == 0)
        line.Part("nothing done, flash unchanged");
    if (f.stoppedBySignal)
        line.Part("stopped by a signal");
    if (line.used + 2 > n)
        line.used = n - 2;   // room for the newline
    out[line.used++] = '\n';
    out[line.used] = 0;
    return line.used;
}

size_t RunFoldLine(const char* text, size_t n, size_t width, char* out, size_t outSize)
{
    if (outSize == 0)
        return 0;
    size_t used = 0, column = 0;
    auto put = [&](char c) {
        if (used + 1 < outSize)
            out[used++] = c;
        column = c == '\n' ? 0 : column + 1;
    };
    const size_t indent = 2;
    const bool fold = width > indent + 1;
    for (size_t i = 0; i < n;) {
        if (text[i] == '\n' || !fold) {
            put(text[i++]);
            continue;
        }
        // The word from i (a blank before it goes with it), and whether it
        // still fits the line.
        size_t end = i + (text[i] == ' ' ? 1 : 0);
        while (end < n && text[end] != ' ' && text[end] != '\n')
            ++end;
        if (column > indent && column + (end - i) >= width) {
            put('\n');
            for (size_t k = 0; k < indent; ++k)
                put(' ');
            if (text[i] == ' ')
                ++i;
        }
        for (; i < end; ++i) {
            if (column + 1 >= width) {   // a word wider than the line
                put('\n');
                for (size_t k = 0; k < indent; ++k)
                    put(' ');
            }
            put(text[i]);
        }
    }
    out[used] = 0;
    return used;
}

void RunReportEnable(const char* program)
{
    g_program.store(program);
}

bool RunReportEnabled()
{
    return g_program.load() != nullptr;
}

void RunNoteFlashMapped()
{
    g_mapped.store(true);
}

void RunNoteQuestion()
{
    board::FlashChanges c = board::FlashProgramChanges();
    g_askedErased.store(c.erasedBytes);
    g_askedProgrammed.store(c.programmedBytes);
    g_askedLow.store(c.programmedLow);
    g_askedHigh.store(c.programmedHigh);
}

void RunNoteRegistrySave(bool ok)
{
    g_registrySave.store(ok ? 1 : -1);
}

void RunNoteRegistryClear(bool ok)
{
    g_registryClear.store(ok ? 1 : -1);
}

void RunNoteRestart(int kind)
{
    g_restart.store(kind);
}

void RunNoteStoppedBySignal()
{
    g_signal.store(true);
}

size_t RunTakeClosing(char* out, size_t n, size_t width)
{
    const char* program = g_program.load();
    if (program == nullptr || g_closed.exchange(true))
        return 0;
    char line[512];
    return RunFoldLine(line, RunFormatClosing(CurrentFacts(), program, line, sizeof line), width, out, n);
}

void RunNoteReason(const std::string& reason)
{
    std::lock_guard<std::mutex> hold(g_reasonMutex);
    g_reason = reason;
}

void RunDropReason()
{
    std::lock_guard<std::mutex> hold(g_reasonMutex);
    g_reason.clear();
}

std::string RunPendingReason()
{
    std::lock_guard<std::mutex> hold(g_reasonMutex);
    return g_reason;
}

std::string RunReasonLine()
{
    const char* program = g_program.load();
    std::lock_guard<std::mutex> hold(g_reasonMutex);
    if (g_reason.empty() || program == nullptr)
        return "";
    return std::string(program) + ": " + g_reason + "\n";
}
