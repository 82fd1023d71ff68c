#pragma once

#include <chrono>

namespace velmorcli {

// How long the library gives a measurement (its limits, asked from
// velmor::measurementTimeLimit), and how long the tool waits for it: the
// tool must not give up before the library has had its say, since a failure
// or timeout reported through the callback names the cause and a deadline
// of the tool's own does not.
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
// its start command.
std::chrono::milliseconds libraryWaitForOneSpectrum(int exposureUs, int averaging, int delayUs);

// The library's collection limit for a batch, counted from its start
// command.
std::chrono::milliseconds libraryBatchCollectionLimit(int exposureUs, int averaging, int delayUs, int collections);

// The tool's deadline for a continuous measurement of `count` spectra per
// device, counted from the start call.
std::chrono::milliseconds measureDeadline(int exposureUs, int averaging, int delayUs, int count);

// Longest silence of a working device during continuous measurement: within
// it the library delivers a spectrum or reports a timeout, unless the
// device's worker has ended without saying so.
std::chrono::milliseconds measureStallLimit(int exposureUs, int averaging, int delayUs);

// Longest silence of a working device during a batch: its only delivery
// comes at the end, within the library's collection limit and idle waits.
std::chrono::milliseconds batchStallLimit(int exposureUs, int averaging, int delayUs, int collections);

// The tool's deadline for a batch, counted from the start call.
std::chrono::milliseconds batchDeadline(int exposureUs, int averaging, int delayUs, int collections);

// The longest wait any of the above may come to.
std::chrono::milliseconds longestWait();

} // namespace timebudget
} // namespace velmorcli
