// The dialog model's lookups, the same for both backends: each backend's
// window model (platform/<backend>/window.h, named by CMake) keeps a
// dialog's controls, their ids and texts under its UiLock.
#include "platform/common/ui_shared.h"

#include <algorithm>
#include <mutex>

#include UI_WINDOW_MODEL_H

Window UiControlLocked(Window dialog, int id)
{
    OsWindowObject* d = UiWindowLocked(dialog);
    if (!d || !d->isDialog)
        return nullptr;
    for (OsWindowObject* c : d->controls)
        if (c->id == id)
            return c;
    return nullptr;
}

Window OsGetDlgItem(Window dialog, int id)
{
    std::lock_guard<std::mutex> hold(UiLock());
    return UiControlLocked(dialog, id);
}

int OsGetDlgItemText(Window dialog, int id, wchar_t* out, int cap)
{
    if (!out || cap <= 0)
        return 0;
    out[0] = 0;
    std::lock_guard<std::mutex> hold(UiLock());
    OsWindowObject* control = UiControlLocked(dialog, id);
    if (!control)
        return 0;
    size_t n = std::min(control->text.size(), static_cast<size_t>(cap - 1));
    control->text.copy(out, n);
    out[n] = 0;
    return static_cast<int>(n);
}
