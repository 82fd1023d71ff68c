#include "spectrummath.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace velmorview {
namespace {

constexpr float GAP = std::numeric_limits<float>::quiet_NaN();

const std::pair<DisplayMode, const char*> MODE_NAMES[] = {
    {DisplayMode::Counts, "counts"},
    {DisplayMode::DarkSubtracted, "dark-subtracted"},
    {DisplayMode::Transmission, "transmission"},
    {DisplayMode::Absorbance, "absorbance"},
};

std::vector<float> gaps(std::size_t count)
{
    return std::vector<float>(count, GAP);
}

} // namespace

const char* displayModeName(DisplayMode mode)
{
    for (const auto& [candidate, name] : MODE_NAMES) {
        if (candidate == mode) {
            return name;
        }
    }
    return "counts";
}

std::optional<DisplayMode> displayModeNamed(const std::string& name)
{
    for (const auto& [mode, candidate] : MODE_NAMES) {
        if (name == candidate) {
            return mode;
        }
    }
    return std::nullopt;
}

bool reachesTopCount(const std::vector<float>& counts, bool darkSubtracted)
{
    const float limit = darkSubtracted ? DARK_SUBTRACTED_SATURATION_FRACTION * DETECTOR_TOP_COUNT : DETECTOR_TOP_COUNT;
    return std::any_of(counts.begin(), counts.end(), [limit](float value) { return value >= limit; });
}

std::vector<float> transmissionPercent(const std::vector<float>& sample, const std::vector<float>& reference)
{
    if (sample.size() != reference.size() || reference.empty()) {
        return gaps(sample.size());
    }
    const float floor = REFERENCE_FLOOR_FRACTION * *std::max_element(reference.begin(), reference.end());
    std::vector<float> percent(sample.size());
    for (std::size_t pixel = 0; pixel < sample.size(); ++pixel) {
        const float light = reference[pixel];
        percent[pixel] = light > 0.0f && light >= floor ? 100.0f * sample[pixel] / light : GAP;
    }
    return percent;
}

std::vector<float> absorbance(const std::vector<float>& sample, const std::vector<float>& reference)
{
    std::vector<float> values = transmissionPercent(sample, reference);
    for (float& value : values) {
        value = value > 0.0f ? -std::log10(value / 100.0f) : GAP;
    }
    return values;
}

std::vector<float> valuesInMode(DisplayMode mode, const std::vector<float>& counts, bool darkSubtracted,
                                const std::vector<float>& reference)
{
    switch (mode) {
    case DisplayMode::Counts: return counts;
    case DisplayMode::DarkSubtracted: return darkSubtracted ? counts : gaps(counts.size());
    case DisplayMode::Transmission: return transmissionPercent(counts, reference);
    case DisplayMode::Absorbance: return absorbance(counts, reference);
    }
    return counts;
}

} // namespace velmorview
