// The device-path rules of the files role (platform/files.h), one set for
// both backends.
#pragma once
#include <string>
#include <vector>

// Whether path is a device path (begins with '\'). nullptr is none.
bool OsIsDevicePath(const wchar_t* path);

// The components of a device path, "." and ".." applied; false when path
// is no device path, when ".." would climb above the root, or when accept
// (if given) refuses a component. Components are checked as they come: a
// refused one fails the path even where a later ".." would take it away.
bool OsSplitDevicePath(const wchar_t* path, std::vector<std::wstring>& out,
                       bool (*accept)(const std::wstring& part) = nullptr);

// A search pattern FOLDER\WILDCARD split at its last separator: the folder
// ("\" for "\*", "." when the pattern has no separator) and the wildcard.
// false when the wildcard is empty.
bool OsSplitSearchPattern(const wchar_t* pattern, std::wstring& folder, std::wstring& wildcard);

// Whether path is "\StoreMgr\NAME" (letter case ignored) for a store the
// board has (its setting "stores", a comma-separated list).
bool OsIsKnownStorePath(const wchar_t* path);

// The device paths that the program name `text` stands for, in the order
// they are tried. A name with a separator is one path, taken from the root
// when it has no leading one; a bare name (".exe" added when it has no
// extension) is looked for in \Windows first, then in the root. No text (a
// shortcut's, say) can name a program of the host.
std::vector<std::wstring> OsProgramPaths(const wchar_t* text);
