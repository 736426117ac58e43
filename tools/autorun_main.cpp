// autorun: the platform starts the service at its main operation. The
// program has no resources and no command line of its own.
#include "autorun/autorun.h"
#include "platform/entry.h"

int main(int argc, char** argv) { return OsRunProgram(argc, argv, nullptr, ServiceMain); }
