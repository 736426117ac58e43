// Folders kept open between calls, for the POSIX files role.
//
// Copying a tree resolves the same few folders for every file, so the
// folders of the last walk for writing stay open while inotify watches
// them: the pending reports tell whether a kept folder still is the entry
// its parent names and keep its names by letter case exact, so a copy
// into it costs no check per level and no folder scan. A folder that
// cannot be watched, and any folder a walk for reading passes, is walked
// to afresh every time. No walk follows a symbolic link.
#pragma once
#include <sys/stat.h>
#include <unistd.h>

#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

namespace device_tree {

// Guards the kept folders and their names.
extern std::mutex folderMutex;

// A folder held open, and its names by letter case.
struct KeptFolder {
    explicit KeptFolder(int descriptor) : fd(descriptor) {}
    ~KeptFolder() { close(fd); }
    KeptFolder(const KeptFolder&) = delete;
    KeptFolder& operator=(const KeptFolder&) = delete;

    const int fd;
    std::string host;    // its name in the parent folder
    // Names by letter case (guarded by folderMutex), trusted only while
    // the folder is watched: folded name -> the host names that fold to
    // it, the first one first.
    bool namesValid = false;
    std::unordered_map<std::wstring, std::vector<std::string>> names;
    int wd = -1;  // its watch while it is kept; the names are then kept exact
};

// Walks to the folder that the first count components name, from the
// kept folders when writing, following no link. nullptr when there is no
// such folder. Call with folderMutex held.
std::shared_ptr<KeptFolder> ReachFolder(const std::vector<std::wstring>& parts, size_t count,
                                        bool reading);

// The host name in folder that a device component names: the exact
// spelling when it exists, else the first name equal to it without regard
// to letter case. false when there is none. With childSt, the entry's
// state there (not following a link). Call with folderMutex held unless
// the folder is the caller's alone.
bool MatchName(KeptFolder& folder, const std::wstring& wide, std::string& host,
               struct stat* childSt);

// The device root, held by handle. Takes folderMutex.
std::shared_ptr<KeptFolder> RootFolder();

// Lets go of the kept folders (unless a copy still holds one) and the
// watching descriptor; the next walk opens them afresh.
void ReleaseKeptFolders();

// Changes the kept folder with change (creating a file or folder, or
// renaming one into place) and adds added (when not null) to its names
// while they are kept.
bool ChangeInFolder(KeptFolder& folder, const std::string* added,
                    const std::function<bool()>& change);

}  // namespace device_tree
