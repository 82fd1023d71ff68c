#pragma once

#include <chrono>
#include <cstddef>

// The fuzz executables' clock. The library waits on purpose (settling,
// polling) and gives up after time-outs; waiting for real would hold every
// input for milliseconds to seconds. Threads that talk to a stand-in device
// live on device time instead: their sleeps return at once and move the
// monotonic clock (std::chrono::steady_clock) forward by the time slept, so
// that every deadline the library computes passes exactly as it would on a
// real host, only sooner. Other threads (libFuzzer's own) sleep for real, and
// the wall clock (std::chrono::system_clock), which libFuzzer times its runs
// with, is left alone.
//
// Built on two C library functions this executable defines over the C
// library's: nanosleep, which std::this_thread::sleep_for calls, and
// clock_gettime, which std::chrono::steady_clock::now calls.
class DeviceTime {
public:
    // From now on, sleeps of the calling thread take no real time.
    static void joinThisThread();
    static bool thisThreadJoined();

    // Moves the monotonic clock forward, as a transfer or a time-out would.
    static void pass(std::chrono::nanoseconds duration);

    // The time one bulk transfer of `bytes` takes on the bus, after the
    // device's part of it.
    static void passTransfer(std::size_t bytes);

    static std::chrono::steady_clock::time_point now() { return std::chrono::steady_clock::now(); }
};
