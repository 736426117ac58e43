// NOR flash access: the device-wide flash lock, the mapping of the flash and
// the command sequences (read array, block erase, buffered program) of the
// two 16-bit devices that sit side by side on the 32-bit bus.
//
// Every routine here talks to the flash only through the platform's device
// memory accessors and reports 1 (done) or 0 (failed); callers turn that
// into messages. A caller holds the lock from LockFlash to UnlockFlash around
// every use of a window, and ends a use that sent commands with
// ResetToReadArray.
#pragma once
#include <cstdint>

#include "platform/types.h"

// Bytes in one flash bus access: 4 (two 16-bit devices on a 32-bit bus) or
// 2 (16-bit devices one after the other). Never changed by the program.
extern uint32_t BusWidth;

// A status word counts as ready when its bits 7 and 23 equal those of the
// pattern. All ones: bit 7 (ready) set in both devices of the 32-bit bus.
extern uint32_t ReadyPattern;
// With BusWidth 2 a status read is zero-extended from 16 bits, so bit 23
// always reads 0; this pattern has bit 23 clear and bit 7 set, i.e. "ready"
// for the one device that answered.
extern uint32_t ReadyPattern16;

// Sizes of a FlashWindow.
constexpr uint32_t FLASH_WINDOW_FULL = 0x2000000;   // the whole 32 MB flash
constexpr uint32_t FLASH_WINDOW_BOOT = 0x20000;     // the first 128 KB

// Command words: the same value in both halves reaches both devices of a
// 32-bit bus at once; with BusWidth 2 only the low half is written.
constexpr uint32_t FLASH_CMD_READ_ARRAY = 0x00FF00FF;
constexpr uint32_t FLASH_CMD_READ_STATUS = 0x00700070;
constexpr uint32_t FLASH_CMD_CLEAR_STATUS = 0x00500050;
constexpr uint32_t FLASH_CMD_BLOCK_ERASE = 0x00200020;
constexpr uint32_t FLASH_CMD_CONFIRM = 0x00D000D0;
constexpr uint32_t FLASH_CMD_WRITE_BUFFER = 0x00E800E8;

// Status register bits, one copy per device (bits 0-7 and 16-23).
constexpr uint32_t FLASH_SR_READY = 0x00800080;          // bit 7: device ready
constexpr uint32_t FLASH_SR_ERASE_ERROR = 0x00200020;    // bit 5
constexpr uint32_t FLASH_SR_PROGRAM_ERROR = 0x00100010;  // bit 4
constexpr uint32_t FLASH_SR_VPP_LOW = 0x00080008;        // bit 3
constexpr uint32_t FLASH_SR_BLOCK_LOCKED = 0x00020002;   // bit 1
// Bits that fail an erase: block locked, VPP low, erase failure.
constexpr uint32_t FLASH_ERASE_ERRORS = FLASH_SR_ERASE_ERROR | FLASH_SR_VPP_LOW | FLASH_SR_BLOCK_LOCKED;
// Bits that fail a buffered program: program failure, VPP low, block locked.
constexpr uint32_t FLASH_PROGRAM_ERRORS =
    FLASH_SR_PROGRAM_ERROR | FLASH_SR_VPP_LOW | FLASH_SR_BLOCK_LOCKED;

// Time limits, in milliseconds of the platform tick count.
constexpr uint32_t FLASH_ERASE_TIMEOUT_MS = 10000;
constexpr uint32_t FLASH_ERASE_POLL_MS = 100;
constexpr uint32_t FLASH_BUFFER_TIMEOUT_MS = 10000;

// Bus words in one write buffer.
constexpr uint32_t FLASH_BUFFER_WORDS = 16;

// Bytes in one erase block: BusWidth x 64 K (256 KB on the 32-bit bus).
uint32_t FlashBlockSize();

// The device-wide mutex that serialises the flash's users.
constexpr wchar_t FLASH_MUTEX_NAME[] = L"NorFlash";

// Creates or opens the device-wide mutex "NorFlash" and waits for it
// without time-out. Returns the handle (nullptr when it could not be made).
Handle LockFlash();
// Releases the mutex, then closes the handle. nullptr is ignored.
void UnlockFlash(Handle lock);

// Reserves size bytes of address space and maps the flash (physical 0)
// into it, read-write and uncached. Returns the window's start, or nullptr
// when either step fails (nothing stays reserved then).
uint8_t* MapFlashWindow(uint32_t size);
// Releases a window from MapFlashWindow. nullptr is ignored.
void UnmapFlashWindow(uint8_t* window);

// One bus access of BusWidth bytes (16-bit accesses zero-extended).
uint32_t FlashReadWord(const uint8_t* address);
void FlashWriteWord(uint8_t* address, uint32_t value);

// Puts the device(s) at address back into read-array mode.
void ResetToReadArray(uint8_t* address);

// 1 when the count bytes from address (read as 32-bit words, count rounded
// down to whole words) all read 0xFF. Sends a read-array command first.
int IsBlockErased(uint8_t* address, uint32_t count);

// Erases the block starting at address unless it already reads all ones.
// The devices are waited for until idle first (a busy device loses every
// command; at most the erase's time limit), stale error bits from earlier
// operations are cleared, error bits are read only from a ready status,
// and a reported success must read all ones. 1 = erased (or already
// blank); 0 = error status, a block that does not read blank, or a
// time-out.
int EraseBlock(uint8_t* address);

// Programs count bytes from source (aligned to BusWidth; readable up to
// BusWidth-1 bytes past count) to target (a multiple of BusWidth inside a
// window) through the write buffers, never letting a buffer cross a
// 16-word boundary. Once per call the devices are waited for until idle
// and their status cleared; then, buffer by buffer: write to buffer
// (0xE8) and its status until a buffer is free, the word count, the data
// words, the confirm at the last word, and the status until ready. Each
// buffer has FLASH_BUFFER_TIMEOUT_MS from its 0xE8.
// 1 = done; 0 = a wait timed out or a buffer's ready status showed program
// failure, VPP low or a locked block (earlier buffers stay programmed).
// Nothing is read back here: the caller compares.
int ProgramFlash(const uint8_t* source, uint8_t* target, uint32_t count);
