#pragma once

#include <chrono>

namespace velmorcli {

// How long the library gives a measurement, and how long the tool waits for
// it. The library's limits are restated here because the tool must not give
// up before the library has had its say (a timeout reported through the
// callback names the cause, a deadline of the tool's own does not), and must
// refuse settings that the library would time out on every time.
//
// All arguments are in microseconds or counts, as on the command line, and
// none may be negative. Every result fits the steady clock with room to spare
// (it can be added to the current time); a result that would not throws
// std::overflow_error, which is how option values beyond what the tool can
// wait for are recognised.
namespace timebudget {

// Time one spectrum takes on the sensor: every exposure of the average,
// plus the trigger delay.
std::chrono::milliseconds spectrumDuration(int exposureUs, int averaging, int delayUs);

// The library's hard deadline for one continuous measurement, counted from
// its start command. It does not grow with averaging.
std::chrono::milliseconds libraryWaitForOneSpectrum(int exposureUs);

// The library's collection limit for a batch, counted from its start
// command. It does not grow with averaging either.
std::chrono::milliseconds libraryBatchCollectionLimit(int exposureUs, int collections);

// Time a whole batch takes on the sensor (trigger delay left out: whether it
// applies per spectrum or per batch is up to the device).
std::chrono::milliseconds batchDuration(int exposureUs, int averaging, int collections);

// The tool's deadline for a continuous measurement of `count` spectra per
// device, counted from the start call.
std::chrono::milliseconds measureDeadline(int exposureUs, int averaging, int delayUs, int count);

// Longest silence of a working device during continuous measurement: within
// it the library delivers a spectrum or reports a timeout, unless the
// device's worker has ended (for instance because the device was unplugged).
std::chrono::milliseconds measureStallLimit(int exposureUs);

// Longest silence of a working device during a batch: its only delivery
// comes at the end, within the library's collection limit and idle waits.
// The limit is taken to grow with averaging as well, so that the tool never
// gives up first on a library that counts it.
std::chrono::milliseconds batchStallLimit(int exposureUs, int averaging, int collections);

// The tool's deadline for a batch, counted from the start call.
std::chrono::milliseconds batchDeadline(int exposureUs, int averaging, int collections);

// The longest wait any of the above may come to.
std::chrono::milliseconds longestWait();

} // namespace timebudget
} // namespace velmorcli
