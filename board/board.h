// The simulated board: where it lives, its settings and its event log.
//
// A board is a directory (see Dir()). flash.img in it is the whole NOR flash,
// byte for byte; rootfs/ is the device's file system root; settings holds
// board settings and faults (one "key value" a line); events holds the HAL's
// event log (one line per event, oldest first).
#pragma once
#include <atomic>
#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

namespace board {

// $BOARDSIM_DIR, or ${XDG_STATE_HOME:-$HOME/.local/state}/boardsim/default.
std::string Dir();

// Makes sure Dir() holds a board: an absent or empty folder becomes the
// default board; a folder with some board files missing, or with a board
// file of the wrong kind, is refused. false (with a message on standard
// error naming what is wrong) when there is no usable board.
bool Ensure();
// What Ensure would refuse: "" when Dir() holds a whole board.
std::string BoardProblem();

// (Re)creates the board in Dir(): the default board, or an erased flash.
bool Init(bool blank);

std::string FlashImagePath();   // Dir()/flash.img
std::string RootFs();           // Dir()/rootfs

// Board settings (see "boardsim help" for the keys). Get returns def when
// the key is unset, or when the settings file holds a bad value for it
// (that is reported on standard error, once). Set returns false on an
// unknown key or bad value, and when the settings file is damaged in
// another line (it is then left as it was); *why (may be nullptr) gets a
// one-line reason.
std::string GetSetting(const std::string& key, const std::string& def = "");
bool SetSetting(const std::string& key, const std::string& value, std::string* why = nullptr);
// Grows with every SetSetting of this process, so that cached readers of
// settings (the flash devices) know when to read them again. (Inline: every
// bus cycle asks.)
extern std::atomic<uint64_t> g_settingsGeneration;
inline uint64_t SettingsGeneration()
{
    return g_settingsGeneration.load();
}

// The file behind the named, device-wide mutex `name` (UTF-8): the board's
// locks/ folder. The platform's named mutexes and the board's own HAL take
// an exclusive flock on it.
std::string LockFilePath(const std::string& name);

// The HAL's event log. RecordEvent returns false when the line could not
// be written; the loss is then kept in the device state (see LostEvents).
bool RecordEvent(const std::string& line);
std::vector<std::string> Events();

// What is wrong with the board's own files, one line each, naming the file
// and (for text files) the line: damaged settings or registry.reg, events
// that could not be recorded. Empty when all is well.
std::vector<std::string> BoardDamage();

// Opens the board file `name` (a plain name in Dir(): "flash.img",
// "settings", ...) with open(2) flags. Refuses a file that is a FIFO, a
// device, a folder, or a link that leads out of the board folder (errno
// EINVAL, *why naming the file and what it is), so that no board program
// hangs on it or writes into nothing. -1 with errno and *why (may be
// nullptr) set on failure.
int OpenBoardFile(const std::string& name, int flags, std::string* why = nullptr);
// Reads the board file `name` whole (at most maxBytes). false when it
// does not exist (*why empty) or cannot be read (*why says why).
bool ReadBoardFile(const std::string& name, std::string* out, std::string* why, size_t maxBytes = 16u << 20);

}  // namespace board

namespace board {
// Drops every state of the board cached in this process (flash mapping,
// device state, settings, registry), so that the next access opens Dir()
// afresh. Tests call it when they switch boards.
void CloseAll();

// The host's name of a board path (UTF-8) for std::filesystem: on Windows
// its UTF-16 name, an absolute Unix path converted under Wine.
std::filesystem::path HostPath(const std::string& path);

// Replaces the host file path with bytes in one step: writes path.tmp
// (removing whatever stands there first, a FIFO too), then renames it into
// place, so that readers see either the old or the new content. On failure
// path.tmp is removed, errno tells why, and *why (may be nullptr) gets
// "<the file that failed>: <reason>".
bool ReplaceFile(const std::string& path, std::string_view bytes, std::string* why = nullptr);

// s with the ASCII capitals in lower case (names that match without
// regard to letter case).
inline std::string AsciiLower(std::string s)
{
    for (char& c : s)
        if (c >= 'A' && c <= 'Z')
            c = char(c - 'A' + 'a');
    return s;
}

// The value of one hexadecimal digit (either letter case); -1 for any
// other character. Used by the board's text files and settings.
inline int HexDigit(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}
}  // namespace board
