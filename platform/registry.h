// Registry role: the device's registry (on the board: its registry store).
// Results are error codes as on the device: 0 = success.
#pragma once
#include "platform/types.h"

struct OsRegKeyObject;
typedef OsRegKeyObject* RegKey;
#define OS_HKEY_LOCAL_MACHINE ((RegKey)(uintptr_t)0x80000002u)

constexpr long OS_ERROR_SUCCESS = 0;
constexpr long OS_ERROR_FILE_NOT_FOUND = 2;
constexpr long OS_ERROR_INVALID_HANDLE = 6;
constexpr long OS_ERROR_MORE_DATA = 234;
constexpr long OS_ERROR_WRITE_FAULT = 29;

constexpr uint32_t OS_REG_SZ = 1;
constexpr uint32_t OS_REG_BINARY = 3;
constexpr uint32_t OS_REG_DWORD = 4;

// Opens an existing key. *out receives the key (close with OsRegCloseKey).
long OsRegOpenKeyEx(RegKey root, const wchar_t* subKey, uint32_t options, uint32_t access,
                    RegKey* out);

// Opens a key, creating it (empty) when missing. *disposition (may be
// nullptr) receives 1 when created, 2 when it existed.
long OsRegCreateKeyEx(RegKey root, const wchar_t* subKey, RegKey* out, uint32_t* disposition);

// Reads a value. type may be nullptr. *size is the buffer's size in bytes
// on entry and the value's size on return; a value that does not fit
// returns OS_ERROR_MORE_DATA and leaves data unchanged. A string comes in
// the program's wchar_t with its terminator.
long OsRegQueryValueEx(RegKey key, const wchar_t* name, uint32_t* type, void* data,
                       uint32_t* size);

// Closes a key.
long OsRegCloseKey(RegKey key);

// Writes the hive of root (OS_HKEY_LOCAL_MACHINE) to its persistent store
// (on the board: the flash registry area). 0 on success, else an error code.
long OsRegFlushKey(RegKey root);
