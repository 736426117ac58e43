// Removable FAT volumes of the board (see volumes.h for the on-disk form).
// Insert copies the host folder into staging/, renames the finished copy
// into rootfs/, then creates the record; remove moves the folder out of
// rootfs/, deletes the record, then deletes the copy.
#include "board/volumes.h"

#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <system_error>
#include <utility>
#include <vector>

#include "board/board.h"
#include "board/file_lock.h"

namespace fs = std::filesystem;

namespace board {

namespace {

std::string StagingDir() { return Dir() + "/staging"; }

// The existing entry of folder whose name matches name without regard to
// letter case, or "" when there is none.
std::string FindEntryNoCase(const std::string& folder, const std::string& name)
{
    std::error_code ec;
    const std::string want = AsciiLower(name);
    for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
        const std::string entry = it->path().filename().string();
        if (AsciiLower(entry) == want) return entry;
    }
    return "";
}

// Copies the regular file from into the new file to with the permission
// bits mode. The error is the system's own (a full disk says so, where the
// library's copy would report a short copy as an input/output error), and
// a file swapped for a link meanwhile is not followed.
bool CopyRegularFile(const fs::path& from, const fs::path& to, fs::perms mode, std::error_code& ec)
{
    const int in = open(from.string().c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (in < 0) {
        ec.assign(errno, std::system_category());
        return false;
    }
    const int out = open(to.string().c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    bool ok = out >= 0;
    struct stat st;
    if (ok && (fstat(in, &st) != 0 || !S_ISREG(st.st_mode))) {
        errno = EINVAL;
        ok = false;
    }
    std::vector<char> buffer(1 << 16);
    while (ok) {
        const ssize_t n = read(in, buffer.data(), buffer.size());
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            ok = n == 0;
            break;
        }
        for (ssize_t done = 0; ok && done < n;) {
            const ssize_t w = write(out, buffer.data() + done, static_cast<size_t>(n - done));
            if (w < 0 && errno == EINTR) continue;
            if (w <= 0) ok = false;
            else done += w;
        }
    }
    if (!ok) ec.assign(errno, std::system_category());
    if (out >= 0 && close(out) != 0 && ok) {
        ec.assign(errno, std::system_category());
        ok = false;
    }
    close(in);
    if (ok) fs::permissions(to, mode, ec);
    return ok && !ec;
}

// Copies the host folder from into the new folder to: folders, regular
// files (with their permission bits) and symbolic links (as links, never
// followed, like "cp -R"); other kinds of file are left out with a note.
bool CopyFolder(const fs::path& from, const fs::path& to)
{
    std::error_code ec;
    if (!fs::create_directory(to, ec) || ec) {
        std::fprintf(stderr, "boardsim: cannot create %s: %s\n", to.string().c_str(), ec.message().c_str());
        return false;
    }
    for (fs::directory_iterator it(from, ec), end; it != end; it.increment(ec)) {
        if (ec) break;
        const fs::path source = it->path();
        const fs::path target = to / source.filename();
        const fs::file_status st = fs::symlink_status(source, ec);
        if (ec) break;
        if (fs::is_symlink(st)) {
            fs::copy_symlink(source, target, ec);
        } else if (fs::is_directory(st)) {
            if (!CopyFolder(source, target)) return false;
        } else if (fs::is_regular_file(st)) {
            CopyRegularFile(source, target, st.permissions(), ec);
        } else {
            std::fprintf(stderr, "boardsim: left out %s (not a file or folder)\n", source.string().c_str());
        }
        if (ec) break;
    }
    if (ec) {
        std::fprintf(stderr, "boardsim: cannot copy %s: %s\n", from.string().c_str(), ec.message().c_str());
        return false;
    }
    return true;
}

// Whether the real path of inner is outer or lies below it.
bool Within(const fs::path& inner, const fs::path& outer)
{
    std::error_code ec;
    const fs::path in = fs::canonical(inner, ec);
    if (ec) return false;
    const fs::path out = fs::canonical(outer, ec);
    if (ec) return false;
    auto i = in.begin();
    for (auto o = out.begin(); o != out.end(); ++o, ++i)
        if (i == in.end() || *i != *o) return false;
    return true;
}

// Inserts and removals of volumes run one at a time under this lock, so
// that whatever the staging folder holds when it is taken was left by one
// that was killed midway: it is cleaned away.
std::string VolumesLock() { return Dir() + "/.volumes.lock"; }

// Before an insert moves its finished copy into rootfs/, it leaves a note
// in the staging folder that names the volume and the copy's identity; the
// note goes once the record is written. A note still there means the insert
// was killed in between: the folder it moved in is taken out again (only
// that very folder, never another of the same name), so that the volume can
// be inserted anew.
const char kInsertNote[] = "mounting-";
// A removal moves the volume's folder to staging/remove-PID-NAME before it
// deletes the record; that folder still there means the removal was killed
// in between, and it is finished by deleting the record.
const char kRemoveCopy[] = "remove-";

bool WriteInsertNote(const std::string& path, const struct stat& copy)
{
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0644);
    if (fd < 0) return false;
    const std::string text = std::to_string(copy.st_dev) + " " + std::to_string(copy.st_ino) + "\n";
    const bool ok = write(fd, text.data(), text.size()) == ssize_t(text.size());
    return close(fd) == 0 && ok;
}

// Undoes an insert killed between its move into rootfs/ and its record
// (note: the insert's note in the staging folder).
void UndoHalfInsert(const std::string& name, const std::string& note)
{
    if (!ValidVolumeName(name)) return;
    std::string text;
    unsigned long long dev = 0, ino = 0;
    if (!ReadBoardFile("staging/" + note, &text, nullptr) ||
        std::sscanf(text.c_str(), "%llu %llu", &dev, &ino) != 2)
        return;  // cut short while written: the move had not happened yet
    struct stat st;
    if (access((VolumesDir() + "/" + name).c_str(), F_OK) == 0) return;  // finished after all
    const std::string mount = RootFs() + "/" + name;
    if (lstat(mount.c_str(), &st) != 0 || !S_ISDIR(st.st_mode) || st.st_dev != dev || st.st_ino != ino)
        return;
    std::error_code ec;
    fs::remove_all(mount, ec);
}

// Finishes a removal killed between taking the folder away and deleting the
// record; returns the volume's name, or "".
std::string FinishHalfRemove(const std::string& entry)
{
    size_t i = std::strlen(kRemoveCopy), digits = i;
    while (digits < entry.size() && entry[digits] >= '0' && entry[digits] <= '9') ++digits;
    if (digits == i || digits >= entry.size() || entry[digits] != '-') return "";
    const std::string name = entry.substr(digits + 1);
    if (!ValidVolumeName(name)) return "";
    unlink((VolumesDir() + "/" + name).c_str());
    return name;
}

// What inserts and removals killed midway left: their half-done steps
// undone or finished, then the staging folder emptied. Caller holds the
// volumes lock. Returns the names of the volumes whose removal it finished.
std::vector<std::string> CleanStaging()
{
    std::vector<std::string> removed;
    std::error_code ec;
    for (fs::directory_iterator it(StagingDir(), ec), end; !ec && it != end; it.increment(ec)) {
        const std::string entry = it->path().filename().string();
        if (entry.rfind(kInsertNote, 0) == 0) {
            UndoHalfInsert(entry.substr(std::strlen(kInsertNote)), entry);
        } else if (entry.rfind(kRemoveCopy, 0) == 0) {
            const std::string name = FinishHalfRemove(entry);
            if (!name.empty()) removed.push_back(AsciiLower(name));
        }
    }
    for (fs::directory_iterator it(StagingDir(), ec), end; !ec && it != end; it.increment(ec)) {
        std::error_code ignored;
        fs::remove_all(it->path(), ignored);
    }
    return removed;
}

}  // namespace

std::string VolumesDir() { return Dir() + "/volumes"; }

bool ValidVolumeName(const std::string& name)
{
    if (name.empty() || name.size() > kMaxVolumeName) return false;
    if (name.front() == ' ' || name.back() == ' ') return false;
    return std::all_of(name.begin(), name.end(), [](char c) {
        return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
               c == ' ' || c == '_' || c == '-';
    });
}

bool IsVolumeFolder(const std::string& name)
{
    // The insert's note is written before its folder moves in, and goes
    // only after the record is there: one of the two always names it.
    return ValidVolumeName(name) && (access((VolumesDir() + "/" + name).c_str(), F_OK) == 0 ||
                                     access((StagingDir() + "/" + kInsertNote + name).c_str(), F_OK) == 0);
}

std::vector<std::string> Volumes()
{
    std::vector<std::string> names;
    std::error_code ec;
    for (fs::directory_iterator it(VolumesDir(), ec), end; !ec && it != end; it.increment(ec)) {
        const std::string name = it->path().filename().string();
        if (ValidVolumeName(name)) names.push_back(name);
    }
    std::sort(names.begin(), names.end());
    return names;
}

int VolumeInsert(const std::string& name, const std::string& hostDir)
{
    if (!ValidVolumeName(name)) {
        std::fprintf(stderr,
                     "boardsim: bad volume name \"%s\": use 1 to %zu letters, digits, spaces, "
                     "'_' or '-' (no leading or trailing space)\n",
                     name.c_str(), kMaxVolumeName);
        return 2;
    }
    struct stat st;
    if (stat(hostDir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
        std::fprintf(stderr, "boardsim: %s is not a folder\n", hostDir.c_str());
        return 2;
    }
    if (!Ensure()) return 1;
    FileLock lock(VolumesLock());
    CleanStaging();
    std::error_code ec;
    fs::create_directories(VolumesDir(), ec);
    fs::create_directories(StagingDir(), ec);
    // The copy is made in the board's staging folder: a folder that holds
    // it would be copied into itself, deeper and deeper, until it fails.
    const std::pair<std::string, const char*> holders[] = {{Dir(), "the board directory"},
                                                           {StagingDir(), "the board's staging folder"}};
    for (const auto& [folder, what] : holders)
        if (Within(folder, hostDir)) {
            std::fprintf(stderr,
                         "boardsim: cannot insert %s: it contains %s %s, "
                         "so the copy would land inside the folder being copied\n",
                         hostDir.c_str(), what, folder.c_str());
            return 2;
        }
    if (!FindEntryNoCase(VolumesDir(), name).empty()) {
        std::fprintf(stderr, "boardsim: a volume named \"%s\" is inserted already\n", name.c_str());
        return 1;
    }
    const std::string existing = FindEntryNoCase(RootFs(), name);
    if (!existing.empty()) {
        std::fprintf(stderr, "boardsim: \\%s exists in the device's root already\n",
                     existing.c_str());
        return 1;
    }

    const fs::path staging =
        fs::path(StagingDir()) / ("insert-" + std::to_string(getpid()) + "-" + name);
    fs::remove_all(staging, ec);
    if (!CopyFolder(hostDir, staging)) {
        fs::remove_all(staging, ec);
        return 1;
    }
    const std::string mount = RootFs() + "/" + name;
    const std::string note = StagingDir() + "/" + kInsertNote + name;
    struct stat copy;
    if (lstat(staging.string().c_str(), &copy) != 0 || !WriteInsertNote(note, copy)) {
        std::fprintf(stderr, "boardsim: cannot write %s: %s\n", note.c_str(), std::strerror(errno));
        unlink(note.c_str());
        fs::remove_all(staging, ec);
        return 1;
    }
    if (renameat2(AT_FDCWD, staging.string().c_str(), AT_FDCWD, mount.c_str(), RENAME_NOREPLACE) != 0) {
        std::fprintf(stderr, "boardsim: cannot mount \\%s: %s\n", name.c_str(),
                     std::strerror(errno));
        unlink(note.c_str());
        fs::remove_all(staging, ec);
        return 1;
    }
    // The record announces the finished volume.
    const std::string record = VolumesDir() + "/" + name;
    const int fd = open(record.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (fd < 0) {
        std::fprintf(stderr, "boardsim: cannot record volume %s: %s\n", name.c_str(),
                     std::strerror(errno));
        fs::remove_all(mount, ec);
        unlink(note.c_str());
        return 1;
    }
    close(fd);
    unlink(note.c_str());
    return 0;
}

void VolumeLeftoversClean()
{
    FileLock lock(VolumesLock());
    CleanStaging();
}

int VolumeRemove(const std::string& name)
{
    if (!ValidVolumeName(name)) {
        std::fprintf(stderr, "boardsim: bad volume name \"%s\"\n", name.c_str());
        return 2;
    }
    FileLock lock(VolumesLock());
    const std::vector<std::string> finished = CleanStaging();
    const std::string recorded = FindEntryNoCase(VolumesDir(), name);
    // The same removal again, after one killed midway: it is done now.
    if (recorded.empty() && std::count(finished.begin(), finished.end(), AsciiLower(name)))
        return 0;
    if (recorded.empty()) {
        std::fprintf(stderr, "boardsim: no volume named \"%s\" is inserted\n", name.c_str());
        return 1;
    }
    std::error_code ec;
    fs::create_directories(StagingDir(), ec);
    const fs::path staging =
        fs::path(StagingDir()) / ("remove-" + std::to_string(getpid()) + "-" + recorded);
    fs::remove_all(staging, ec);
    const std::string mount = RootFs() + "/" + recorded;
    bool moved = false;
    if (rename(mount.c_str(), staging.string().c_str()) == 0) {
        moved = true;
    } else if (errno != ENOENT) {
        std::fprintf(stderr, "boardsim: cannot take away \\%s: %s\n", recorded.c_str(),
                     std::strerror(errno));
        return 1;
    }
    // Deleting the record announces the removal.
    if (unlink((VolumesDir() + "/" + recorded).c_str()) != 0 && errno != ENOENT) {
        std::fprintf(stderr, "boardsim: cannot remove the record of %s: %s\n", recorded.c_str(),
                     std::strerror(errno));
        return 1;
    }
    if (moved) fs::remove_all(staging, ec);
    return 0;
}

}  // namespace board
