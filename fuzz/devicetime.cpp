#include "devicetime.h"

#include <sched.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>

namespace {

constexpr int64_t kNanosecondsPerSecond = 1000000000;
// Half of what one exchange (request and reply) with the spectrometer takes,
// about a millisecond, whatever its size; loops that poll the device without
// sleeping reach their deadlines after as many exchanges as on a real bus.
constexpr auto kTransferTime = std::chrono::microseconds(500);

std::atomic<int64_t> gAheadNs{0};
thread_local bool tOnDeviceTime = false;

// The kernel's own calls: the C library's are the ones replaced below.
int kernelClockGettime(clockid_t clock, struct timespec* time)
{
    return static_cast<int>(syscall(SYS_clock_gettime, clock, time));
}

int kernelNanosleep(const struct timespec* request, struct timespec* remaining)
{
    return static_cast<int>(syscall(SYS_nanosleep, request, remaining));
}

} // namespace

void DeviceTime::joinThisThread()
{
    tOnDeviceTime = true;
}

bool DeviceTime::thisThreadJoined()
{
    return tOnDeviceTime;
}

void DeviceTime::pass(std::chrono::nanoseconds duration)
{
    if (duration.count() > 0) {
        gAheadNs.fetch_add(duration.count(), std::memory_order_relaxed);
    }
}

void DeviceTime::passTransfer(std::size_t)
{
    pass(kTransferTime);
}

extern "C" int nanosleep(const struct timespec* request, struct timespec* remaining)
{
    if (!tOnDeviceTime) {
        return kernelNanosleep(request, remaining);
    }
    DeviceTime::pass(std::chrono::seconds(request->tv_sec) + std::chrono::nanoseconds(request->tv_nsec));
    if (remaining != nullptr) {
        *remaining = {};
    }
    // A polling thread still lets the others run, as its sleep would.
    sched_yield();
    return 0;
}

extern "C" int clock_gettime(clockid_t clock, struct timespec* time)
{
    const int result = kernelClockGettime(clock, time);
    if (result != 0 || clock != CLOCK_MONOTONIC) {
        return result;
    }
    const int64_t total = time->tv_nsec + gAheadNs.load(std::memory_order_relaxed);
    time->tv_sec += static_cast<time_t>(total / kNanosecondsPerSecond);
    time->tv_nsec = static_cast<long>(total % kNanosecondsPerSecond);
    return 0;
}
