// Program start, host side: how the launchers hand control to a program's
// entry, and how tests make a module of a program's resources.
#pragma once
#include "platform/types.h"

struct OsResourceTable;

// The windowed program's entry: instance, previous instance (always
// nullptr), command line (without the program's own name), show state.
typedef int (*OsProgramEntry)(Instance instance, Instance previous, wchar_t* commandLine,
                              int show);

// Starts a program: makes sure the board exists, builds the module (with
// its resources, or none), joins argv[1..] with single blanks into the
// wide command line, picks the user-interface presenter (terminal or
// unattended line protocol), calls entry and returns its result as the
// exit code.
int OsRunProgram(int argc, char** argv, const OsResourceTable* resources, OsProgramEntry entry);

// The instance of a module with these resources (tests use it to run a
// program's dialogs without OsRunProgram). The module lives for the
// process.
Instance OsModuleFor(const OsResourceTable* resources);
