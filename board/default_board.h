// The default board: what "boardsim init" writes, the table of board
// settings (keys, defaults, validation, help) and small helpers that the
// board's parts share (parsers of setting values, a failure's reason).
#pragma once
#include <cstdint>
#include <string>
#include <vector>

namespace board {

// One board setting. def is the value of a fresh board; help is one line
// for "boardsim help".
// valid decides whether a value is acceptable; it is asked both when a
// value is set and when the settings file is read.
struct SettingInfo {
    const char* key;
    const char* def;
    const char* values;  // accepted values, as shown by "boardsim help"
    const char* help;
    bool (*valid)(const std::string& value);
};

// Every known setting, in the order "boardsim help" lists them.
const std::vector<SettingInfo>& SettingKeys();
// The entry for key, or nullptr for an unknown key.
const SettingInfo* FindSetting(const std::string& key);
// The fresh board's value of key ("" for an unknown key).
std::string DefaultSetting(const std::string& key);
// Whether value is acceptable for key. *why (may be nullptr) receives a
// one-line reason when it is not.
bool ValidSetting(const std::string& key, const std::string& value, std::string* why);

// A list of flash offsets as the fault-* settings hold it: "none", or
// offsets separated by commas, each decimal or 0x-prefixed hexadecimal and
// below the flash size. false on anything else (out stays empty).
bool ParseOffsetList(const std::string& value, std::vector<uint32_t>* out);
// The comma-separated items of s ("" is one empty item).
std::vector<std::string> SplitCommas(const std::string& s);
// A 32-bit number: decimal, or hexadecimal with a 0x prefix.
bool ParseU32(const std::string& text, uint32_t* out);
// 1 to 8 hexadecimal digits (either letter case, no prefix).
bool ParseHexDigits(const std::string& text, uint32_t* out);

// A failure with its reason: *why (may be nullptr) gets reason; false.
inline bool FailWith(std::string* why, const std::string& reason)
{
    if (why)
        *why = reason;
    return false;
}

// Writes the default board (or, with blank, an erased flash) into dir:
// flash.img, settings, registry.reg, an empty event log and rootfs/ with
// its sample files. The caller holds the board's creation lock and has
// dropped every mapping of the old flash.img in this process. false with a
// message on standard error when a file cannot be written.
bool WriteDefaultBoard(const std::string& dir, bool blank);

}  // namespace board
