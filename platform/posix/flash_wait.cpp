// How a long wait for the board's flash is presented (common/sync.h): its
// line goes to the current presenter, and the wait is in front for Ctrl-C,
// which then asks the program to end: the waiting command must not go on
// without the flash.
#include "platform/common/sync.h"
#include "platform/posix/object.h"
#include "platform/posix/ui_presenter.h"

namespace {

thread_local int t_waitSlot = -1;   // the interrupt slot of this thread's wait

}  // namespace

void OsFlashWaitBegins(const char* text)
{
    // In front before it is said: a Ctrl-C that answers the line is the wait's.
    t_waitSlot = UiInterruptOpen();
    UiCurrentPresenter()->Notice(text);
}

bool OsFlashWaitCancelled()
{
    if (t_waitSlot < 0 || !UiInterruptTake(t_waitSlot))
        return false;
    OsPosixRequestTermination();
    return true;
}

void OsFlashWaitEnds()
{
    UiInterruptClose(t_waitSlot);
    t_waitSlot = -1;
}
