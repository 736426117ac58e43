// The entry of flashupdate: one command from the command line, or the main
// dialog.
#include "shell/entry.h"

#include <cwchar>

#include "platform/hal.h"
#include "platform/sync.h"
#include "platform/ui.h"
#include "resources/resources.h"
#include "shell/commands.h"
#include "shell/main_dialog.h"
#include "update/globals.h"
#include "update/progress_dialog.h"
#include "update/restart.h"

uint32_t ParseRestartDelay(const wchar_t* text)
{
    const int64_t largest = 0x7FFFFFFF;
    while (*text == L' ' || *text == L'\t' || *text == L'\n' || *text == L'\r' || *text == L'\v' ||
           *text == L'\f')
        text++;
    int negative = 0;
    if (*text == L'+' || *text == L'-') {
        negative = (*text == L'-');
        text++;
    }
    int64_t value = 0;
    while (*text >= L'0' && *text <= L'9') {
        if (value <= largest)
            value = value * 10 + (*text - L'0');
        text++;
    }
    if (negative)
        return 0;
    if (value > largest)
        value = largest;
    return (uint32_t)value;
}

// "/u": the path starts at position 3. A command line of "/u" alone or
// with one separator leaves ImagePath empty, so the chooser asks. A path
// that does not fit ImagePath is refused rather than cut.
static void RunImageUpdate(const wchar_t* commandLine)
{
    size_t length = wcslen(commandLine);
    const wchar_t* path = length > 3 ? commandLine + 3 : L"";
    if (wcslen(path) >= IMAGE_PATH_CHARS) {
        OsMessageBox(nullptr, L"Image path too long! (at most 259 characters)", L"ERROR", OS_MB_OK);
        return;
    }
    wcscpy(ImagePath, path);
    RunDialogTemplate(IDD_PROGRESS, nullptr, ProgressDialogProc);
}

static void RunRestart(const wchar_t* commandLine)
{
    const wchar_t* delayText = commandLine + 2;
    const int cold = commandLine[2] == L'c';
    if (cold) {
        OsSetCleanBootMark();
        delayText = commandLine + 3;
    }
    uint32_t delay = ParseRestartDelay(delayText);
    // Asked to end during the delay or the wait for the flash (Ctrl-C,
    // SIGTERM): no restart, and so no clean boot either: the next ordinary
    // restart keeps the registry.
    if (!OsSleepUnlessEnding(delay) || !RestartDevice()) {
        if (cold)
            OsClearCleanBootMark();
    }
}

int FlashUpdateMain(Instance instance, Instance /*previous*/, wchar_t* commandLine, int /*show*/)
{
    AppInstance = instance;
    OsInitCommonControls();

    if (commandLine == nullptr || commandLine[0] != L'/') {
        RunDialogTemplate(IDD_MAIN, nullptr, MainDialogProc);
        return 1;
    }
    switch (commandLine[1]) {
    case L'u':
        RunImageUpdate(commandLine);
        break;
    case L'f':
        SaveRegistry(nullptr);
        break;
    case L'r':
        RunRestart(commandLine);
        break;
    default:
        break;
    }
    return 1;
}
