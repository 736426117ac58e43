// The update worker on arbitrary .bin bytes, on a board with an erased
// flash that each run leaves as far as it got. An access outside the flash
// window stops the program (a data abort of the board), time-outs run on
// the virtual clock, and every run must end the way an ending is defined:
// the progress dialog ended with 0, ImagePath emptied, the devices back in
// read-array mode, the flash lock free, and exactly one report: the
// restart question after a completed run, one error box after a failed one.
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "board/board.h"
#include "board/flash_device.h"
#include "board/hal.h"
#include "flash/flash_layout.h"
#include "fuzz/fuzz_support.h"
#include "platform/clock.h"
#include "platform/sync.h"
#include "platform/testing/ui_double.h"
#include "update/globals.h"
#include "update/image_update.h"

namespace {

const OsDialogItem kItems[] = {
    {1004, L"STATIC", L"", 5, 5, 200, 10, 0},
    {1002, L"msctls_progress32", L"", 5, 20, 200, 10, 0},
    {1005, L"STATIC", L"", 5, 35, 200, 10, 0},
    {1003, L"msctls_progress32", L"", 5, 50, 200, 10, 0},
    {2, L"BUTTON", L"Abort", 80, 65, 50, 14, 0},
};
const OsDialogTemplate kProgress = {L"Update", 0, 0, 0, 210, 85, L"", 8, 5, kItems};

void NoRestart(bool) {}

bool FlashLockIsFree()
{
    uint32_t result = OS_WAIT_FAILED;
    auto probe = [](void* p) -> uint32_t {
        Handle m = OsCreateMutex(L"NorFlash");
        uint32_t r = OsWaitForSingleObject(m, 0);
        if (r == OS_WAIT_OBJECT_0)
            OsReleaseMutex(m);
        OsCloseHandle(m);
        *static_cast<uint32_t*>(p) = r;
        return 0;
    };
    Handle t = OsCreateThread(probe, &result);
    if (t == nullptr)
        return false;
    OsWaitForSingleObject(t, OS_INFINITE);
    OsCloseHandle(t);
    return result == OS_WAIT_OBJECT_0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::string& dir = fuzz::Board();
    if (!fuzz::WriteHostFile(dir + "/rootfs/fuzz.bin", data, size))
        fuzz::Fail("cannot write the image file");

    uidouble::Install();
    board::SetRestartHook(NoRestart);
    OsUseVirtualClock(0, 1);
    std::memcpy(FlashLayout, DefaultFlashLayout, sizeof(FlashLayout));
    Window dialog = uidouble::NewDialog(&kProgress);
    if (dialog == nullptr)
        fuzz::Fail("no dialog");
    uidouble::AnswerNext(OS_IDOK);   // go on past an overlap warning
    uidouble::AnswerNext(OS_IDNO);   // and do not restart
    std::wcscpy(ImagePath, L"\\fuzz.bin");
    AbortRequested = 0;

    uint32_t result = ImageUpdateWorker(dialog);

    OsUseRealClock();
    board::SetRestartHook(nullptr);
    if (result > 1)
        fuzz::Fail("the worker returned neither 1 nor 0");
    if (!uidouble::Ended(dialog) || uidouble::EndResult(dialog) != 0)
        fuzz::Fail("the progress dialog was not ended with 0");
    if (ImagePath[0] != L'\0')
        fuzz::Fail("ImagePath was not emptied");
    for (int d = 0; d < board::kFlashDevices; ++d)
        if (board::FlashGetDeviceInfo(d).mode != board::FlashMode::ReadArray)
            fuzz::Fail("a device was left out of read-array mode");
    if (!FlashLockIsFree())
        fuzz::Fail("the flash lock is still held");

    int reports = 0;
    const uidouble::Box* last = nullptr;
    std::vector<uidouble::Box> boxes = uidouble::Boxes();
    for (const uidouble::Box& b : boxes) {
        if (b.caption == L"WARNING")
            continue;
        ++reports;
        last = &b;
        if (b.owner != dialog)
            fuzz::Fail("a box not owned by the progress dialog");
    }
    if (reports != 1)
        fuzz::Fail("not exactly one report");
    if (result == 1 && (last->caption != L"RESET" || last->style != 4))
        fuzz::Fail("a completed run without the restart question");
    if (result == 0 && ((last->caption != L"ERROR" && last->caption != L"ERRER") || last->style != 0))
        fuzz::Fail("a failed run without its error box");
    uidouble::Uninstall();
    return 0;
}
