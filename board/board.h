// The simulated board: where it lives, its settings and its event log.
//
// A board is a directory (see Dir()). flash.img in it is the whole NOR flash,
// byte for byte; rootfs/ is the device's file system root; settings holds
// board settings and faults (one "key value" a line); events holds the HAL's
// event log (one line per event, oldest first).
#pragma once
#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

namespace board {

// $BOARDSIM_DIR, or ${XDG_STATE_HOME:-$HOME/.local/state}/boardsim/default.
std::string Dir();

// Creates the default board in Dir() when it has no flash.img. false (with
// a message on standard error) when that fails.
bool Ensure();

// (Re)creates the board in Dir(): the default board, or an erased flash.
bool Init(bool blank);

std::string FlashImagePath();   // Dir()/flash.img
std::string RootFs();           // Dir()/rootfs

// Board settings (see "boardsim help" for the keys). Get returns def when
// the key is unset. Set returns false on an unknown key or bad value.
std::string GetSetting(const std::string& key, const std::string& def = "");
bool SetSetting(const std::string& key, const std::string& value);
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

// The HAL's event log.
void RecordEvent(const std::string& line);
std::vector<std::string> Events();

}  // namespace board

namespace board {
// Drops every state of the board cached in this process (flash mapping,
// device state, settings, registry), so that the next access opens Dir()
// afresh. Tests call it when they switch boards.
void CloseAll();

// Reads a whole host file into out. false when it cannot be read.
bool ReadTextFile(const std::string& path, std::string* out);

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
