// The line protocol that drive speaks for the program's message boxes and
// dialogs, through the same lines as the Linux build
// (platform/common/line_protocol.h); the open-file dialog is in
// drive_chooser.cpp.
#include <algorithm>

#include "platform/common/line_protocol.h"
#include "tools/win32/drive.h"

namespace {

void Flush(Tracked& t, bool always)
{
    if (!t.shown || t.kind != Kind::Dialog ||
        (t.latest.caption == t.written.caption && t.latest.controls == t.written.controls))
        return;
    DWORD now = GetTickCount();
    if (!always && now - t.lastWrite < lineproto::kProgressIntervalMs)
        return;
    Write(lineproto::Changes(t.written, t.latest, false, g_unit));
    t.written = t.latest;
    t.lastWrite = now;
}

// Sends command id to the dialog: a press of its button, or the command
// itself where it has no button of that id (2: the close command).
void Press(Tracked& t, int id)
{
    HWND button = nullptr;
    for (size_t i = 0; i < t.latest.controls.size(); ++i)
        if (t.latest.controls[i].kind == UiControlKind::Button && t.latest.controls[i].id == id)
            button = t.controls[i];
    if (button)
        Click(button);
    else
        SendNotifyMessageW(t.h, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), 0);
    Sync(t.h);
}

}  // namespace

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
        HANDLE events[] = {InputEvent(), InterruptEvent(), g_child.hProcess};
        WaitForMultipleObjects(3, events, FALSE, kPollMs * 5);
    }
}

void FlushShown(bool always)
{
    for (Tracked& t : g_windows)
        if (t.shown && t.kind == Kind::Dialog && IsWindow(t.h)) {
            t.latest = Snapshot(&t, false);
            Flush(t, always);
        }
}

void DialogGone(Tracked& t, bool ended)
{
    if (t.shown && t.kind == Kind::Dialog && ended) {
        Flush(t, true);
        Write(lineproto::Closed(t.latest.caption));
    }
}

// ---- Message boxes -------------------------------------------------------

// An interrupt taken once a box has its answer (while the answer's echo
// was written, say) is for the window behind the box, which is in front
// from then on. A dialog there gets it (command 2, as Interrupt gives it)
// before the box's answer lets the program go on, so that the program
// finds it right after the box whichever of its threads goes on first.
void InterruptBehind(const Tracked& box)
{
    HWND owner = GetWindow(box.h, GW_OWNER);
    if (!owner || !InterruptWaiting())
        return;
    for (const Tracked& t : g_windows)
        if (t.h == owner && t.shown && t.kind == Kind::Dialog && TakeInterrupt()) {
            // Sent to the dialog itself: its buttons take no clicks while
            // the box keeps it disabled.
            SendNotifyMessageW(owner, WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED), 0);
            Sync(owner);
            return;
        }
}

void HandleBox(Tracked& t)
{
    Trace("box", t.h);
    FlushShown(true);   // what the dialogs show so far comes first
    Sync(t.h);
    // The default: the button drawn as the default push button, else the
    // one the box names (DM_GETDEFID), else the first. The style comes
    // first: Wine's box gives MB_DEFBUTTON2's button that style and the
    // focus but still answers DM_GETDEFID with the first.
    std::vector<int> ids;
    int def = 0;
    for (HWND c : ChildrenOf(t.h))
        if (lineproto::Lower(ClassOf(c)) == L"button" && IsWindowVisible(c)) {
            ids.push_back(GetDlgCtrlID(c));
            if (!def && (GetWindowLongW(c, GWL_STYLE) & 0xF) == BS_DEFPUSHBUTTON)
                def = ids.back();
        }
    if (ids.empty())
        return;
    auto has = [&](int id) { return std::find(ids.begin(), ids.end(), id) != ids.end(); };
    DWORD_PTR defId = 0;
    if (!def && SendMessageTimeoutW(t.h, DM_GETDEFID, 0, 0, SMTO_ABORTIFHUNG, 1000, &defId) &&
        HIWORD(defId) == DC_HASDEFID && has(LOWORD(defId)))
        def = LOWORD(defId);
    if (!def)
        def = ids[0];
    // Closing without a choice: Cancel where the box has it, No for Yes/No,
    // else its last button (the only one).
    int close = has(IDCANCEL) ? IDCANCEL : has(IDNO) ? IDNO : ids.back();
    auto press = [&](int id) {
        InterruptBehind(t);
        Answer(t, id);
    };
    Write(WithReasons(lineproto::BoxQuestion(CaptionOf(t.h), TextOf(GetDlgItem(t.h, kIdBoxText)), ids)));
    for (;;) {
        Line line;
        int got = WaitAnswer(t.h, &line);
        Trace("answer " + std::to_string(got), t.h);
        if (got == -2)
            return;
        if (got == -1) {
            Write(lineproto::BoxTakenWithout(close, "interrupted"));
            return press(close);
        }
        if (got == 0) {
            Write(lineproto::BoxTakenWithout(def, "end of input"));
            return press(def);
        }
        if (line.tooLong) {
            Write(lineproto::BoxTooLong(ids));
            continue;
        }
        if (int answer = lineproto::BoxAnswerOf(line.text, ids)) {
            Write(lineproto::BoxTaken(answer));
            return press(answer);
        }
        Write(lineproto::BoxNoButton(line.text, ids));
    }
}

// ---- The program's dialogs ---------------------------------------------------

void ShowDialog(Tracked& t)
{
    Sync(t.h);
    UiDialogView view = Snapshot(&t, true);
    bool reads = false;
    Write(lineproto::DialogShown(view, g_unit, &reads));
    t.reads = reads;
    t.written = t.latest = view;
    t.lastWrite = GetTickCount();
}

void ReadCommand(Tracked& t)
{
    Line line;
    int got = TakeLine(&line);
    if (got < 0)
        return;
    if (got == 0) {
        t.eofSent = true;
        Write(lineproto::Echo(t.latest, IDCANCEL) + " (end of input)\n");
        return Press(t, IDCANCEL);
    }
    if (line.tooLong) {
        Write(lineproto::TooLong() + "\n");
        return;
    }
    std::string complaint;
    int id = lineproto::CommandOf(t.latest, lineproto::Trim(line.text), &complaint);
    if (id == 0) {
        Write(complaint);
        return;
    }
    Write(lineproto::Echo(t.latest, id) + "\n");
    Press(t, id);
}

// Ctrl-C goes to the window in front: a box takes it as Escape, the
// open-file dialog as cancel (both in their handlers), a dialog as command
// 2. With no window open the program is ended, as the Linux program ends
// on Ctrl-C when it shows nothing (a restart delay ends without the
// restart).
void Interrupt()
{
    if (CancelWait()) {
        TakeInterrupt();
        return;
    }
    Tracked* front = Front();
    if (!front) {
        if (TakeInterrupt())
            TerminateProcess(g_child.hProcess, 1);
        return;
    }
    if (front->kind == Kind::Dialog && TakeInterrupt()) {
        FlushShown(true);   // what it showed when the interrupt came, first
        Write(lineproto::InterruptTaken(front->latest));
        Press(*front, IDCANCEL);
    }
    // A box or chooser that is not shown yet takes it when it is.
}
