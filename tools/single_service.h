// The board runs one autorun service: a second one would copy every volume
// and start every program twice. Both launchers start the service through
// RunAsTheOnlyService.
#pragma once
#include <cstdio>
#include <ctime>

#include "platform/common/object.h"
#include "platform/sync.h"
#include "platform/types.h"

// The first service takes this device-wide mutex and holds it until it
// ends (the lock goes with the process however it ends).
inline constexpr wchar_t kServiceMutex[] = L"autorun service";

// Runs service(instance, previous, commandLine, show) unless a service
// runs on this board already: that one is named on standard error and 0
// returned. A wait cut short by a termination request decides nothing: 0
// is returned. When the mutex cannot tell, the service runs.
template <typename Service>
int RunAsTheOnlyService(Service service, Instance instance, Instance previous, wchar_t* commandLine, int show)
{
    Handle single = OsCreateMutex(kServiceMutex);
    if (single != nullptr) {
        const uint32_t taken = OsWaitForSingleObject(single, 0);
        if (taken == OS_WAIT_TIMEOUT) {
            std::fprintf(stderr, "autorun: the service runs on this board already; this one ends\n");
            OsCloseHandle(single);
            return 0;
        }
        if (taken != OS_WAIT_OBJECT_0 && OsTerminationRequested()) {
            OsCloseHandle(single);
            return 0;
        }
    }
    const int result = service(instance, previous, commandLine, show);
    if (single != nullptr) {
        OsReleaseMutex(single);
        OsCloseHandle(single);
    }
    return result;
}

// The real monotonic clock in microseconds: the time of the clock each
// launcher installs for the service, whose sleeps end as soon as
// termination is requested.
inline uint64_t MonotonicMicros(void*)
{
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000000u + static_cast<uint64_t>(ts.tv_nsec) / 1000u;
}
