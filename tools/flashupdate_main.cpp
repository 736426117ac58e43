// flashupdate: the platform starts the program at its entry.
#include "platform/entry.h"
#include "resources/resources.h"
#include "shell/entry.h"

int main(int argc, char** argv)
{
    return OsRunProgram(argc, argv, &AppResources, FlashUpdateMain);
}
