// flashcheck: the host's half of the flash model check, and the judge.
//
//   flashcheck cycles GUEST_OUTPUT QEMU_FLASH KNOWN_DIFFERENCES
//   flashcheck driver GUEST_OUTPUT QEMU_FLASH
//
// `cycles` runs the sequences of sequences.h on the board's devices (the
// board of BOARDSIM_DIR, made blank with timing none by the caller) and
// compares every value read with the guest's (lines "R <sequence> <cycle>
// <value>" in hex, read on QEMU's flash) and each sequence's block of the
// final flash with QEMU's flash file. A difference is explained only by a
// line "<key>  <reason>" of KNOWN_DIFFERENCES, whose key is "R <sequence>
// <cycle>" (a value read, the cycle in decimal), "C <sequence>" (its
// block's contents), "S <sequence>" (all of a sequence that QEMU does not
// model), or the rule "M <tag> <mask>" (only the mask's bits of every read
// of that tag are compared). A listed difference that no longer differs
// fails the check too, so that the list stays true.
//
// `driver` makes the calls of driver_ops.cpp on the board and compares each
// result with the guest's ("D <name> <result>") and the whole flash with
// QEMU's, byte for byte: here nothing is explained away.
//
// Exit code 0: the models agree (but for the list); 1: not; 2: usage or a
// file that cannot be read.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "board/board.h"
#include "board/bus.h"
#include "board/imagekit.h"
#include "tools/flashcheck/driver_ops.h"
#include "tools/flashcheck/sequences.h"

namespace {

using flashcheck::Cycle;
using flashcheck::Table;
using imagekit::Bytes;

std::string Hex(uint32_t v)
{
    char b[9];
    flashcheck::Hex8(v, b);
    return b;
}

// The board's half: every read as "R <sequence> <cycle>" -> its value and tag.
struct BoardRead {
    uint32_t value;
    uint8_t tag;
};

void OnBoardRead(void* ctx, const flashcheck::Sequence& seq, uint32_t index, const Cycle& cycle, uint32_t value)
{
    auto* reads = static_cast<std::map<std::string, BoardRead>*>(ctx);
    (*reads)["R " + std::string(seq.name) + " " + std::to_string(index)] = {value, cycle.tag};
}

// The guest's output lines; false, with the output shown, when it did not
// run to its "END".
bool GuestLines(const Bytes& output, std::vector<std::string>* out)
{
    const std::string guest(output.begin(), output.end());
    bool ended = false;
    std::istringstream lines(guest);
    std::string line;
    while (std::getline(lines, line)) {
        ended = ended || line == "END";
        out->push_back(line);
    }
    if (!ended)
        std::printf("flashcheck: the guest did not run to its end:\n%s\n", guest.c_str());
    return ended;
}

// The board's flash once its half has run; false unless it and QEMU's are
// whole.
bool ReadBoardFlash(const Bytes& qemuFlash, Bytes* boardFlash)
{
    board::CloseAll();
    if (!imagekit::ReadFile(board::FlashImagePath(), boardFlash) || boardFlash->size() < board::kFlashSize ||
        qemuFlash.size() < board::kFlashSize) {
        std::fprintf(stderr, "flashcheck: cannot read the two flash images whole\n");
        return false;
    }
    return true;
}

struct Verdict {
    std::map<std::string, std::string> known;   // key -> reason
    std::map<std::string, uint32_t> masks;      // tag name -> the bits compared
    std::set<std::string> seen;                 // listed keys that differed
    int unexplained = 0;
    uint64_t comparisons = 0;

    void Differs(const std::string& key, const std::string& what)
    {
        // "R name cycle" and "C name" fall under "S name".
        const size_t nameEnd = key.find(' ', 2);
        const std::string whole = "S " + key.substr(2, nameEnd == std::string::npos ? std::string::npos : nameEnd - 2);
        auto it = known.find(key);
        if (it == known.end())
            it = known.find(whole);
        if (it != known.end()) {
            seen.insert(it->first);
            std::printf("  listed      %-36s %s\n", key.c_str(), what.c_str());
            return;
        }
        ++unexplained;
        std::printf("  UNEXPLAINED %-36s %s\n", key.c_str(), what.c_str());
    }
};

bool LoadKnown(const std::string& path, Verdict* v)
{
    std::ifstream in(path);
    if (!in)
        return false;
    std::string line;
    while (std::getline(in, line)) {
        if (line.empty() || line[0] == '#')
            continue;
        // "R name cycle  reason" or "C name  reason"
        std::istringstream words(line);
        std::string kind, name, cycle;
        words >> kind >> name;
        std::string key = kind + " " + name;
        if (kind == "M") {
            std::string mask;
            words >> mask;
            v->masks[name] = uint32_t(std::stoul(mask, nullptr, 16));
        }
        if (kind == "R") {
            words >> cycle;
            key += " " + cycle;
        }
        std::string reason;
        std::getline(words >> std::ws, reason);
        v->known[key] = reason;
    }
    return true;
}

int CyclesCheck(const std::string& guestPath, const std::string& qemuFlashPath, const std::string& knownPath)
{
    static Table t;
    if (!flashcheck::MakeSequences(&t)) {
        std::fprintf(stderr, "flashcheck: the sequence table does not fit\n");
        return 2;
    }
    Verdict v;
    Bytes guest, qemuFlash, boardFlash;
    if (!imagekit::ReadFile(guestPath, &guest) || !imagekit::ReadFile(qemuFlashPath, &qemuFlash) ||
        !LoadKnown(knownPath, &v)) {
        std::fprintf(stderr, "flashcheck: cannot read %s, %s or %s\n", guestPath.c_str(), qemuFlashPath.c_str(),
                     knownPath.c_str());
        return 2;
    }
    std::vector<std::string> lines;
    if (!GuestLines(guest, &lines))
        return 1;
    std::map<std::string, uint32_t> qemu;
    for (const std::string& line : lines) {
        std::istringstream words(line);
        std::string r, name, cycle, value;
        if (words >> r >> name >> cycle >> value && r == "R")
            qemu["R " + name + " " + std::to_string(std::stoul(cycle, nullptr, 16))] =
                uint32_t(std::stoul(value, nullptr, 16));
    }
    std::map<std::string, BoardRead> ours;
    if (!flashcheck::RunSequences(t, OnBoardRead, &ours))
        std::fprintf(stderr, "flashcheck: cannot map the board's flash\n");
    if (!ReadBoardFlash(qemuFlash, &boardFlash))
        return 2;

    std::printf("Values read (board, QEMU):\n");
    for (const auto& [key, read] : ours) {
        ++v.comparisons;
        const uint32_t value = read.value;
        const std::string tag = flashcheck::kTagNames[read.tag];
        auto it = qemu.find(key);
        if (it == qemu.end()) {
            v.Differs(key, "read on the board only");
            continue;
        }
        uint32_t mask = 0xFFFFFFFFu;
        auto rule = v.masks.find(tag);
        if (rule != v.masks.end()) {
            mask = rule->second;
            if (it->second != value)
                v.seen.insert("M " + tag);   // the rule is needed
        }
        if ((it->second & mask) != (value & mask))
            v.Differs(key, "(" + tag + ") " + Hex(value) + " " + Hex(it->second));
    }
    if (qemu.size() != ours.size())
        v.Differs("R count", std::to_string(ours.size()) + " " + std::to_string(qemu.size()));
    std::printf("Final contents of each sequence's block (first differing offset: board, QEMU):\n");
    uint64_t bytes = 0;
    auto at = [&](uint32_t o) {
        char what[64];
        std::snprintf(what, sizeof what, "at %08x: %02x %02x", o, boardFlash[o], qemuFlash[o]);
        return std::string(what);
    };
    for (uint32_t s = 0; s < t.sequenceCount; ++s) {
        const flashcheck::Sequence& seq = t.sequences[s];
        bytes += flashcheck::kBlockBytes;
        ++v.comparisons;
        for (uint32_t o = seq.block; o < seq.block + flashcheck::kBlockBytes; ++o)
            if (boardFlash[o] != qemuFlash[o]) {
                v.Differs("C " + std::string(seq.name), at(o));
                break;
            }
    }
    // Outside the sequences' blocks nothing may have changed on either side.
    ++v.comparisons;
    const uint32_t first = flashcheck::kFirstBlock, end = first + t.sequenceCount * flashcheck::kBlockBytes;
    for (uint32_t o = 0; o < board::kFlashSize; o = o + 1 == first ? end : o + 1) {
        if (boardFlash[o] != 0xFF || qemuFlash[o] != 0xFF) {
            v.Differs("C outside", at(o));
            break;
        }
        ++bytes;
    }
    int stale = 0;
    for (const auto& [key, reason] : v.known)
        if (!v.seen.count(key)) {
            ++stale;
            std::printf("  STALE       %-36s listed, but the models agree now\n", key.c_str());
        }
    std::printf("\nflashcheck: %u sequences, %llu bus cycles on each side; %llu comparisons (%zu values read, "
                "%llu bytes of flash); %zu listed differences, %d unexplained, %d stale\n",
                t.sequenceCount, (unsigned long long)t.cycleCount, (unsigned long long)v.comparisons, ours.size(),
                (unsigned long long)bytes, v.seen.size(), v.unexplained, stale);
    if (v.unexplained == 0 && stale == 0) {
        std::printf("The listed differences and their reasons:\n");
        for (const auto& [key, reason] : v.known)
            std::printf("  %-36s %s\n", key.c_str(), reason.c_str());
    }
    return v.unexplained == 0 && stale == 0 ? 0 : 1;
}

std::vector<std::string> g_driverLines;

void DriverLine(const char* name, uint32_t result)
{
    g_driverLines.push_back("D " + std::string(name) + " " + Hex(result));
}

int DriverCheck(const std::string& guestPath, const std::string& qemuFlashPath)
{
    Bytes guest, qemuFlash, boardFlash;
    if (!imagekit::ReadFile(guestPath, &guest) || !imagekit::ReadFile(qemuFlashPath, &qemuFlash)) {
        std::fprintf(stderr, "flashcheck: cannot read %s or %s\n", guestPath.c_str(), qemuFlashPath.c_str());
        return 2;
    }
    std::vector<std::string> lines, theirs;
    if (!GuestLines(guest, &lines))
        return 1;
    for (const std::string& line : lines)
        if (line.rfind("D ", 0) == 0)
            theirs.push_back(line);
    flashcheck::RunDriverOps(DriverLine);
    if (!ReadBoardFlash(qemuFlash, &boardFlash))
        return 2;
    int differences = 0;
    std::printf("Driver calls (board | QEMU):\n");
    for (size_t i = 0; i < std::max(theirs.size(), g_driverLines.size()); ++i) {
        const std::string a = i < g_driverLines.size() ? g_driverLines[i] : "(none)";
        const std::string b = i < theirs.size() ? theirs[i] : "(none)";
        std::printf("  %-40s %s%s\n", a.c_str(), b.c_str(), a == b ? "" : "   DIFFERENT");
        differences += a == b ? 0 : 1;
    }
    uint32_t firstDiff = board::kFlashSize, differingBytes = 0;
    for (uint32_t o = 0; o < board::kFlashSize; ++o)
        if (boardFlash[o] != qemuFlash[o]) {
            firstDiff = std::min(firstDiff, o);
            ++differingBytes;
        }
    if (differingBytes != 0) {
        std::printf("  flash images DIFFERENT: %u bytes, the first at %08x (board %02x, QEMU %02x)\n", differingBytes,
                    firstDiff, boardFlash[firstDiff], qemuFlash[firstDiff]);
        ++differences;
    }
    std::printf("\nflashcheck: %zu driver calls on each side; %zu results and %u bytes of flash compared; %d "
                "differences\n",
                g_driverLines.size(), g_driverLines.size(), board::kFlashSize, differences);
    return differences == 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc == 4 && std::strcmp(argv[1], "driver") == 0)
        return DriverCheck(argv[2], argv[3]);
    if (argc == 5 && std::strcmp(argv[1], "cycles") == 0)
        return CyclesCheck(argv[2], argv[3], argv[4]);
    std::fprintf(stderr, "Usage: flashcheck cycles GUEST_OUTPUT QEMU_FLASH KNOWN_DIFFERENCES\n"
                         "       flashcheck driver GUEST_OUTPUT QEMU_FLASH\n");
    return 2;
}
