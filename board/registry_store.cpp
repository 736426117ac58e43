// The board's registry store: registry.reg text, its live updates, and its
// copy in the flash registry area.
#include "board/registry_store.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <mutex>

#include "board/board.h"
#include "board/file_lock.h"
#include "board/flash_device.h"
#include "board/bus.h"
#include "board/default_board.h"
#include "board/hal.h"
#include "board/imagekit.h"

namespace board {
namespace {

using imagekit::ByteSum;
using imagekit::Get32;
using imagekit::Put32;

const char kRootName[] = "HKEY_LOCAL_MACHINE";

std::string RegPath() { return Dir() + "/registry.reg"; }

// --- text form --------------------------------------------------------------

std::string Quote(const std::string& s)
{
    std::string out = "\"";
    for (char c : s) {
        switch (c) {
        case '\\': out += "\\\\"; break;
        case '"': out += "\\\""; break;
        case '\n': out += "\\n"; break;
        case '\r': out += "\\r"; break;
        case '\t': out += "\\t"; break;
        default: out += c;
        }
    }
    return out + "\"";
}

// Reads a quoted string at s[*pos] (which is '"'); *pos ends after the
// closing quote.
bool Unquote(const std::string& s, size_t* pos, std::string* out)
{
    if (*pos >= s.size() || s[*pos] != '"')
        return false;
    out->clear();
    for (size_t i = *pos + 1; i < s.size(); ++i) {
        char c = s[i];
        if (c == '"') {
            *pos = i + 1;
            return true;
        }
        if (c == '\\') {
            if (++i >= s.size())
                return false;
            switch (s[i]) {
            case '\\': *out += '\\'; break;
            case '"': *out += '"'; break;
            case 'n': *out += '\n'; break;
            case 'r': *out += '\r'; break;
            case 't': *out += '\t'; break;
            default: return false;
            }
            continue;
        }
        *out += c;
    }
    return false;
}

// Creates the key at path and every key above it (not the root); whether
// the key itself was new.
bool MakeKeyPath(RegHive* hive, const std::string& path)
{
    size_t pos = 0;
    bool made = false;
    for (;;) {
        size_t b = path.find('\\', pos);
        std::string part = path.substr(0, b);
        std::string lower = AsciiLower(part);
        if (!hive->keys.count(lower)) {
            hive->keys[lower].path = part;
            made = true;
        }
        if (b == std::string::npos)
            return made;
        pos = b + 1;
    }
}

// The key at path, its parents and the root.
void EnsureKey(RegHive* hive, const std::string& path, bool* created)
{
    const bool made = MakeKeyPath(hive, path);
    if (!hive->keys.count(""))
        hive->keys[""].path = "";
    if (created)
        *created = made;
}

// --- live file --------------------------------------------------------------

// Reads the live registry whole. false (with *why naming the file and the
// line) when it cannot be: nothing of it is then used or written back.
bool LoadFresh(RegHive* hive, std::string* why)
{
    *hive = RegHive{};
    std::string text, reason;
    if (!ReadBoardFile("registry.reg", &text, &reason, kRegMaxFileBytes)) {
        *why = reason;
        return reason.empty();  // a board without a registry yet has an empty one
    }
    if (RegParseText(text, hive, &reason))
        return true;
    *hive = RegHive{};
    *why = RegPath() + " " + reason;
    return false;
}

void WarnDamaged(const std::string& why)
{
    static std::mutex m;
    static std::string last;
    std::lock_guard<std::mutex> guard(m);
    if (why != last)
        std::fprintf(stderr, "board: %s; the registry is refused and left as it is\n", why.c_str());
    last = why;
}

// The live hive; false (and a warning) when the file is damaged.
bool LoadLive(RegHive* out)
{
    std::string why;
    if (LoadFresh(out, &why))
        return true;
    WarnDamaged(why);
    return false;
}

// Read-modify-write of the live registry under its lock.
template <typename F>
bool Modify(F&& change)
{
    if (!Ensure())
        return false;
    std::string dir = Dir();
    FileLock lock(dir + "/.registry.lock");
    if (!lock.ok())
        return false;
    std::string path = dir + "/registry.reg";
    RegHive hive;
    if (!LoadLive(&hive))
        return false;
    if (!change(hive))
        return false;
    std::string text = RegSerialize(hive);
    // A file beyond the bound would be refused by every later read: the
    // change that would make it so is refused instead.
    if (text.size() > kRegMaxFileBytes) {
        std::fprintf(stderr, "board: %s would grow beyond %zu bytes; the change is refused\n", path.c_str(),
                     kRegMaxFileBytes);
        return false;
    }
    return ReplaceFile(path, text);
}

// Longest wait for one erase or buffer program of the registry area.
constexpr uint32_t kFlashWaitMs = 10000;

// Writes area bytes at offset of the flash under the "NorFlash" lock file,
// through the flash devices (their faults and lock bits apply).
bool WriteFlash(uint32_t offset, const std::vector<uint8_t>& bytes)
{
    // A holder of the flash lock that never lets go must not hang the
    // flush: give up after 10 seconds.
    FileLock lock(LockFilePath("NorFlash"), 10000);
    if (!lock.ok())
        return false;
    return FlashRewrite(offset, bytes.data(), bytes.size(), kFlashWaitMs);
}

}  // namespace

bool RegNormalizePath(const std::string& path, std::string* out, std::string* why)
{
    std::string result;
    size_t depth = 0;
    size_t pos = 0;
    while (pos <= path.size()) {
        size_t b = path.find('\\', pos);
        if (b == std::string::npos)
            b = path.size();
        std::string part = path.substr(pos, b - pos);
        pos = b + 1;
        if (part.empty())
            continue;
        if (part == "." || part == "..")
            return FailWith(why, "key name \"" + part + "\" in the path");
        for (unsigned char c : part)
            if (c < 0x20 || c == 0x7F || c == '[' || c == ']')
                return FailWith(why, "control character or bracket in a key name");
        if (part.size() > kRegMaxKeyName)
            return FailWith(why, "key name longer than " + std::to_string(kRegMaxKeyName) + " bytes");
        if (++depth > kRegMaxDepth)
            return FailWith(why, "key nested deeper than " + std::to_string(kRegMaxDepth) + " levels");
        if (!result.empty())
            result += '\\';
        result += part;
        if (result.size() > kRegMaxKeyPath)
            return FailWith(why, "key path longer than " + std::to_string(kRegMaxKeyPath) + " bytes");
    }
    *out = result;
    return true;
}

void RegHiveSet(RegHive* hive, const std::string& key, const std::string& name, const RegValue& value)
{
    MakeKeyPath(hive, key);
    auto& values = hive->keys[AsciiLower(key)].values;
    auto it = values.find(AsciiLower(name));
    std::string shown = it == values.end() ? name : it->second.first;
    values[AsciiLower(name)] = {shown, value};
}

bool RegValueFits(const std::string& name, const RegValue& value, std::string* why)
{
    size_t data = value.type == kRegSz ? value.text.size() : value.type == kRegDword ? 4 : value.bytes.size();
    if (name.size() > kRegMaxValueName)
        return FailWith(why, "value name longer than " + std::to_string(kRegMaxValueName) + " bytes");
    if (data > kRegMaxValueData)
        return FailWith(why, "value data larger than " + std::to_string(kRegMaxValueData) + " bytes");
    return true;
}

std::string RegSerialize(const RegHive& hive)
{
    std::string out = "REGEDIT4\n";
    for (const auto& [lower, node] : hive.keys) {
        out += "\n[";
        out += kRootName;
        if (!node.path.empty())
            out += "\\" + node.path;
        out += "]\n";
        for (const auto& [lname, entry] : node.values) {
            const RegValue& v = entry.second;
            out += entry.first.empty() ? std::string("@") : Quote(entry.first);
            out += '=';
            char buf[16];
            switch (v.type) {
            case kRegDword:
                std::snprintf(buf, sizeof buf, "dword:%08x", v.dword);
                out += buf;
                break;
            case kRegSz:
                out += Quote(v.text);
                break;
            default:
                out += "hex:";
                for (size_t i = 0; i < v.bytes.size(); ++i) {
                    std::snprintf(buf, sizeof buf, i ? ",%02x" : "%02x", v.bytes[i]);
                    out += buf;
                }
                break;
            }
            out += '\n';
        }
    }
    return out;
}

bool RegParseText(const std::string& text, RegHive* hive, std::string* error)
{
    std::string current;
    bool inKey = false;
    size_t pos = 0;
    int lineNo = 0;
    auto fail = [&](const std::string& why) {
        if (error)
            *error = "line " + std::to_string(lineNo) + ": " + why;
        return false;
    };
    // An editor may begin the file with a UTF-8 byte-order mark; a UTF-16
    // one (a registry export of the desktop's editor) is said as such.
    if (text.compare(0, 3, "\xEF\xBB\xBF") == 0)
        pos = 3;
    if (text.compare(0, 2, "\xFF\xFE") == 0 || text.compare(0, 2, "\xFE\xFF") == 0) {
        lineNo = 1;
        return fail("UTF-16 text; the registry file is UTF-8");
    }
    while (pos < text.size()) {
        size_t end = text.find('\n', pos);
        if (end == std::string::npos)
            end = text.size();
        std::string line = text.substr(pos, end - pos);
        pos = end + 1;
        ++lineNo;
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        size_t first = line.find_first_not_of(" \t");
        if (first == std::string::npos || line[first] == ';')
            continue;
        line = line.substr(first);
        if (line == "REGEDIT4")
            continue;
        if (line[0] == '[') {
            size_t close = line.rfind(']');
            if (close == std::string::npos)
                return fail("key without ']'");
            if (line.find_first_not_of(" \t", close + 1) != std::string::npos)
                return fail("text after the key's ']'");
            std::string name = line.substr(1, close - 1);
            // The root's own name, then nothing or a '\\' (not a longer name).
            if (AsciiLower(name.substr(0, sizeof kRootName - 1)) != AsciiLower(kRootName) ||
                (name.size() >= sizeof kRootName && name[sizeof kRootName - 1] != '\\'))
                return fail("key outside HKEY_LOCAL_MACHINE");
            name = name.substr(sizeof kRootName - 1);
            std::string why;
            if (!RegNormalizePath(name, &current, &why))
                return fail("bad key path: " + why);
            EnsureKey(hive, current, nullptr);
            inKey = true;
            continue;
        }
        if (!inKey)
            return fail("value before any key");
        std::string name;
        size_t at = 0;
        if (line[0] == '@') {
            at = 1;
        } else if (!Unquote(line, &at, &name)) {
            return fail("bad value name");
        }
        if (at >= line.size() || line[at] != '=')
            return fail("'=' expected");
        ++at;
        std::string rest = line.substr(at);
        RegValue v;
        if (rest.rfind("dword:", 0) == 0) {
            uint32_t x = 0;
            if (!ParseHexDigits(rest.substr(6), &x))
                return fail("bad dword");
            v = RegValue::Dword(x);
        } else if (rest.rfind("hex:", 0) == 0) {
            std::string hex = rest.substr(4);
            v = RegValue::Binary({});
            size_t i = 0;
            while (i < hex.size()) {
                if (v.bytes.size() >= kRegMaxValueData)
                    return fail("value data larger than " + std::to_string(kRegMaxValueData) + " bytes");
                if (i + 2 > hex.size() || HexDigit(hex[i]) < 0 || HexDigit(hex[i + 1]) < 0)
                    return fail("bad hex");
                v.bytes.push_back(uint8_t(HexDigit(hex[i]) << 4 | HexDigit(hex[i + 1])));
                i += 2;
                if (i < hex.size()) {
                    if (hex[i] != ',')
                        return fail("bad hex");
                    ++i;
                }
            }
        } else if (!rest.empty() && rest[0] == '"') {
            size_t q = 0;
            std::string s;
            if (!Unquote(rest, &q, &s) || q != rest.size())
                return fail("bad string");
            v = RegValue::String(s);
        } else {
            return fail("unknown value type");
        }
        std::string why;
        if (!RegValueFits(name, v, &why))
            return fail(why);
        hive->keys[AsciiLower(current)].values[AsciiLower(name)] = {name, v};
    }
    return true;
}

std::string RegDamage()
{
    RegHive hive;
    std::string why;
    return LoadFresh(&hive, &why) ? "" : why;
}

bool RegKeyExists(const std::string& key)
{
    std::string path;
    if (!RegNormalizePath(key, &path))
        return false;
    RegHive hive;
    if (!LoadLive(&hive))
        return false;
    return path.empty() || hive.keys.count(AsciiLower(path)) != 0;
}

bool RegCreateKey(const std::string& key, bool* created)
{
    std::string path;
    if (!RegNormalizePath(key, &path))
        return false;
    bool made = false;
    bool ok = Modify([&](RegHive& h) {
        EnsureKey(&h, path, &made);
        return true;
    });
    if (created)
        *created = ok && made;
    return ok;
}

bool RegGetValue(const std::string& key, const std::string& name, RegValue* out)
{
    std::string path;
    if (!RegNormalizePath(key, &path))
        return false;
    RegHive hive;
    if (!LoadLive(&hive))
        return false;
    auto k = hive.keys.find(AsciiLower(path));
    if (k == hive.keys.end())
        return false;
    auto v = k->second.values.find(AsciiLower(name));
    if (v == k->second.values.end())
        return false;
    *out = v->second.second;
    return true;
}

bool RegSetValue(const std::string& key, const std::string& name, const RegValue& value)
{
    std::string path, why;
    if (!RegNormalizePath(key, &path) || !RegValueFits(name, value, &why))
        return false;
    return Modify([&](RegHive& h) {
        EnsureKey(&h, path, nullptr);
        RegHiveSet(&h, path, name, value);
        return true;
    });
}

bool RegFlushToFlash()
{
    bool ok = false;
    RegHive hive;
    // A damaged registry is never saved in part.
    if (GetSetting("registry-flush", "ok") != "fail" && LoadLive(&hive)) {
        std::string text = RegSerialize(hive);
        uint32_t offset, length;
        HalRegistryArea(&offset, &length);
        if (offset < kFlashSize && length <= kFlashSize - offset && length >= kRegFlashHeaderSize &&
            text.size() <= length - kRegFlashHeaderSize) {
            std::vector<uint8_t> area(length, 0xFF);
            Put32(area, 0, kRegFlashMagic);
            Put32(area, 4, uint32_t(text.size()));
            Put32(area, 8, ByteSum(reinterpret_cast<const uint8_t*>(text.data()), text.size()));
            Put32(area, 12, ~uint32_t(text.size()));
            std::memcpy(area.data() + kRegFlashHeaderSize, text.data(), text.size());
            ok = WriteFlash(offset, area);
        }
    }
    RecordEvent(ok ? "registry-flush ok" : "registry-flush failed");
    return ok;
}

bool RegClearFlash()
{
    uint32_t offset, length;
    HalRegistryArea(&offset, &length);
    if (offset >= kFlashSize || length > kFlashSize - offset)
        return false;
    return WriteFlash(offset, std::vector<uint8_t>(length, 0xFF));
}

bool RegReadFlash(std::string* text)
{
    uint32_t offset, length;
    HalRegistryArea(&offset, &length);
    if (offset >= kFlashSize || length > kFlashSize - offset || length < kRegFlashHeaderSize)
        return false;
    int fd = OpenBoardFile("flash.img", O_RDONLY);
    if (fd < 0)
        return false;
    std::vector<uint8_t> area(length);
    ssize_t n = pread(fd, area.data(), length, off_t(offset));
    close(fd);
    if (n != ssize_t(length))
        return false;
    uint32_t size = Get32(area, 4);
    if (Get32(area, 0) != kRegFlashMagic || Get32(area, 12) != ~size ||
        size > length - kRegFlashHeaderSize || ByteSum(area.data() + kRegFlashHeaderSize, size) != Get32(area, 8))
        return false;
    text->assign(reinterpret_cast<const char*>(area.data() + kRegFlashHeaderSize), size);
    return true;
}

}  // namespace board
