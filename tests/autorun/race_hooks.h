// Race hooks of the autorun tests: the test binary is linked with
// --wrap for a few calls at the edge of the platform (the programs' calls
// into the files role, and the system calls of the backend at the moments
// that matter), so that a test can act, in the middle of a walk or a copy,
// exactly where a racing program would. Without a hook every call goes
// straight through. Nothing of this is in the programs or the platform.
#pragma once
#include <functional>
#include <string>

namespace race_hooks {

// Each hook runs before the call it names (once per call, in the process
// that set it, never in a forked child) and sees what the call is given.
extern std::function<void(const std::wstring& path)> beforeCreateDirectory;   // OsCreateDirectory
extern std::function<void(const std::wstring& source)> beforeCopyFile;        // OsCopyFile
extern std::function<void()> beforeCopyData;   // each copy_file_range of the backend
extern std::function<void()> beforeLink;       // each linkat of the backend
extern std::function<void(int result)> afterLink;   // each linkat, once it returned
extern std::function<void()> beforeFork;       // each fork of the backend

// How often fork was called with a hook set (in this process).
extern int forks;

void Clear();

}  // namespace race_hooks
