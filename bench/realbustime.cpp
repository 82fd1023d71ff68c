// The stream bench's clock for the in-process libusb stand-in
// (fuzz/libusbstandin.cpp): real time, where the fuzzers use device time.
// A transfer takes what it would on a high-speed USB bus: its bytes at
// 480 Mbit/s plus one 125 us microframe, in which the host controller
// schedules it. A time-out is waited out, as libusb would.

#include "fuzz/devicetime.h"

#include <thread>

namespace {

constexpr auto kMicroframe = std::chrono::microseconds(125);
constexpr double kNanosecondsPerByte = 8.0 / 480e6 * 1e9;

} // namespace

void DeviceTime::joinThisThread()
{
}

bool DeviceTime::thisThreadJoined()
{
    return false;
}

void DeviceTime::pass(std::chrono::nanoseconds duration)
{
    std::this_thread::sleep_for(duration);
}

void DeviceTime::passTransfer(std::size_t bytes)
{
    const double wireNs = static_cast<double>(bytes) * kNanosecondsPerByte;
    const auto onTheWire = std::chrono::nanoseconds(static_cast<int64_t>(wireNs));
    pass(kMicroframe + onTheWire);
}
