#include "timebudget.h"

#include <algorithm>
#include <cstdint>
#include <stdexcept>

namespace velmorcli {
namespace timebudget {
namespace {

using std::chrono::milliseconds;

// The library's fixed waits.
constexpr milliseconds LIBRARY_MIN_SOFT_TIMEOUT{3000};
constexpr milliseconds LIBRARY_SOFT_TIMEOUT_MARGIN{2000};
constexpr milliseconds LIBRARY_HARD_AFTER_SOFT{2000};
constexpr milliseconds LIBRARY_BATCH_MARGIN{5000};
constexpr milliseconds LIBRARY_IDLE_WAIT{2000};
constexpr milliseconds LIBRARY_COLLECTION_CYCLE{500};

// The tool's own allowances: bringing a device to idle and configuring it
// before the first start, and polling, reading and draining per spectrum.
constexpr milliseconds WORKER_SETUP = LIBRARY_IDLE_WAIT + milliseconds{1000};
constexpr milliseconds PER_SPECTRUM_OVERHEAD{300};
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

} // namespace

milliseconds spectrumDuration(int exposureUs, int averaging, int delayUs)
{
    return fromMicroseconds(sum(product(exposureUs, averaging), delayUs));
}

milliseconds libraryWaitForOneSpectrum(int exposureUs)
{
    const milliseconds softTimeout =
        std::max(fromMicroseconds(exposureUs) + LIBRARY_SOFT_TIMEOUT_MARGIN, LIBRARY_MIN_SOFT_TIMEOUT);
    return softTimeout + LIBRARY_HARD_AFTER_SOFT;
}

milliseconds libraryBatchCollectionLimit(int exposureUs, int collections)
{
    return plus(fromMicroseconds(product(exposureUs, collections)), LIBRARY_BATCH_MARGIN);
}

milliseconds batchDuration(int exposureUs, int averaging, int collections)
{
    return fromMicroseconds(product(product(exposureUs, averaging), collections));
}

milliseconds measureDeadline(int exposureUs, int averaging, int delayUs, int count)
{
    const milliseconds perSpectrum = spectrumDuration(exposureUs, averaging, delayUs) + PER_SPECTRUM_OVERHEAD;
    const milliseconds allSpectra = fromMicroseconds(product(inMicroseconds(perSpectrum), count));
    return plus(plus(WORKER_SETUP, allSpectra), libraryWaitForOneSpectrum(exposureUs));
}

milliseconds measureStallLimit(int exposureUs)
{
    return WORKER_SETUP + libraryWaitForOneSpectrum(exposureUs) + SAFETY_MARGIN;
}

milliseconds batchStallLimit(int exposureUs, int averaging, int collections)
{
    const milliseconds collectionLimit =
        std::max(libraryBatchCollectionLimit(exposureUs, collections),
                 plus(batchDuration(exposureUs, averaging, collections), LIBRARY_BATCH_MARGIN));
    return plus(collectionLimit, WORKER_SETUP + LIBRARY_COLLECTION_CYCLE + LIBRARY_IDLE_WAIT + SAFETY_MARGIN);
}

milliseconds batchDeadline(int exposureUs, int averaging, int collections)
{
    // Later than the silence limit, so that a device that stopped
    // answering is reported as silent rather than late.
    return plus(batchStallLimit(exposureUs, averaging, collections), SAFETY_MARGIN);
}

milliseconds longestWait()
{
    return fromMicroseconds(LONGEST_WAIT_US);
}

} // namespace timebudget
} // namespace velmorcli
