#pragma once

#include <cstdint>

// The manager's time limits for a measurement, in milliseconds from its
// start command. The one place they are defined: the manager applies them,
// and the host interface (measurementTimeLimit) tells hosts.
namespace velmor_detail {

// About 100 years: longer than any run, and still far from overflowing when
// added to a steady-clock time in nanoseconds.
constexpr int64_t MAX_WORK_MS = int64_t{100} * 365 * 24 * 3600 * 1000;

// Milliseconds the device works for `spectra` spectra of `averaging`
// exposures each, with the trigger delay before each; negative arguments
// count as nothing. Saturates at MAX_WORK_MS instead of overflowing.
int64_t workMilliseconds(int exposureUs, int averaging, int delayUs, int spectra);

// Continuous measurement, per spectrum: after the soft limit the device is
// read even without a sign of a finished spectrum; at the hard limit the
// wait ends and onError reports a timeout.
int64_t continuousSoftLimitMs(int exposureUs, int averaging, int delayUs);
int64_t continuousHardLimitMs(int exposureUs, int averaging, int delayUs);

// Batch measurement: how long spectra are collected for `spectra` spectra.
int64_t batchCollectionLimitMs(int exposureUs, int averaging, int delayUs, int spectra);

} // namespace velmor_detail
