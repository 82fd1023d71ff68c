#pragma once

#include <string>
#include <vector>

namespace velmorcli {

// Round tick values (steps of 1, 2 or 5 times a power of ten) covering a
// data range, and their labels with as many decimals as the step needs.
class AxisTicks {
public:
    AxisTicks(double low, double high, int approximateCount);

    // The outermost ticks, which enclose the data range.
    double low() const;
    double high() const;
    const std::vector<double>& values() const;
    std::string label(double value) const;

private:
    double mStep;
    int mDecimals;
    std::vector<double> mValues;
};

} // namespace velmorcli
