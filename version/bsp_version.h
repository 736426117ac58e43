// The version report: identifies the bootloader stored at the start of the
// flash and the operating-system image that is running, and shows both in
// one message box ("BSP Version" of the main dialog).
//
// The flash is read once, under the flash lock, into a private copy of its
// first 128 KB; everything below works on that copy, so no byte of the
// flash is touched twice and nothing is read past the window's end.
#pragma once
#include <cstddef>
#include <cstdint>

#include "device/hal_requests.h"
#include "platform/types.h"

// Bytes of the flash that identify the bootloader.
constexpr uint32_t VERSION_WINDOW_SIZE = 0x20000;

// Capacities, in wide characters with the terminator.
constexpr size_t DATE_TEXT_CHARS = 128;
constexpr size_t BETA_TEXT_CHARS = 32;
constexpr size_t REPORT_CHARS = 256;
// Room that each of the date and the time of day may take in a date text.
constexpr int DATE_PART_CHARS = 64;

// The version block of a bootloader: five words, these two around a
// BuildVersion.
constexpr uint32_t VERSION_MARKER_HEAD = 0x01234567;
constexpr uint32_t VERSION_MARKER_TAIL = 0x89ABCDEF;

// The board family that the report names.
constexpr uint32_t BOARD_FAMILY_ID = 1;

// The month names of a bootloader banner, January first.
extern const char* const MonthNames[12];

// Composes the report under the flash lock and shows it, owned by owner,
// with the lock and the window released before the box appears.
void ShowBspVersion(Window owner);

// Fills record where the bootloader names its version (version block, else
// banner) and writes its build date into dateText (DATE_TEXT_CHARS).
// window: a copy of the first VERSION_WINDOW_SIZE bytes of the flash.
void IdentifyBootloader(const uint8_t* window, BuildVersion* record, wchar_t* dateText);

// Fills record from the HAL's running-image version request (the HAL may
// leave it untouched) and dateText from the creation time of
// "\windows\default.fdf" ("Unknown Date" when the file gives none).
void IdentifyRunningImage(BuildVersion* record, wchar_t* dateText);

// 1 when a version block lies at a 4-byte aligned position of the window
// with both markers inside it; record then holds its three words. 0 leaves
// record alone.
int FindVersionBlock(const uint8_t* window, BuildVersion* record);

// Searches the window for narrow text. 1 with *after = the offset just past
// the first occurrence; 0 when there is none (or text is empty).
int FindText(const uint8_t* window, const char* text, uint32_t* after);

// 1..12 for a month name of the table (letter case ignored), else 0.
int MonthFromName(const char* name);

// The ROM header of the image at flash offset 0. 1 with *header = its offset
// in the window and *addressOffset = what turns an address of the image's
// own address space into a window offset (offset = address + addressOffset,
// 32-bit); 0 when there is no valid header inside the window.
int FindRomHeader(const uint8_t* window, uint32_t* header, uint32_t* addressOffset);

// Writes "dd MMM yyyy", a space, the 24-hour time of the system default
// locale and " (GMT)" into dateText (DATE_TEXT_CHARS). An invalid date
// leaves out the date and its space.
void FormatBuildDate(const SystemTime* calendarTime, wchar_t* dateText);
