#include "output/axisticks.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace velmorcli {
namespace {

double roundStep(double roughStep)
{
    const double magnitude = std::pow(10.0, std::floor(std::log10(roughStep)));
    const double normalized = roughStep / magnitude;
    if (normalized < 1.5) {
        return magnitude;
    }
    if (normalized < 3) {
        return 2 * magnitude;
    }
    if (normalized < 7) {
        return 5 * magnitude;
    }
    return 10 * magnitude;
}

} // namespace

AxisTicks::AxisTicks(double low, double high, int approximateCount)
{
    if (!std::isfinite(low) || !std::isfinite(high)) {
        low = 0;
        high = 1;
    }
    if (high < low) {
        std::swap(low, high);
    }
    if (high == low) {
        // A flat line still needs an axis around it.
        const double halfSpan = std::max(std::abs(low) * 0.05, 1.0);
        low -= halfSpan;
        high += halfSpan;
    }
    mStep = roundStep((high - low) / std::max(approximateCount, 1));
    mDecimals = std::max(0, -static_cast<int>(std::floor(std::log10(mStep))));
    const double first = std::floor(low / mStep);
    const double last = std::ceil(high / mStep);
    for (double index = first; index <= last; ++index) {
        mValues.push_back(index * mStep);
    }
}

double AxisTicks::low() const
{
    return mValues.front();
}

double AxisTicks::high() const
{
    return mValues.back();
}

const std::vector<double>& AxisTicks::values() const
{
    return mValues;
}

std::string AxisTicks::label(double value) const
{
    if (std::abs(value) < mStep / 2) {
        value = 0; // no "-0"
    }
    char text[64];
    std::snprintf(text, sizeof text, "%.*f", mDecimals, value);
    return text;
}

} // namespace velmorcli
