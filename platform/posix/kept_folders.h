// Folders kept open between calls, for the POSIX files role.
//
// Copying a tree resolves the same few folders for every file, so the
// folders of the last walk stay open: one chain for reading and one for
// writing, neither of which ever follows a symbolic link. Each
// use checks again, one fstatat per level, that every kept folder is still
// the entry of its parent that the path names; a folder that was moved,
// replaced or turned into a link meanwhile is walked to afresh. Each kept
// folder also remembers its names by letter case, so that a name that does
// not exist yet costs no folder scan: the list is trusted while the
// folder's modification and change times are the ones it was taken at (our
// own creations bring it up to date), and for at most a second, which
// bounds how long anything can go unseen.
//
// Where the system can watch folders (inotify), the chain for writing is
// watched instead: every kept folder reports names created, removed or
// renamed in it, and the board directory reports what happens to rootfs/.
// Reading the pending reports (one call) then tells whether a kept folder
// still is the entry its parent names and keeps every name list exact, so a
// copy into a kept folder costs no check per level and no folder scan. The
// board directory itself is taken to stay where it is while a program runs.
//
// Time stamps taken from a coarse clock do not move when the folder
// changes twice within one clock tick, so a list taken within the tick of
// the folder's last change is trusted only where the file system is known
// to give every change that follows a look at the folder a time stamp of
// its own (learnt from two of our own changes that lie closer together
// than a tick).
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

// Guards both chains, every kept folder's names and what is known of the
// file systems' time stamps.
extern std::mutex folderMutex;

// A folder held open, and its names by letter case.
struct KeptFolder {
    explicit KeptFolder(int descriptor) : fd(descriptor) {}
    ~KeptFolder() { close(fd); }
    KeptFolder(const KeptFolder&) = delete;
    KeptFolder& operator=(const KeptFolder&) = delete;

    const int fd;        // held open, so dev/ino cannot be reused by another folder
    dev_t dev = 0;
    ino_t ino = 0;
    std::string host;    // its name in the parent folder
    // Names by letter case (guarded by folderMutex): folded name -> the
    // first host name in the folder's order that folds to it.
    bool namesValid = false;
    timespec namesMtime{};
    timespec namesCtime{};
    timespec namesTaken{};  // CLOCK_MONOTONIC_COARSE
    bool namesSettled = false;  // see StampsSettled
    // Folded name -> the host names that fold to it, the first one first.
    std::unordered_map<std::wstring, std::vector<std::string>> names;
    int wd = -1;  // its watch when the chain is watched; the names are then kept exact
};

// A folder reached from rootfs/ and its state when reached.
struct ReachedFolder {
    std::shared_ptr<KeptFolder> folder;
    struct stat st;  // not taken for a watched folder, which needs none
};

// Walks to the folder that the first count components name, reusing the
// kept chain (the one for reading, or the one for writing) where it still
// holds. No symbolic link is followed on the way. Call with folderMutex
// held.
bool ReachFolder(const std::vector<std::wstring>& parts, size_t count, bool reading,
                 ReachedFolder& out);

// The host name in folder (whose current state is st) that a device
// component names: the exact spelling when it exists, else the first name
// equal to it without regard to letter case. false when there is none.
// With childSt, the entry's state there (following a link when follow).
// Call with folderMutex held.
bool MatchName(KeptFolder& folder, const struct stat& st, const std::wstring& wide, bool follow,
               std::string& host, struct stat* childSt);

// The device root, held by handle (the board directory is trusted to stay
// where it is while a program runs). Call with folderMutex held.
std::shared_ptr<KeptFolder> RootFolder();

// Lets go of both chains and the watches on them: every folder they hold
// (unless a copy in progress still holds it) and the watching descriptor.
// The next walk opens them afresh.
void ReleaseKeptFolders();

// Changes the kept folder with change (creating a file or folder, or
// renaming one into place) and brings its names up to date, adding added
// when not null. The names stay trusted only when nothing else changed the
// folder since they were taken: checked against reachedState, the state
// when the folder was reached (fresh), or against the folder as it is now.
bool ChangeInFolder(KeptFolder& folder, const struct stat& reachedState, const std::string* added,
                    bool stateIsFresh, const std::function<bool()>& change);

}  // namespace device_tree
