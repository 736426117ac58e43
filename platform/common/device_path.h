// Device paths, the same for both backends.
#pragma once
#include <string>
#include <vector>

// The components of a device path ('\' or '/' between them), "." and ".."
// applied; false when ".." would climb above the root, or when accept (if
// given) refuses a component. Components are checked as they come: a
// refused one fails the path even where a later ".." would take it away.
bool OsSplitDevicePath(const wchar_t* path, std::vector<std::wstring>& out,
                       bool (*accept)(const std::wstring& part) = nullptr);
