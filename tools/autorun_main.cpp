// autorun: the platform starts the service at its main operation. The
// program has no resources and no command line of its own; its exit code
// is always 0, also when the board cannot be opened.
#include <fcntl.h>
#include <unistd.h>

#include "autorun/autorun.h"
#include "platform/entry.h"

int main(int argc, char** argv)
{
    // The service reads nothing and shows nothing, so its standard input is
    // never a terminal: the platform then never takes a terminal over for
    // it, and a start in a shell's background ("autorun &") is not stopped
    // for terminal access.
    const int none = open("/dev/null", O_RDONLY);
    if (none > 0) {
        dup2(none, 0);
        close(none);
    }
    OsRunProgram(argc, argv, nullptr, ServiceMain);
    return 0;
}
