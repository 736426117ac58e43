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
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>

#include "board/bus.h"
#include "board/default_board.h"
#include "board/registry_store.h"

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

// Parses "key value" lines; '#' starts a comment line. Unknown keys are
// kept (a newer boardsim may have written them) but never answered for
// validation purposes.
std::map<std::string, std::string> ParseSettings(const std::string& text)
{
    std::map<std::string, std::string> out;
    size_t pos = 0;
    while (pos < text.size()) {
        size_t end = text.find('\n', pos);
        if (end == std::string::npos)
            end = text.size();
        std::string line = Trim(text.substr(pos, end - pos));
        pos = end + 1;
        if (line.empty() || line[0] == '#')
            continue;
        size_t sp = line.find_first_of(" \t");
        std::string key = line.substr(0, sp);
        std::string value = sp == std::string::npos ? "" : Trim(line.substr(sp));
        out[key] = value;
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
    std::string text;
    g_settings = ReadTextFile(path, &text) ? ParseSettings(text) : std::map<std::string, std::string>{};
    if (g_cacheValid)
        g_settingsGeneration.fetch_add(1);
    g_cacheDir = dir;
    g_cacheId = id;
    g_cacheValid = true;
}

bool InitLocked(const std::string& dir, bool blank)
{
    // The old flash file is replaced: nothing of it may stay mapped here.
    CloseAll();
    if (!WriteDefaultBoard(dir, blank))
        return false;
    FlashResetDevices();
    CloseAll();
    return true;
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

// Creates the board under the board folder's creation lock, so that of
// several programs starting on a new board at once the first creates it
// while the others wait. With onlyIfMissing, a board that is in place by
// the time the lock is held is left as it is.
bool CreateBoard(bool blank, bool onlyIfMissing)
{
    std::string dir = Dir();
    if (!MakeDirs(dir)) {
        std::fprintf(stderr, "boardsim: cannot create the board folder %s: %s\n", dir.c_str(),
                     std::strerror(errno));
        return false;
    }
    FileLock lock(dir + "/.create.lock");
    if (!lock.ok()) {
        std::fprintf(stderr, "boardsim: cannot lock the board folder %s\n", dir.c_str());
        return false;
    }
    struct stat st;
    if (onlyIfMissing && stat((dir + "/flash.img").c_str(), &st) == 0)
        return true;
    return InitLocked(dir, blank);
}

}  // namespace

bool Ensure()
{
    struct stat st;
    if (stat(FlashImagePath().c_str(), &st) == 0)
        return true;
    return CreateBoard(false, true);
}

bool Init(bool blank)
{
    return CreateBoard(blank, false);
}

std::string GetSetting(const std::string& key, const std::string& def)
{
    std::lock_guard<std::mutex> guard(g_settingsMutex);
    RefreshSettingsLocked();
    auto it = g_settings.find(key);
    return it == g_settings.end() ? def : it->second;
}

bool SetSetting(const std::string& key, const std::string& value)
{
    if (!ValidSetting(key, value, nullptr))
        return false;
    std::string dir = Dir();
    if (!MakeDirs(dir))
        return false;
    // Read-modify-write under a lock, so that two writers of different keys
    // do not lose each other's change; the file is replaced atomically, so
    // readers see either the old or the new settings.
    FileLock lock(dir + "/.settings.lock");
    if (!lock.ok())
        return false;
    std::string path = dir + "/settings";
    std::string text;
    std::map<std::string, std::string> all;
    if (ReadTextFile(path, &text))
        all = ParseSettings(text);
    all[key] = value;
    std::string tmp = path + ".tmp";
    FILE* f = std::fopen(tmp.c_str(), "wb");
    if (!f)
        return false;
    for (const auto& [k, v] : all)
        std::fprintf(f, "%s %s\n", k.c_str(), v.c_str());
    bool ok = std::fflush(f) == 0 && !std::ferror(f);
    ok = (std::fclose(f) == 0) && ok;
    if (!ok || std::rename(tmp.c_str(), path.c_str()) != 0) {
        std::remove(tmp.c_str());
        return false;
    }
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

void RecordEvent(const std::string& line)
{
    std::string dir = Dir();
    MakeDirs(dir);
    std::string text;
    for (char c : line)
        text += (c == '\n' || c == '\r') ? ' ' : c;
    text += '\n';
    int fd = open((dir + "/events").c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (fd < 0)
        return;
    // One write per line: with O_APPEND, lines of concurrent writers never
    // interleave.
    ssize_t n;
    do {
        n = write(fd, text.data(), text.size());
    } while (n < 0 && errno == EINTR);
    close(fd);
}

std::vector<std::string> Events()
{
    std::vector<std::string> out;
    std::string text;
    if (!ReadTextFile(Dir() + "/events", &text))
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

void CloseAll()
{
    FlashClose();
    RegistryStoreClose();
    std::lock_guard<std::mutex> guard(g_settingsMutex);
    g_cacheValid = false;
    g_settings.clear();
    g_cacheDir.clear();
    g_settingsGeneration.fetch_add(1);
}

bool ReadTextFile(const std::string& path, std::string* out)
{
    FILE* f = std::fopen(path.c_str(), "rb");
    if (!f)
        return false;
    out->clear();
    char buf[8192];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0)
        out->append(buf, n);
    bool ok = !std::ferror(f);
    std::fclose(f);
    return ok;
}

}  // namespace board
