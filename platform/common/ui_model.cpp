// The window model of both backends (see ui_model.h): the windows, their
// lock, and the lookups and calls that only read or build the model.
#include "platform/common/ui_model.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cwctype>
#include <memory>
#include <unordered_set>

namespace {

std::mutex g_lock;
std::vector<std::unique_ptr<OsWindowObject>> g_windows;   // every window ever made
std::unordered_set<const OsWindowObject*> g_known;
// A dialog was first shown or ended. Never destroyed: a worker may still
// notify it after the program's last dialog has gone.
std::condition_variable& g_shownOrEnded = *new std::condition_variable;

std::atomic<bool> g_commonControls{false};

// v within [lo, hi] (lo when the range is empty), as a progress bar keeps it.
int32_t Clamp(int32_t v, int32_t lo, int32_t hi)
{
    if (hi < lo)
        return lo;
    return v < lo ? lo : (v > hi ? hi : v);
}

// A control's kind by its class name, in any letter case.
UiControlKind KindOf(const wchar_t* className)
{
    std::wstring c;
    for (const wchar_t* p = className; *p; ++p)
        c.push_back(static_cast<wchar_t>(std::towupper(*p)));
    if (c == L"BUTTON")
        return UiControlKind::Button;
    if (c == L"STATIC")
        return UiControlKind::Static;
    if (c == L"MSCTLS_PROGRESS32")
        return UiControlKind::Progress;
    return UiControlKind::Other;
}

bool TemplateValid(const OsDialogTemplate* tmpl)
{
    if (!tmpl || tmpl->itemCount < 0 || tmpl->itemCount > 4096)
        return false;
    if (tmpl->itemCount > 0 && !tmpl->items)
        return false;
    for (int i = 0; i < tmpl->itemCount; ++i)
        if (!tmpl->items[i].className)
            return false;
    return true;
}

}  // namespace

std::mutex& UiLock() { return g_lock; }

OsWindowObject* UiWindowLocked(Window w)
{
    return w && g_known.count(w) ? w : nullptr;
}

OsWindowObject* UiWindow(Window w)
{
    std::lock_guard<std::mutex> hold(g_lock);
    return UiWindowLocked(w);
}

OsWindowObject* UiControlLocked(Window dialog, int id)
{
    OsWindowObject* d = UiWindowLocked(dialog);
    if (!d || !d->isDialog)
        return nullptr;
    for (OsWindowObject* c : d->controls)
        if (c->id == id)
            return c;
    return nullptr;
}

OsWindowObject* UiNewDialog(const OsDialogTemplate* tmpl, Window owner, OsDialogProc proc)
{
    if (!TemplateValid(tmpl))
        return nullptr;
    std::lock_guard<std::mutex> hold(g_lock);
    auto dialog = std::make_unique<OsWindowObject>();
    dialog->isDialog = true;
    dialog->text = tmpl->caption ? tmpl->caption : L"";
    dialog->owner = UiWindowLocked(owner);
    dialog->proc = proc;
    for (int i = 0; i < tmpl->itemCount; ++i) {
        const OsDialogItem& item = tmpl->items[i];
        auto control = std::make_unique<OsWindowObject>();
        control->dialog = dialog.get();
        control->id = item.id;
        control->kind = KindOf(item.className);
        control->text = item.text ? item.text : L"";
        control->x = item.x;
        control->y = item.y;
        control->cx = item.cx;
        control->cy = item.cy;
        dialog->controls.push_back(control.get());
        g_known.insert(control.get());
        g_windows.push_back(std::move(control));
    }
    OsWindowObject* d = dialog.get();
    g_known.insert(d);
    g_windows.push_back(std::move(dialog));
    return d;
}

bool UiSnapshot(Window dialog, UiDialogView* out)
{
    std::lock_guard<std::mutex> hold(g_lock);
    OsWindowObject* d = UiWindowLocked(dialog);
    if (!d || !d->isDialog)
        return false;
    out->caption = d->text;
    out->ended = d->ended;
    out->version = d->version;
    out->controls.clear();
    for (OsWindowObject* c : d->controls)
        out->controls.push_back({c->id, c->kind, c->text, c->rangeLow, c->rangeHigh, c->pos, c->x, c->y,
                                 c->cx, c->cy, c->rangeSet});
    return true;
}

intptr_t UiProgressMessageLocked(Window window, uint32_t message, uintptr_t wParam, intptr_t lParam,
                                 OsWindowObject** changed)
{
    *changed = nullptr;
    OsWindowObject* w = UiWindowLocked(window);
    if (!w || w->isDialog || w->kind != UiControlKind::Progress)
        return 0;
    intptr_t previous = 0;
    switch (message) {
    case OS_PBM_SETRANGE32:
        previous = (w->rangeLow & 0xFFFF) | (static_cast<intptr_t>(w->rangeHigh & 0xFFFF) << 16);
        w->rangeLow = static_cast<int32_t>(wParam);
        w->rangeHigh = static_cast<int32_t>(lParam);
        w->rangeSet = true;
        w->rangeDirty = true;
        w->pos = Clamp(w->pos, w->rangeLow, w->rangeHigh);
        *changed = w;
        break;
    case OS_PBM_SETPOS:
        previous = w->pos;
        w->pos = Clamp(static_cast<int32_t>(wParam), w->rangeLow, w->rangeHigh);
        w->posDirty = true;
        *changed = w;
        break;
    default:
        break;
    }
    return previous;
}

void UiCommonControlsReady() { g_commonControls = true; }

bool UiTemplateUsable(const OsDialogTemplate* tmpl)
{
    if (!TemplateValid(tmpl))
        return false;
    if (g_commonControls)
        return true;
    for (int i = 0; i < tmpl->itemCount; ++i)
        if (KindOf(tmpl->items[i].className) == UiControlKind::Progress)
            return false;
    return true;
}

void UiAwaitOwnerShown(Window owner, bool (*runsElsewhere)(const OsWindowObject* dialog))
{
    constexpr auto kShownWithin = std::chrono::seconds(1);
    std::unique_lock<std::mutex> hold(g_lock);
    OsWindowObject* d = UiWindowLocked(owner);
    if (!d || !d->isDialog || !d->modal || !runsElsewhere(d))
        return;
    g_shownOrEnded.wait_for(hold, kShownWithin, [d, runsElsewhere] {
        return d->shown || d->ended || !runsElsewhere(d);
    });
}

void UiNotifyShownOrEnded() { g_shownOrEnded.notify_all(); }

void UiMarkShown(OsWindowObject* dialog)
{
    {
        std::lock_guard<std::mutex> hold(g_lock);
        dialog->shown = true;
    }
    g_shownOrEnded.notify_all();
}

bool UiEnded(const OsWindowObject* dialog)
{
    std::lock_guard<std::mutex> hold(g_lock);
    return dialog->ended;
}

bool UiOpenFileUsable(const OsOpenFileName* record)
{
    return record && record->file && record->maxFile != 0;
}

// ---- The role's calls that look a window up in the model ----------------

Window OsGetDlgItem(Window dialog, int id)
{
    std::lock_guard<std::mutex> hold(g_lock);
    return UiControlLocked(dialog, id);
}

int OsSetDlgItemText(Window dialog, int id, const wchar_t* text)
{
    Window control = OsGetDlgItem(dialog, id);
    return control ? UiSetText(control, text) : 0;
}

int OsSetWindowText(Window window, const wchar_t* text)
{
    OsWindowObject* w = UiWindow(window);
    return w ? UiSetText(w, text) : 0;
}
