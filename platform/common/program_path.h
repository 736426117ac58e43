// Where the device looks for a program, the same for both backends.
#pragma once
#include <string>
#include <vector>

// The device paths that the program name `text` stands for, in the order
// they are tried. A name with a separator is one path, taken from the root
// when it has no leading one; a bare name (".exe" added when it has no
// extension) is looked for in \Windows first, then in the root. No text (a
// shortcut's, say) can name a program of the host.
std::vector<std::wstring> OsProgramPaths(const wchar_t* text);
