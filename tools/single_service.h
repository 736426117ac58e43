// The board runs one autorun service: a second one would copy every volume
// and start every program twice. Both launchers start the service through
// RunAsTheOnlyService.
#pragma once
#include <cstdio>

#include "platform/sync.h"
#include "platform/types.h"

// The first service takes this device-wide mutex and holds it until it
// ends (the lock goes with the process however it ends).
inline constexpr wchar_t kServiceMutex[] = L"autorun service";

// Runs service(instance, previous, commandLine, show) unless a service
// runs on this board already: that one is named on standard error and 0
// returned. ended: whether termination was requested (a wait it cut short
// decides nothing). When the mutex cannot tell, the service runs.
template <typename Service, typename Ended>
int RunAsTheOnlyService(Service service, Ended ended, Instance instance, Instance previous,
                        wchar_t* commandLine, int show)
{
    Handle single = OsCreateMutex(kServiceMutex);
    if (single != nullptr) {
        const uint32_t taken = OsWaitForSingleObject(single, 0);
        if (taken == OS_WAIT_TIMEOUT) {
            std::fprintf(stderr, "autorun: the service runs on this board already; this one ends\n");
            OsCloseHandle(single);
            return 0;
        }
        if (taken != OS_WAIT_OBJECT_0 && ended()) {
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
