// flashupdate: the platform starts the program at its entry.
#include "platform/common/run_report.h"
#include "platform/host/entry.h"
#include "platform/posix/ui_presenter.h"
#include "resources/resources.h"
#include "shell/entry.h"
#include "tools/launcher.h"

namespace {

const char kHelp[] =
    "Usage: flashupdate [/u PATH | /u | /f | /r [MS] | /rc [MS]]\n"
    "Writes a Windows CE image (.bin) into the board's NOR flash; saves the registry;\n"
    "restarts the device.\n"
    "\n"
    "  (none)      the main dialog\n"
    "  /u PATH     update from PATH: a device path (\\nk.bin) or a host path (./my.bin)\n"
    "  /u          update, choosing the file in the open-file dialog\n"
    "  /f          save the registry to flash\n"
    "  /r [MS]     warm restart after MS milliseconds (at once without)\n"
    "  /rc [MS]    cold restart after MS milliseconds\n"
    "  --help      this text; --version: the version\n"
    "\n"
    "The arguments are joined by single blanks into the program's command line.\n"
    "The exit code is always 1. With a terminal on standard input and on standard\n"
    "error the dialogs are drawn and answered by keys; otherwise they speak a line\n"
    "protocol on standard error and input (see flashupdate(1)).\n"
    "The board: $BOARDSIM_DIR, else\n"
    "${XDG_STATE_HOME:-$HOME/.local/state}/boardsim/default.\n";

}  // namespace

int main(int argc, char** argv)
{
    int answered = LauncherOption(argc, argv, "flashupdate", kHelp);
    if (answered >= 0)
        return answered;
    UiSetBarUnit("KB");   // the update worker sets its bars in KB
    RunReportEnable("flashupdate");   // every run ends with its closing line
    return OsRunProgram(argc, argv, &AppResources, FlashUpdateMain);
}
