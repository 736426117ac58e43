// Basic types shared by every role of the platform layer.
//
// The programs see the device's OS services only through platform/*.h;
// one backend implements them per build. Handles are opaque.
#pragma once
#include <cstddef>
#include <cstdint>

struct OsObject;                 // any kernel object: mutex, thread, file, queue, search...
typedef OsObject* Handle;
#define OS_INVALID_HANDLE ((Handle)(intptr_t)-1)

struct OsWindowObject;           // a dialog or one of its controls
typedef OsWindowObject* Window;

struct OsModule;                 // a program module; owns its resources
typedef OsModule* Instance;

// Calendar time, as the device's SYSTEMTIME.
struct SystemTime {
    uint16_t year;
    uint16_t month;       // 1..12
    uint16_t dayOfWeek;   // 0 = Sunday
    uint16_t day;         // 1..31
    uint16_t hour;
    uint16_t minute;
    uint16_t second;
    uint16_t milliseconds;
};

// 100-nanosecond intervals since 1 January 1601 (UTC).
typedef uint64_t FileTime;

// Results of OsWaitForSingleObject.
constexpr uint32_t OS_WAIT_OBJECT_0 = 0;
constexpr uint32_t OS_WAIT_TIMEOUT = 0x102;
constexpr uint32_t OS_WAIT_FAILED = 0xFFFFFFFFu;
constexpr uint32_t OS_INFINITE = 0xFFFFFFFFu;
