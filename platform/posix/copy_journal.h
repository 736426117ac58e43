// The journal of a copy's named temporaries, so that the clean-up at a
// service's start removes what a killed copy left, and never a file that
// merely has such a name. A record is written before its temporary is
// created and removed once it is gone. Records are files of the board
// folder's .copies/ folder, named as their temporary (".copy-PID-N.tmp"),
// holding the device and inode numbers of the temporary's folder.
#pragma once
#include <string>

namespace copy_journal {

// Records that the temporary name is about to be created in folder.
// Failing to record is silent: the copy goes on (only its clean-up after a
// kill would be lost).
void Add(int folder, const std::string& name);

// Removes the record of name (none: nothing happens).
void Drop(const std::string& name);

}  // namespace copy_journal
