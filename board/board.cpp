// The board directory: where the board lives, its creation, its settings
// file, its event log and its lock files.
#include "board/board.h"
#include "board/file_id.h"
#include "board/file_lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <set>

#include "board/bus.h"
#include "board/default_board.h"
#include "board/flash_state.h"
#include "board/registry_store.h"
#include "board/volumes.h"

namespace board {
namespace {

std::mutex g_settingsMutex;
// Parsed settings file of the board in g_cacheDir, valid while the file's
// identity (device, inode, size, modification time) is unchanged.
std::string g_cacheDir;
std::map<std::string, std::string> g_settings;
FileId g_cacheId;
bool g_cacheValid = false;


bool MakeDirs(const std::string& path)
{
    if (path.empty())
        return false;
    std::string partial;
    size_t pos = 0;
    while (pos != std::string::npos) {
        size_t next = path.find('/', pos + 1);
        partial = path.substr(0, next);
        if (!partial.empty() && mkdir(partial.c_str(), 0755) != 0 && errno != EEXIST)
            return false;
        pos = next;
    }
    struct stat st;
    return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

std::string Trim(const std::string& s)
{
    size_t b = s.find_first_not_of(" \t\r\n");
    if (b == std::string::npos)
        return "";
    size_t e = s.find_last_not_of(" \t\r\n");
    return s.substr(b, e - b + 1);
}

// Writes a message of the board to standard error once per process (the
// same damage is met again on every read).
void WarnOnce(const std::string& text)
{
    static std::mutex m;
    static std::set<std::string> told;
    std::lock_guard<std::mutex> guard(m);
    if (told.insert(text).second)
        std::fprintf(stderr, "board: %s\n", text.c_str());
}

// The settings file as read: the sound "key value" lines, and what is
// wrong with the others ('#' starts a comment line). A key whose line is
// damaged reads as its default, never as half a value.
struct ParsedSettings {
    std::map<std::string, std::string> values;
    std::map<std::string, std::string> damagedKeys;  // key -> "settings line N: why"
    std::vector<std::string> damage;                 // every damaged line, in order
    std::vector<std::pair<std::string, std::string>> damagedLines;  // {key, the line as it stands}
};

ParsedSettings ParseSettings(const std::string& text)
{
    ParsedSettings out;
    // An editor may begin the file with a UTF-8 byte-order mark.
    size_t pos = text.compare(0, 3, "\xEF\xBB\xBF") == 0 ? 3 : 0;
    int lineNo = 0;
    while (pos < text.size()) {
        size_t end = text.find('\n', pos);
        if (end == std::string::npos)
            end = text.size();
        std::string line = Trim(text.substr(pos, end - pos));
        pos = end + 1;
        ++lineNo;
        if (line.empty() || line[0] == '#')
            continue;
        size_t sp = line.find_first_of(" \t");
        std::string key = line.substr(0, sp);
        std::string value = sp == std::string::npos ? "" : Trim(line.substr(sp));
        std::string why;
        bool valid = ValidSetting(key, value, &why);
        // A NUL would cut the line wherever it is passed on as C text.
        if (line.find('\0') != std::string::npos) {
            why = "a NUL byte in the line";
            valid = false;
        }
        if (!valid) {
            std::string where = "settings line " + std::to_string(lineNo) + ": " + why;
            out.damage.push_back(where);
            out.damagedLines.push_back({key, line});
            if (FindSetting(key))
                out.damagedKeys[key] = where;
            out.values.erase(key);
            continue;
        }
        out.values[key] = value;
    }
    return out;
}

// Brings the cache up to date with the settings file. Caller holds
// g_settingsMutex.
void RefreshSettingsLocked()
{
    std::string dir = Dir();
    std::string path = dir + "/settings";
    FileId id = IdOf(path);
    if (g_cacheValid && g_cacheDir == dir && g_cacheId == id)
        return;
    std::string text, why;
    ParsedSettings parsed;
    if (ReadBoardFile("settings", &text, &why))
        parsed = ParseSettings(text);
    else if (!why.empty())
        WarnOnce(why + "; the board uses the default settings");
    for (const std::string& d : parsed.damage)
        WarnOnce(dir + "/" + d + "; the board uses the default there");
    g_settings = parsed.values;
    if (g_cacheValid)
        g_settingsGeneration.fetch_add(1);
    g_cacheDir = dir;
    g_cacheId = id;
    g_cacheValid = true;
}

}  // namespace

std::string Dir()
{
    const char* env = std::getenv("BOARDSIM_DIR");
    if (env && *env)
        return env;
    const char* state = std::getenv("XDG_STATE_HOME");
    std::string base;
    if (state && *state) {
        base = state;
    } else {
        const char* home = std::getenv("HOME");
        base = std::string(home && *home ? home : "/tmp") + "/.local/state";
    }
    return base + "/boardsim/default";
}

std::string FlashImagePath() { return Dir() + "/flash.img"; }
std::string RootFs() { return Dir() + "/rootfs"; }

namespace {

// The files without which a board is not whole (events is created by the
// first event, the others by boardsim init).
const char* const kBoardFiles[] = {"flash.img", "settings", "registry.reg"};

// What a file of this mode is, for a message.
const char* KindOf(mode_t mode)
{
    if (S_ISDIR(mode))
        return "a folder";
    if (S_ISFIFO(mode))
        return "a FIFO";
    if (S_ISCHR(mode) || S_ISBLK(mode))
        return "a device";
    if (S_ISSOCK(mode))
        return "a socket";
    return "not a plain file";
}

// Why path (a link) may not stand for a board file: it leads nowhere or
// out of the board folder. "" when it is fine.
std::string LinkProblem(const std::string& dir, const std::string& path)
{
    char* real = realpath(path.c_str(), nullptr);
    if (!real)
        return "is a link to nothing (" + std::string(std::strerror(errno)) + ")";
    std::string target = real;
    std::free(real);
    char* home = realpath(dir.c_str(), nullptr);
    std::string inside = home ? std::string(home) + "/" : std::string();
    std::free(home);
    if (inside.empty() || target.compare(0, inside.size(), inside) != 0)
        return "is a link out of the board folder (to " + target + ")";
    return "";
}

// Whether dir is absent or holds nothing but the board's own lock and
// bookkeeping entries, so that a new default board may be written there.
bool BoardFolderEmpty(const std::string& dir)
{
    struct stat st;
    if (stat(dir.c_str(), &st) != 0)
        return errno == ENOENT;
    std::error_code ec;
    for (std::filesystem::directory_iterator it(HostPath(dir), ec), end; !ec && it != end; it.increment(ec)) {
        const std::filesystem::path name = it->path().filename();
        if (name.native()[0] == '.' || name == "locks" || name == "flash.state" || name == "staging")
            continue;
        return false;
    }
    return !ec;
}

void Report(const std::string& text)
{
    static std::mutex m;
    static std::string last;
    std::lock_guard<std::mutex> guard(m);
    if (text != last)
        std::fprintf(stderr, "boardsim: %s\n", text.c_str());
    last = text;
}

// Creates the board under the board folder's creation lock, so that of
// several programs starting on a new board at once the first creates it
// while the others wait. With onlyIfMissing, a board that is whole by the
// time the lock is held is left as it is, and only an empty folder gets a
// new board.
bool CreateBoard(bool blank, bool onlyIfMissing)
{
    std::string dir = Dir();
    if (!MakeDirs(dir)) {
        Report("cannot create the board folder " + dir + ": " + std::strerror(errno));
        return false;
    }
    FileLock lock(dir + "/.create.lock");
    if (!lock.ok()) {
        Report("cannot lock the board folder " + dir);
        return false;
    }
    if (onlyIfMissing) {
        std::string problem = BoardProblem();
        if (problem.empty())
            return true;
        if (!BoardFolderEmpty(dir)) {
            Report(problem);
            return false;
        }
    }
    // The old flash file is replaced: nothing of it may stay mapped here.
    CloseAll();
    VolumeLeftoversClean();
    if (!WriteDefaultBoard(dir, blank))
        return false;
    FlashResetDevices();
    CloseAll();
    return true;
}

}  // namespace

std::string BoardProblem()
{
    std::string dir = Dir();
    std::vector<std::string> missing, wrong;
    for (const char* name : kBoardFiles) {
        std::string path = dir + "/" + name;
        struct stat ls, st;
        if (lstat(path.c_str(), &ls) != 0) {
            missing.push_back(name);
            continue;
        }
        std::string why = S_ISLNK(ls.st_mode) ? LinkProblem(dir, path) : "";
        if (why.empty() && stat(path.c_str(), &st) == 0 && !S_ISREG(st.st_mode))
            why = std::string("is ") + KindOf(st.st_mode) + ", not a file";
        if (!why.empty())
            wrong.push_back(std::string(name) + " " + why);
    }
    struct stat st;
    if (stat((dir + "/rootfs").c_str(), &st) != 0)
        missing.push_back("rootfs/");
    else if (!S_ISDIR(st.st_mode))
        wrong.push_back("rootfs is not a folder");
    if (missing.empty() && wrong.empty())
        return "";
    std::string text = "the board in " + dir + " cannot be used: ";
    for (size_t i = 0; i < wrong.size(); ++i)
        text += (i ? "; " : "") + wrong[i];
    if (!missing.empty()) {
        text += wrong.empty() ? "" : "; ";
        for (size_t i = 0; i < missing.size(); ++i)
            text += (i ? ", " : "") + missing[i];
        text += missing.size() == 1 ? " is missing" : " are missing";
    }
    return text + ". Run \"boardsim init\" to create a new board there (it replaces the board's files).";
}

bool Ensure()
{
    if (BoardProblem().empty())
        return true;
    return CreateBoard(false, true);
}

bool Init(bool blank)
{
    return CreateBoard(blank, false);
}

int OpenBoardFile(const std::string& name, int flags, std::string* why)
{
    const std::string dir = Dir();
    const std::string path = dir + "/" + name;
    auto refuse = [&](const std::string& what, int err) {
        if (why)
            *why = path + (what[0] == ':' ? "" : " ") + what;
        errno = err;
        return -1;
    };
    struct stat st;
    if (lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) {
        std::string problem = LinkProblem(dir, path);
        if (!problem.empty())
            return refuse(problem, EINVAL);
    }
    if (stat(path.c_str(), &st) == 0 && !S_ISREG(st.st_mode))
        return refuse(std::string("is ") + KindOf(st.st_mode) + ", not a file", EINVAL);
    // Non-blocking, so that a FIFO put in its place between the checks
    // cannot hang the open (a plain file reads and writes alike either way).
    int fd = open(path.c_str(), flags | O_CLOEXEC | O_NONBLOCK, 0644);
    if (fd < 0)
        return refuse(std::string(": ") + std::strerror(errno), errno);
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        close(fd);
        return refuse("is not a plain file", EINVAL);
    }
    return fd;
}

bool ReadBoardFile(const std::string& name, std::string* out, std::string* why, size_t maxBytes)
{
    std::string reason;
    int fd = OpenBoardFile(name, O_RDONLY, &reason);
    if (fd < 0) {
        if (why)
            *why = errno == ENOENT ? "" : reason;
        return false;
    }
    out->clear();
    int err = 0;
    char buf[8192];
    for (;;) {
        const ssize_t n = read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            err = errno;
        else if (size_t(n) > maxBytes - out->size())
            err = EFBIG;
        if (n <= 0 || err != 0)
            break;
        out->append(buf, size_t(n));
    }
    close(fd);
    if (err != 0 && why)
        *why = err == EFBIG ? Dir() + "/" + name + " is larger than " + std::to_string(maxBytes) + " bytes"
                            : Dir() + "/" + name + ": " + std::strerror(err);
    return err == 0;
}

std::string GetSetting(const std::string& key, const std::string& def)
{
    std::lock_guard<std::mutex> guard(g_settingsMutex);
    RefreshSettingsLocked();
    auto it = g_settings.find(key);
    return it == g_settings.end() ? def : it->second;
}

bool SetSetting(const std::string& key, const std::string& value, std::string* why)
{
    std::string reason;
    if (!ValidSetting(key, value, &reason))
        return FailWith(why, reason);
    std::string dir = Dir();
    if (!MakeDirs(dir))
        return FailWith(why, "cannot create the board folder " + dir + ": " + std::strerror(errno));
    // Read-modify-write under a lock, so that two writers of different keys
    // do not lose each other's change; the file is replaced atomically, so
    // readers see either the old or the new settings.
    FileLock lock(dir + "/.settings.lock");
    if (!lock.ok())
        return FailWith(why, "cannot lock " + dir + "/.settings.lock");
    std::string path = dir + "/settings";
    std::string text;
    ParsedSettings parsed;
    if (ReadBoardFile("settings", &text, &reason))
        parsed = ParseSettings(text);
    else if (!reason.empty())
        return FailWith(why, reason);
    // A line that could not be read is never written back in part: a
    // damaged file is only changed to mend the line of the key being set
    // (its other damaged lines stay as they stand).
    if (!parsed.damage.empty() && !parsed.damagedKeys.count(key))
        return FailWith(why, dir + "/" + parsed.damage.front() + "; mend that line or run \"boardsim init\"");
    std::map<std::string, std::string> all = parsed.values;
    all[key] = value;
    std::string out;
    for (const auto& [k, v] : all)
        out += k + " " + v + "\n";
    // Damaged lines go back byte for byte (a NUL in one included).
    for (const auto& [k, line] : parsed.damagedLines)
        if (k != key)
            out += line + "\n";
    if (!ReplaceFile(path, out, &reason))
        return FailWith(why, reason);
    {
        std::lock_guard<std::mutex> guard(g_settingsMutex);
        g_cacheValid = false;
        g_settingsGeneration.fetch_add(1);
    }
    return true;
}

std::atomic<uint64_t> g_settingsGeneration{1};

std::string LockFilePath(const std::string& name)
{
    // Names come from programs: keep letters, digits, '-' and '_', encode
    // every other byte as %XX, so that no name can leave locks/ or collide
    // with another after encoding.
    static const char hex[] = "0123456789ABCDEF";
    std::string safe;
    for (unsigned char c : name) {
        if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
            c == '_') {
            safe += char(c);
        } else {
            safe += '%';
            safe += hex[c >> 4];
            safe += hex[c & 15];
        }
    }
    if (safe.empty())
        safe = "%00";
    if (safe.size() > 200) {
        // Keep file names within NAME_MAX: a long name becomes its prefix
        // and a hash of the whole.
        uint64_t h = 1469598103934665603ull;
        for (unsigned char c : name)
            h = (h ^ c) * 1099511628211ull;
        char tail[24];
        std::snprintf(tail, sizeof tail, "#%016llx", (unsigned long long)h);
        safe = safe.substr(0, 180) + tail;
    }
    std::string dir = Dir() + "/locks";
    MakeDirs(dir);
    return dir + "/" + safe;
}

bool RecordEvent(const std::string& line)
{
    std::string text;
    for (char c : line)
        text += (c == '\n' || c == '\r') ? ' ' : c;
    std::string why;
    int fd = OpenBoardFile("events", O_WRONLY | O_CREAT | O_APPEND, &why);
    bool ok = fd >= 0;
    if (ok) {
        // One write per line: with O_APPEND, lines of concurrent writers
        // never interleave.
        std::string record = text + '\n';
        ssize_t n;
        do {
            n = write(fd, record.data(), record.size());
        } while (n < 0 && errno == EINTR);
        ok = n == ssize_t(record.size());
        if (!ok) {
            why = Dir() + "/events: " + (n < 0 ? std::strerror(errno) : "written in part");
            // A line written in part is ended, so that the next one is whole.
            if (n > 0 && write(fd, "\n", 1) < 0) {
            }
        }
        close(fd);
    }
    if (ok)
        return true;
    // The loss is kept where no disk space is needed: in the device state
    // that every board program maps (boardsim show reports it).
    std::fprintf(stderr, "board: cannot record the event \"%s\": %s\n", text.c_str(), why.c_str());
    flash::Guard g;
    if (flash::Context* c = g.get()) {
        flash::SharedState* st = c->state;
        st->lostEvents++;
        std::snprintf(st->lostEvent, sizeof st->lostEvent, "%s", text.c_str());
    }
    return false;
}

std::vector<std::string> Events()
{
    std::vector<std::string> out;
    std::string text;
    if (!ReadBoardFile("events", &text, nullptr, 64u << 20))
        return out;
    size_t pos = 0;
    while (pos < text.size()) {
        size_t end = text.find('\n', pos);
        if (end == std::string::npos)
            end = text.size();
        if (end > pos)
            out.push_back(text.substr(pos, end - pos));
        pos = end + 1;
    }
    return out;
}

std::vector<std::string> BoardDamage()
{
    std::vector<std::string> out;
    std::string problem = BoardProblem();
    if (!problem.empty())
        out.push_back(problem);
    std::string text, why;
    if (ReadBoardFile("settings", &text, &why)) {
        for (const std::string& d : ParseSettings(text).damage)
            out.push_back(Dir() + "/" + d);
    } else if (!why.empty()) {
        out.push_back(why);
    }
    std::string reg = RegDamage();
    if (!reg.empty())
        out.push_back(reg);
    if (problem.empty()) {
        flash::Guard g;
        if (flash::Context* c = g.get()) {
            if (uint32_t lost = c->state->lostEvents) {
                char last[sizeof c->state->lostEvent + 1] = {};
                std::memcpy(last, c->state->lostEvent, sizeof c->state->lostEvent);
                out.push_back(Dir() + "/events: " + std::to_string(lost) +
                              (lost == 1 ? " event" : " events") + " could not be recorded, the last \"" +
                              last + "\"");
            }
        }
    }
    return out;
}

void CloseAll()
{
    FlashClose();
    std::lock_guard<std::mutex> guard(g_settingsMutex);
    g_cacheValid = false;
    g_settings.clear();
    g_cacheDir.clear();
    g_settingsGeneration.fetch_add(1);
}

bool ReplaceFile(const std::string& path, std::string_view bytes, std::string* why)
{
    const std::string tmp = path + ".tmp";
    std::remove(tmp.c_str());
    std::string failed = tmp;
    bool ok = false;
    if (FILE* f = std::fopen(tmp.c_str(), "wb")) {
        failed = path;
        ok = bytes.empty() || std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
        ok = std::fflush(f) == 0 && ok;
        ok = std::fclose(f) == 0 && ok;
        ok = ok && rename(tmp.c_str(), path.c_str()) == 0;
    }
    if (ok)
        return true;
    const int err = errno;  // what the caller reports, not the clean-up's
    if (why)
        *why = failed + ": " + std::strerror(err);
    std::remove(tmp.c_str());
    errno = err;
    return false;
}

std::filesystem::path HostPath(const std::string& path)
{
#ifdef _WIN32
    return win32::WidePath(path);
#else
    return path;
#endif
}

}  // namespace board
