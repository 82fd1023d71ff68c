#include "timelimits.h"

#include <algorithm>

namespace velmor_detail {

namespace {

constexpr int64_t MIN_SOFT_TIMEOUT_MS = 3000;
constexpr int64_t SOFT_TIMEOUT_MARGIN_MS = 2000;
constexpr int64_t HARD_TIMEOUT_MARGIN_MS = 2000;
constexpr int64_t BATCH_TIMEOUT_MARGIN_MS = 5000;

} // namespace

int64_t workMilliseconds(int exposureUs, int averaging, int delayUs, int spectra)
{
    const auto atLeast = [](int value, int64_t floor) { return std::max(int64_t{value}, floor); };
    // Below 2^62 + 2^31: no overflow for any int arguments.
    const int64_t perSpectrumUs = atLeast(exposureUs, 0) * atLeast(averaging, 1) + atLeast(delayUs, 0);
    const int64_t count = atLeast(spectra, 1);
    if (perSpectrumUs > MAX_WORK_MS * 1000 / count) {
        return MAX_WORK_MS;
    }
    return perSpectrumUs * count / 1000;
}

int64_t continuousSoftLimitMs(int exposureUs, int averaging, int delayUs)
{
    return std::max(workMilliseconds(exposureUs, averaging, delayUs, 1) + SOFT_TIMEOUT_MARGIN_MS,
                    MIN_SOFT_TIMEOUT_MS);
}

int64_t continuousHardLimitMs(int exposureUs, int averaging, int delayUs)
{
    return continuousSoftLimitMs(exposureUs, averaging, delayUs) + HARD_TIMEOUT_MARGIN_MS;
}

int64_t batchCollectionLimitMs(int exposureUs, int averaging, int delayUs, int spectra)
{
    return workMilliseconds(exposureUs, averaging, delayUs, spectra) + BATCH_TIMEOUT_MARGIN_MS;
}

} // namespace velmor_detail
