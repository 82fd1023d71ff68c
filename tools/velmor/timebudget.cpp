#include "timebudget.h"

#include <algorithm>
#include <cstdint>

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

milliseconds fromMicroseconds(int64_t microseconds)
{
    return milliseconds{microseconds / 1000};
}

} // namespace

milliseconds spectrumDuration(int exposureUs, int averaging, int delayUs)
{
    return fromMicroseconds(int64_t{exposureUs} * averaging + delayUs);
}

milliseconds libraryWaitForOneSpectrum(int exposureUs)
{
    const milliseconds softTimeout =
        std::max(fromMicroseconds(exposureUs) + LIBRARY_SOFT_TIMEOUT_MARGIN, LIBRARY_MIN_SOFT_TIMEOUT);
    return softTimeout + LIBRARY_HARD_AFTER_SOFT;
}

milliseconds libraryBatchCollectionLimit(int exposureUs, int collections)
{
    return fromMicroseconds(int64_t{exposureUs} * collections) + LIBRARY_BATCH_MARGIN;
}

milliseconds batchDuration(int exposureUs, int averaging, int collections)
{
    return fromMicroseconds(int64_t{exposureUs} * averaging * collections);
}


milliseconds measureDeadline(int exposureUs, int averaging, int delayUs, int count)
{
    const milliseconds perSpectrum = spectrumDuration(exposureUs, averaging, delayUs) + PER_SPECTRUM_OVERHEAD;
    return WORKER_SETUP + perSpectrum * count + libraryWaitForOneSpectrum(exposureUs);
}

milliseconds measureStallLimit(int exposureUs)
{
    return WORKER_SETUP + libraryWaitForOneSpectrum(exposureUs) + SAFETY_MARGIN;
}

milliseconds batchDeadline(int exposureUs, int collections)
{
    return WORKER_SETUP + libraryBatchCollectionLimit(exposureUs, collections) + LIBRARY_COLLECTION_CYCLE +
           LIBRARY_IDLE_WAIT + SAFETY_MARGIN;
}

} // namespace timebudget
} // namespace velmorcli
