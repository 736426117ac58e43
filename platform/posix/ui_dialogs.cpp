// The dialog manager: windows made from templates, modal loops, and the
// calls that touch a dialog from any thread. No call from another thread
// runs program code on the dialog's behalf: a text, a bar's message or an
// end is made under the window lock by the calling thread itself, and the
// loop is woken to show it; presenters see whole states in order.
#include <fcntl.h>
#include <sys/timerfd.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <thread>

#include "platform/common/run_report.h"
#include "platform/posix/object.h"
#include "platform/posix/ui_presenter.h"

namespace {

// Ctrl-C belongs to the window in front when it arrives, the one opened
// last. Each open window holds a slot with a pipe of its own, into which
// the signal handler writes one byte; a slot is drained when it is taken,
// so an interrupt of a window that has gone is never held for the next one.
// order 0: the slot is free.
struct InterruptSlot {
    std::atomic<uint64_t> order{0};
    int fds[2] = {-1, -1};
};
constexpr int kInterruptSlots = 8;
InterruptSlot g_slots[kInterruptSlots];
std::atomic<uint64_t> g_nextOrder{1};
std::atomic<bool> g_slotsReady{false};
std::mutex g_slotLock;   // taking and giving back slots
std::once_flag g_interruptOnce;
static_assert(std::atomic<uint64_t>::is_always_lock_free, "read by the signal handler");

// A change that only needs showing (a bar set from another thread) wakes a
// dialog's loop at most this often; the presenters draw far less often.
constexpr int64_t kShowChangeWithinNs = 20 * 1000 * 1000;

int64_t MonotonicNs()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return int64_t(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

// The descriptor that becomes readable on an interrupt of slot (-1: none).
int UiInterruptFd(int slot)
{
    return slot >= 0 && slot < kInterruptSlots ? g_slots[slot].fds[0] : -1;
}

// The slot of the message box or open-file dialog that this thread shows.
thread_local int t_boxSlot = -1;

// Holds a slot for a box for as long as it is shown.
class BoxInterrupts {
public:
    BoxInterrupts() : previous_(t_boxSlot) { t_boxSlot = UiInterruptOpen(); }
    ~BoxInterrupts()
    {
        UiInterruptClose(t_boxSlot);
        t_boxSlot = previous_;
    }
    BoxInterrupts(const BoxInterrupts&) = delete;
    BoxInterrupts& operator=(const BoxInterrupts&) = delete;

private:
    int previous_;
};

}  // namespace

// One per thread that runs modal loops: its wake-up pipe and timer.
struct UiThreadContext {
    std::thread::id thread = std::this_thread::get_id();
    int wake[2] = {-1, -1};
    int timer = -1;   // wakes the loop at a set time (WakeSoon)
    // Guarded by UiLock: a wake-up byte is in the pipe that the loop has not
    // drained yet, or the timer is set, so the loop will look again anyway;
    // and when the loop last started a round after a wake-up.
    bool wakePending = false;
    bool timerSet = false;
    int64_t lastLookNs = 0;

    UiThreadContext()
    {
        if (pipe2(wake, O_NONBLOCK | O_CLOEXEC) != 0)
            wake[0] = wake[1] = -1;
        timer = timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC);
    }
    ~UiThreadContext()
    {
        if (wake[0] >= 0) {
            close(wake[0]);
            close(wake[1]);
        }
        if (timer >= 0)
            close(timer);
    }
    // Wakes the loop now. Requires UiLock.
    void Wake()
    {
        if (wakePending)
            return;
        wakePending = true;
        UiPoke(wake[1]);
    }
    // Wakes the loop for a change that only needs to be shown: now when the
    // loop has not looked for kShowChangeWithinNs, else once that much after
    // it last did (a worker sets its bars after every chunk). Requires UiLock.
    void WakeSoon()
    {
        if (wakePending || timerSet)
            return;
        int64_t due = lastLookNs + kShowChangeWithinNs;
        if (timer < 0 || MonotonicNs() >= due) {
            Wake();
            return;
        }
        itimerspec at{};
        at.it_value.tv_sec = static_cast<time_t>(due / 1000000000);
        at.it_value.tv_nsec = static_cast<long>(due % 1000000000);
        if (timerfd_settime(timer, TFD_TIMER_ABSTIME, &at, nullptr) == 0)
            timerSet = true;
        else
            Wake();
    }
    // The loop is about to look at everything: wake-ups so far are used up.
    // Called after the pipe and the timer were drained.
    void Looked()
    {
        std::lock_guard<std::mutex> hold(UiLock());
        wakePending = false;
        timerSet = false;
        lastLookNs = MonotonicNs();
    }
};

namespace {

UiThreadContext* ThisThreadContext()
{
    thread_local std::unique_ptr<UiThreadContext> ctx;
    if (!ctx)
        ctx = std::make_unique<UiThreadContext>();
    return ctx.get();
}

// Marks a visible change of a control's state that runs no program code
// (a text, a progress bar) and wakes the dialog's loop: from another thread
// than the loop's soon rather than at once (see WakeSoon). Requires UiLock.
void ControlChanged(OsWindowObject* dialog)
{
    dialog->version++;
    UiThreadContext* loop = dialog->loop;
    if (loop && loop->thread == std::this_thread::get_id())
        loop->Wake();
    else if (loop)
        loop->WakeSoon();
}

}  // namespace

void UiPrepareInterrupts()
{
    std::call_once(g_interruptOnce, [] {
        for (InterruptSlot& slot : g_slots)
            if (pipe2(slot.fds, O_NONBLOCK | O_CLOEXEC) != 0)
                slot.fds[0] = slot.fds[1] = -1;
        g_slotsReady.store(true);
    });
}

bool UiInterrupt()
{
    if (!g_slotsReady.load())
        return false;
    InterruptSlot* front = nullptr;
    uint64_t frontOrder = 0;
    for (InterruptSlot& slot : g_slots) {
        uint64_t order = slot.order.load();
        if (order > frontOrder && slot.fds[1] >= 0) {
            front = &slot;
            frontOrder = order;
        }
    }
    if (front == nullptr)
        return false;
    UiPoke(front->fds[1]);
    return true;
}

int UiInterruptOpen()
{
    UiPrepareInterrupts();
    std::lock_guard<std::mutex> hold(g_slotLock);
    for (int i = 0; i < kInterruptSlots; ++i) {
        InterruptSlot& slot = g_slots[i];
        if (slot.order.load() != 0 || slot.fds[0] < 0)
            continue;
        // An interrupt of the slot's last window that came too late.
        UiDrain(slot.fds[0]);
        slot.order.store(g_nextOrder.fetch_add(1));
        return i;
    }
    return -1;   // more windows open than slots: this one takes no interrupt
}

void UiInterruptClose(int slot)
{
    if (slot < 0 || slot >= kInterruptSlots)
        return;
    std::lock_guard<std::mutex> hold(g_slotLock);
    g_slots[slot].order.store(0);
}

bool UiInterruptTake(int slot)
{
    int fd = UiInterruptFd(slot);
    char c;
    if (fd < 0 || read(fd, &c, 1) != 1)
        return false;
    UiDrain(fd);   // several Ctrl-C at once are one interrupt of this window
    return true;
}

bool UiBoxInterrupted() { return UiInterruptTake(t_boxSlot); }

void UiBoxAnswered()
{
    int slot = t_boxSlot;
    if (slot < 0 || slot >= kInterruptSlots)
        return;
    bool late;
    {
        std::lock_guard<std::mutex> hold(g_slotLock);
        g_slots[slot].order.store(0);   // the handler picks the window behind from now on
        late = UiInterruptTake(slot);
    }
    t_boxSlot = -1;   // given back: the box closes nothing more
    if (late)
        UiInterrupt();
}

int UiBoxWatchFds(int* fds)
{
    int n = 0;
    if (OsPosixTerminationFd() >= 0)
        fds[n++] = OsPosixTerminationFd();
    if (UiInterruptFd(t_boxSlot) >= 0)
        fds[n++] = UiInterruptFd(t_boxSlot);
    return n;
}

// ---- The role's calls ----------------------------------------------------

void OsInitCommonControls() { UiCommonControlsReady(); }

int OsMessageBox(Window owner, const wchar_t* text, const wchar_t* caption, uint32_t style)
{
    UiAwaitOwnerShown(owner, [](const OsWindowObject* d) {
        return d->loop && d->loop->thread != std::this_thread::get_id();
    });
    BoxInterrupts interrupts;   // in front while it is shown
    if ((style & 0xF) == OS_MB_YESNO)
        RunNoteQuestion();
    int answer = UiCurrentPresenter()->AnswerBox(UiWindow(owner) ? owner : nullptr,
                                                 text ? text : L"", caption ? caption : L"", style);
    RunDropReason();   // said with this box
    return UiBoxAnswer(style, answer);
}

// The presenter asks for the file; the chooser takes Ctrl-C while it does.
int OsGetOpenFileName(OsOpenFileName* record)
{
    if (!UiOpenFileUsable(record))
        return 0;
    BoxInterrupts interrupts;   // in front while it is shown
    return UiCurrentPresenter()->OpenFile(record) ? 1 : 0;
}

intptr_t OsDialogBoxIndirectParam(Instance /*module*/, const OsDialogTemplate* tmpl, Window owner,
                                  OsDialogProc proc, intptr_t param)
{
    if (!proc || !UiTemplateUsable(tmpl))
        return -1;
    OsWindowObject* dialog = UiNewDialog(tmpl, owner, proc);
    UiThreadContext* ctx = ThisThreadContext();
    {
        std::lock_guard<std::mutex> hold(UiLock());
        dialog->modal = true;
        dialog->loop = ctx;
    }
    // In front from before its initialisation: an interrupt then is this
    // dialog's, unless a box that the initialisation shows is in front.
    const int interruptSlot = UiInterruptOpen();
    const int interruptFd = UiInterruptFd(interruptSlot);
    UiPresenter* presenter = UiCurrentPresenter();
    presenter->DialogCreated(dialog, dialog->owner);

    proc(dialog, OS_WM_INITDIALOG, 0, param);
    if (!UiEnded(dialog))
        presenter->DialogShown(dialog);
    UiMarkShown(dialog);

    bool terminationSeen = false;
    while (!UiEnded(dialog)) {
        presenter->DialogUpdate(dialog);
        int fds[4];
        int nfds = 0;
        fds[nfds++] = ctx->wake[0];
        if (ctx->timer >= 0)
            fds[nfds++] = ctx->timer;
        if (interruptFd >= 0)
            fds[nfds++] = interruptFd;
        int termFd = terminationSeen ? -1 : OsPosixTerminationFd();
        if (termFd >= 0)
            fds[nfds++] = termFd;
        int command = presenter->WaitCommand(dialog, fds, nfds);
        UiDrain(ctx->wake[0]);
        if (ctx->timer >= 0)
            UiDrain(ctx->timer);
        // After the drains: whatever changed before is seen by the round
        // below; whatever changes from now on wakes the loop again.
        ctx->Looked();
        bool interrupted = false;
        if (command == 0 && UiInterruptTake(interruptSlot)) {
            command = OS_IDCANCEL;
            interrupted = true;
        }
        if (!terminationSeen && OsTerminationRequested()) {
            // A termination request closes the dialog as its user would.
            terminationSeen = true;
            if (command == 0)
                command = OS_IDCANCEL;
        }
        // The command first, then its echo: an echo held up by a slow
        // reader of the transcript must not hold up an Abort, which the
        // worker may be about to look for.
        if (command != 0 && !UiEnded(dialog)) {
            proc(dialog, OS_WM_COMMAND, static_cast<uintptr_t>(command) & 0xFFFFu, 0);
            if (interrupted)
                presenter->DialogInterrupted(dialog);
        }
    }
    {
        std::lock_guard<std::mutex> hold(UiLock());
        dialog->loop = nullptr;
    }
    UiInterruptClose(interruptSlot);
    UiNotifyShownOrEnded();
    presenter->DialogClosed(dialog);
    std::lock_guard<std::mutex> hold(UiLock());
    return dialog->result;
}

int OsEndDialog(Window dialog, intptr_t result)
{
    {
        std::lock_guard<std::mutex> hold(UiLock());
        OsWindowObject* d = UiWindowLocked(dialog);
        if (!d || !d->isDialog)
            return 0;
        d->ended = true;
        d->result = result;
        d->version++;
        if (d->loop)
            d->loop->Wake();
    }
    UiNotifyShownOrEnded();
    return 1;
}

int UiSetText(OsWindowObject* w, const wchar_t* text)
{
    std::wstring value = text ? text : L"";
    {
        std::lock_guard<std::mutex> hold(UiLock());
        w->text = value;
        ControlChanged(UiDialogOf(w));
    }
    if (!w->isDialog)
        UiCurrentPresenter()->TextSet(w, w->id, value);
    return 1;
}

// Only a progress bar takes messages (see the top of this file).
intptr_t OsSendMessage(Window window, uint32_t message, uintptr_t wParam, intptr_t lParam)
{
    std::lock_guard<std::mutex> hold(UiLock());
    OsWindowObject* bar;
    intptr_t answer = UiProgressMessageLocked(window, message, wParam, lParam, &bar);
    if (bar)
        ControlChanged(bar->dialog);
    return answer;
}
