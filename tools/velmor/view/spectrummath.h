#pragma once

#include <optional>
#include <string>
#include <vector>

namespace velmorview {

// What the chart shows for each pixel.
enum class DisplayMode {
    Counts,         // as the device delivers them
    DarkSubtracted, // counts with the device's dark removed; gaps while it does not subtract
    Transmission,   // percent of the stored reference
    Absorbance,     // -log10 of the transmission
};

// The name used in the page, the stream URL and the saved CSV.
const char* displayModeName(DisplayMode mode);
std::optional<DisplayMode> displayModeNamed(const std::string& name);

// The detector digitises to 16 bits; a pixel at this count has clipped.
constexpr float DETECTOR_TOP_COUNT = 65535.0f;

// A reference pixel below this share of the reference's highest pixel holds
// mostly noise: dividing by it would show noise blown up towards infinity,
// so such pixels are gaps (NaN) in transmission and absorbance.
constexpr float REFERENCE_FLOOR_FRACTION = 0.01f;

// The device subtracts its dark after digitising, so a clipped pixel then
// reads the top count less a dark the host never sees (a few percent of
// full scale): with subtraction on, the warning starts this much lower.
constexpr float DARK_SUBTRACTED_SATURATION_FRACTION = 0.95f;

bool reachesTopCount(const std::vector<float>& counts, bool darkSubtracted);

// 100 * sample / reference per pixel; NaN where the reference is too dark to
// divide by, or where the two spectra have different lengths.
std::vector<float> transmissionPercent(const std::vector<float>& sample, const std::vector<float>& reference);

// -log10(sample / reference) per pixel; NaN wherever the transmission is a
// gap or not positive (no light at all has no finite absorbance).
std::vector<float> absorbance(const std::vector<float>& sample, const std::vector<float>& reference);

// The values of `counts` in `mode`. `darkSubtracted` tells whether the
// device subtracted its dark from them; `reference` may be empty (no
// reference stored), which leaves transmission and absorbance all gaps.
std::vector<float> valuesInMode(DisplayMode mode, const std::vector<float>& counts, bool darkSubtracted,
                                const std::vector<float>& reference);

} // namespace velmorview
