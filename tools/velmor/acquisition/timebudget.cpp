#include "acquisition/timebudget.h"

#include <velmor/velmorhost.h>

#include <cstdint>
#include <stdexcept>

namespace velmorcli {
namespace timebudget {
namespace {

using std::chrono::milliseconds;

// The tool's own allowances, on top of the library's limits: bringing a
// device to idle and configuring it before the first start; polling,
// reading and draining per spectrum; a batch's last collection pass and its
// wait for idle after the collection limit.
constexpr milliseconds WORKER_SETUP{3000};
constexpr milliseconds PER_SPECTRUM_OVERHEAD{300};
constexpr milliseconds BATCH_WIND_DOWN{2500};
constexpr milliseconds SAFETY_MARGIN{1000};

// Deadlines are added to the steady clock's current time, which counts from
// boot in nanoseconds; half its range leaves that room.
constexpr int64_t LONGEST_WAIT_US =
    std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::duration::max()).count() / 2;

// Products and sums of non-negative microsecond counts, refused past the
// longest wait before they can overflow.
int64_t product(int64_t a, int64_t b)
{
    if (b != 0 && a > LONGEST_WAIT_US / b) {
        throw std::overflow_error("time budget beyond what the tool can wait for");
    }
    return a * b;
}

int64_t sum(int64_t a, int64_t b)
{
    if (a > LONGEST_WAIT_US - b) {
        throw std::overflow_error("time budget beyond what the tool can wait for");
    }
    return a + b;
}

int64_t inMicroseconds(milliseconds duration)
{
    return product(duration.count(), 1000);
}

milliseconds fromMicroseconds(int64_t microseconds)
{
    return milliseconds{microseconds / 1000};
}

milliseconds plus(milliseconds a, milliseconds b)
{
    return fromMicroseconds(sum(inMicroseconds(a), inMicroseconds(b)));
}

milliseconds times(milliseconds duration, int count)
{
    return fromMicroseconds(product(inMicroseconds(duration), count));
}

// The library counts the trigger delay in every spectrum, of a batch too.
int64_t spectrumMicroseconds(int exposureUs, int averaging, int delayUs)
{
    return sum(product(exposureUs, averaging), delayUs);
}

} // namespace

milliseconds spectrumDuration(int exposureUs, int averaging, int delayUs)
{
    return fromMicroseconds(spectrumMicroseconds(exposureUs, averaging, delayUs));
}

milliseconds libraryWaitForOneSpectrum(int exposureUs, int averaging, int delayUs)
{
    return velmor::measurementTimeLimit(velmor::MeasurementKind::Continuous, exposureUs, averaging, delayUs, 1);
}

milliseconds libraryBatchCollectionLimit(int exposureUs, int averaging, int delayUs, int collections)
{
    // The library saturates a limit beyond any run; the tool refuses it.
    static_cast<void>(product(spectrumMicroseconds(exposureUs, averaging, delayUs), collections));
    return velmor::measurementTimeLimit(velmor::MeasurementKind::Batch, exposureUs, averaging, delayUs, collections);
}

milliseconds measureDeadline(int exposureUs, int averaging, int delayUs, int count)
{
    const milliseconds perSpectrum = plus(spectrumDuration(exposureUs, averaging, delayUs), PER_SPECTRUM_OVERHEAD);
    return plus(plus(WORKER_SETUP, times(perSpectrum, count)), libraryWaitForOneSpectrum(exposureUs, averaging, delayUs));
}

milliseconds measureStallLimit(int exposureUs, int averaging, int delayUs)
{
    return plus(libraryWaitForOneSpectrum(exposureUs, averaging, delayUs), WORKER_SETUP + SAFETY_MARGIN);
}

milliseconds batchStallLimit(int exposureUs, int averaging, int delayUs, int collections)
{
    return plus(libraryBatchCollectionLimit(exposureUs, averaging, delayUs, collections),
                WORKER_SETUP + BATCH_WIND_DOWN + SAFETY_MARGIN);
}

milliseconds batchDeadline(int exposureUs, int averaging, int delayUs, int collections)
{
    // Later than the silence limit, so that a device that stopped
    // answering is reported as silent rather than late.
    return plus(batchStallLimit(exposureUs, averaging, delayUs, collections), SAFETY_MARGIN);
}

milliseconds longestWait()
{
    return fromMicroseconds(LONGEST_WAIT_US);
}

} // namespace timebudget
} // namespace velmorcli
