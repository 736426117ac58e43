// The board's registry store: the local-machine hive that every program of
// the board shares, kept as REGEDIT4-style text in <board>/registry.reg: a
// "[HKEY_LOCAL_MACHINE\Key\Path]" line per key, then its values as
// "Name"=dword:01480000, "Name"="text" or "Name"=hex:01,02,ff. Key paths
// are relative to HKEY_LOCAL_MACHINE, components separated by '\'; key and
// value names match without regard to ASCII letter case. Text is UTF-8.
//
// Every change is a read-modify-write of the file under a lock, replacing
// the file atomically, so that concurrent programs never lose or tear an
// update. A flush copies the hive into the flash's registry area (selector
// 5 of the HAL) under the "NorFlash" lock file; the HAL's registry clear
// erases that area.
#pragma once
#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace board {

constexpr uint32_t kRegSz = 1;
constexpr uint32_t kRegBinary = 3;
constexpr uint32_t kRegDword = 4;

struct RegValue {
    uint32_t type = kRegDword;
    std::string text;            // kRegSz: UTF-8, without terminator
    uint32_t dword = 0;          // kRegDword
    std::vector<uint8_t> bytes;  // kRegBinary

    static RegValue Dword(uint32_t v) { RegValue r; r.type = kRegDword; r.dword = v; return r; }
    static RegValue String(const std::string& s) { RegValue r; r.type = kRegSz; r.text = s; return r; }
    static RegValue Binary(const std::vector<uint8_t>& b) { RegValue r; r.type = kRegBinary; r.bytes = b; return r; }
};

// A whole hive in memory: keys by lower-case path ("" is the root).
struct RegKeyNode {
    std::string path;                                         // as first created
    std::map<std::string, std::pair<std::string, RegValue>> values;  // lower name -> {name, value}
};
struct RegHive {
    std::map<std::string, RegKeyNode> keys;
};

// Bounds of the hive: nesting depth of keys, length of one key name and of
// a whole key path, of a value name and of a value's data (bytes of UTF-8
// text or binary data), and of the registry file itself.
constexpr size_t kRegMaxDepth = 64;
constexpr size_t kRegMaxKeyName = 255;
constexpr size_t kRegMaxKeyPath = 2048;
constexpr size_t kRegMaxValueName = 255;
constexpr size_t kRegMaxValueData = 64 * 1024;
constexpr size_t kRegMaxFileBytes = 16u << 20;

// The canonical form of a key path: separators collapsed, no leading or
// trailing '\'. false when a component is "." or ".." or the path holds a
// control character, or it is beyond the bounds above (*why, may be
// nullptr, says which).
bool RegNormalizePath(const std::string& path, std::string* out, std::string* why = nullptr);
// Whether a value name and value are within the bounds (*why says why not).
bool RegValueFits(const std::string& name, const RegValue& value, std::string* why);

// Sets a value in hive, creating its key (a canonical path) and the keys
// above it as needed. A value keeps the spelling of its name as first set.
void RegHiveSet(RegHive* hive, const std::string& key, const std::string& name, const RegValue& value);

// Text form of a hive and back. RegParseText accepts what RegSerialize
// writes and ignores comments (';') and blank lines; false on a malformed
// line (with its number and reason in *error, may be nullptr).
std::string RegSerialize(const RegHive& hive);
bool RegParseText(const std::string& text, RegHive* hive, std::string* error);

// The live registry of the current board (Dir()/registry.reg). A file that
// cannot be read whole (a damaged line, beyond the bounds, not a plain
// file) is refused: every read finds nothing, every change fails and
// leaves the file as it is, and a flush fails. The refusal is reported on
// standard error once, naming the file and the line.
bool RegKeyExists(const std::string& key);
// Creates key and its parents as needed. *created (may be nullptr): whether
// key itself was new. false when the path is invalid or the file cannot be
// written.
bool RegCreateKey(const std::string& key, bool* created);
// false when the key or the value is missing.
bool RegGetValue(const std::string& key, const std::string& name, RegValue* out);
// Sets a value, creating the key as needed.
bool RegSetValue(const std::string& key, const std::string& name, const RegValue& value);
// What is wrong with the live registry file, naming it and the line; ""
// when it reads whole.
std::string RegDamage();

// Flush to the flash registry area: offset and length (bytes) from the
// HAL's selector-5 settings. Records "registry-flush ok" or
// "registry-flush failed". false when the setting "registry-flush" is
// "fail", the text does not fit, or flash.img cannot be written.
bool RegFlushToFlash();
// Erases the flash registry area (all 0xFF). false when flash.img cannot
// be written. Records no event (the HAL does).
bool RegClearFlash();
// The registry text saved in flash, when the area holds a sound copy.
bool RegReadFlash(std::string* text);

// The saved copy's header in flash: magic, payload length, payload byte
// sum, payload length inverted; the payload (registry text) follows.
constexpr uint32_t kRegFlashMagic = 0x47455242;  // "BREG"
constexpr uint32_t kRegFlashHeaderSize = 16;

}  // namespace board
