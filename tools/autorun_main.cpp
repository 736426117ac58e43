// autorun: the platform starts the service at its main operation. The
// program has no resources and no command line of its own; its exit code
// is always 0, also when the board cannot be opened.
#include "autorun/autorun.h"
#include "platform/entry.h"

int main(int argc, char** argv)
{
    OsRunProgram(argc, argv, nullptr, ServiceMain);
    return 0;
}
