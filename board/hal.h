// The board's HAL: answers the control requests the programs send through
// the platform (OsHalRequest), from the board settings.
//
// Requests (the configuration record is {uint32_t selector; void* block;
// uint32_t size;}, passed as input with inSize == sizeof the record, its
// block passed again as output with outSize == its size):
//   0x01012028 configuration get: selector 0 (8 bytes, "hal-selector0"),
//              selector 5 (24 bytes: OS offset, registry offset, registry
//              length / 2, then three zero words; "hal-selector5"). A
//              "silent" selector succeeds with 0 bytes returned.
//   0x0101202C configuration set: selector 0 records the event
//              "config-set 0 <16 hex digits>"; other selectors are accepted
//              and recorded as "config-set <selector>".
//   0x0101200C running-image version: writes {id, major, minorAndBuild}
//              (12 bytes) to out, whatever outSize says ("hal-version";
//              "silent" leaves out untouched).
//   0x01012010 registry clear: erases the flash registry area ("hal-
//              registry-clear"); event "registry-clear ok|failed".
//   0x0101003C restart: event "restart warm|cold" (cold when the clean-boot
//              mark is set; the mark is consumed), resets the flash devices
//              and ends the calling program with exit status 1, as the
//              device's restart would. "hal-restart fail": event
//              "restart failed", returns 0.
// A request with sizes or pointers that do not match its record is refused:
// result 0, *returned 0. Unknown codes are refused likewise.
#pragma once
#include <cstdint>
#include <string>

namespace board {

constexpr uint32_t kHalRestart = 0x0101003C;
constexpr uint32_t kHalRegistryClear = 0x01012010;
constexpr uint32_t kHalImageVersion = 0x0101200C;
constexpr uint32_t kHalConfigGet = 0x01012028;
constexpr uint32_t kHalConfigSet = 0x0101202C;

// The configuration record as the programs pass it on this host.
struct HalConfigRecord {
    uint32_t selector;
    void* block;
    uint32_t size;
};

// Nonzero on success, 0 on failure. returned may be nullptr.
int HalRequest(uint32_t code, void* in, uint32_t inSize, void* out, uint32_t outSize, uint32_t* returned);

// Marks the next restart as a clean (cold) boot; event "clean-boot-mark".
// The mark is board-wide: it stays until a restart consumes it or
// HalClearCleanBootMark takes it back.
void HalSetCleanBootMark();
// Takes a mark back that no restart followed (event "clean-boot-unmark").
void HalClearCleanBootMark();
bool HalCleanBootMarked();

// Test hook: when set, a successful restart calls hook(cold) and returns 1
// instead of ending the program. nullptr restores the real restart.
void SetRestartHook(void (*hook)(bool cold));

// The HAL's answers as the settings give them. Each returns false when the
// answer is "silent" (out then holds the default answer) or the setting is
// unreadable (out holds the default answer, too).
bool HalSelector0(uint8_t out[8]);
bool HalSelector5(uint32_t out[3]);   // OS offset, registry offset, registry length / 2
bool HalVersion(uint32_t out[3]);     // id, major, minorAndBuild

// Parsers of the HAL settings' values (without "silent"): 16 hex digits;
// three hex numbers "OS,REG,LEN16"; "ID,MAJOR,MINORANDBUILD" (decimal, or
// hex with 0x; MAJOR may be negative).
bool ParseSelector0(const std::string& text, uint8_t out[8]);
bool ParseSelector5(const std::string& text, uint32_t out[3]);
bool ParseVersion(const std::string& text, uint32_t out[3]);

// The flash registry area (offset, length in bytes) from selector 5, or
// its default when silent.
void HalRegistryArea(uint32_t* offset, uint32_t* length);

}  // namespace board
