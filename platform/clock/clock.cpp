// The installed clock: the real monotonic clock, a virtual clock, or one
// that a launcher (the service's) or a test installs.
//
// Every reader goes through one atomic pointer to the installed ops, so a
// clock can be swapped while other threads read the time.
#include "platform/clock.h"
#include "platform/host/clock.h"

#include <atomic>
#include <cerrno>
#include <ctime>
#ifdef _WIN32
#include <pthread.h>
#include <sched.h>
#endif

namespace {

uint64_t RealNow(void*)
{
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000000u + static_cast<uint64_t>(ts.tv_nsec) / 1000u;
}

#ifdef _WIN32
// MinGW's clock_nanosleep with TIMER_ABSTIME returns at once (no sleep at
// all): sleep in steps of the system's own sleep until the deadline.
void RealSleep(void*, uint64_t us)
{
    const uint64_t deadline = RealNow(nullptr) + us;
    for (uint64_t now = RealNow(nullptr); now < deadline; now = RealNow(nullptr)) {
        const uint64_t left = deadline - now;
        if (left >= 1000) {
            timespec step{static_cast<time_t>(left / 1000000u), static_cast<long>(left % 1000000u) * 1000L};
            nanosleep(&step, nullptr);
        } else {
            sched_yield();
        }
    }
}
#else
void RealSleep(void*, uint64_t us)
{
    // Sleep to an absolute deadline so that signals (which interrupt the
    // sleep with EINTR) do not stretch or shorten it.
    timespec deadline{};
    clock_gettime(CLOCK_MONOTONIC, &deadline);
    uint64_t ns = static_cast<uint64_t>(deadline.tv_nsec) + (us % 1000000u) * 1000u;
    deadline.tv_sec += static_cast<time_t>(us / 1000000u + ns / 1000000000u);
    deadline.tv_nsec = static_cast<long>(ns % 1000000000u);
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &deadline, nullptr) == EINTR) {
    }
}
#endif

const OsClockOps kRealClock = {RealNow, RealSleep, nullptr};

// The virtual clock's state. Only atomics: no lock is ever needed.
std::atomic<uint64_t> virtualNow{0};
std::atomic<uint64_t> virtualStep{1};

uint64_t VirtualNow(void*)
{
    uint64_t step = virtualStep.load(std::memory_order_relaxed);
    return virtualNow.fetch_add(step, std::memory_order_relaxed) + step;
}

void VirtualSleep(void*, uint64_t us)
{
    virtualNow.fetch_add(us, std::memory_order_relaxed);
}

const OsClockOps kVirtualClock = {VirtualNow, VirtualSleep, nullptr};

std::atomic<const OsClockOps*> installed{&kRealClock};

const OsClockOps* Current()
{
    return installed.load(std::memory_order_acquire);
}

}  // namespace

uint64_t OsClockMicros()
{
    const OsClockOps* ops = Current();
    return ops->nowMicros(ops->ctx);
}

uint32_t OsGetTickCount()
{
    // Truncation to 32 bits is the wrap-around of the device's tick count.
    return static_cast<uint32_t>(OsClockMicros() / 1000u);
}

void OsSleep(uint32_t ms)
{
    const OsClockOps* ops = Current();
    ops->sleepMicros(ops->ctx, static_cast<uint64_t>(ms) * 1000u);
}

void OsSetClock(const OsClockOps* ops)
{
    installed.store(ops ? ops : &kRealClock, std::memory_order_release);
}

void OsUseVirtualClock(uint64_t startMicros, uint64_t stepMicros)
{
    virtualStep.store(stepMicros, std::memory_order_relaxed);
    virtualNow.store(startMicros, std::memory_order_relaxed);
    installed.store(&kVirtualClock, std::memory_order_release);
}

void OsUseRealClock()
{
    installed.store(&kRealClock, std::memory_order_release);
}

void OsVirtualClockAdvance(uint64_t us)
{
    virtualNow.fetch_add(us, std::memory_order_relaxed);
}

bool OsVirtualClockActive()
{
    return Current() == &kVirtualClock;
}
