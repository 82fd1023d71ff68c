#pragma once

#include <array>
#include <cstdint>
#include <vector>

namespace velmorsim {

// Pixel index to wavelength in nm, computed in single precision in the same
// order as the host does, so both sides agree to the last bit.
std::vector<float> wavelengthTable(const std::array<float, 4>& coefficients, std::size_t pixelCount);

// What the sensor of a simulated instrument sees: a halogen lamp continuum
// with mercury and argon lines on top, a dark offset with a fixed pattern,
// and noise. Every result is reproducible from (seed, sequence), so a
// spectrum can be rendered when it is read rather than when it finishes.
class SyntheticSpectrum {
public:
    static constexpr float kFullScale = 65535.0f;
    static constexpr float kReadoutNoise = 8.0f;

    SyntheticSpectrum(const std::vector<float>& wavelengths, double brightness, uint32_t noiseSeed);

    // Averaged raw counts of one exposure with the lamp on, clipped to full scale.
    std::vector<float> lit(uint32_t exposureUs, uint32_t averaging, uint64_t sequence) const;
    // Averaged raw counts with the light blocked.
    std::vector<float> dark(uint32_t exposureUs, uint32_t averaging, uint64_t sequence) const;
    // Mean dark level without noise, as the sensor would report it.
    float darkLevel(uint32_t exposureUs) const;

private:
    std::vector<float> expose(bool lampOn, uint32_t exposureUs, uint32_t averaging, uint64_t sequence) const;

    std::vector<float> mLightPerMs;   // counts per millisecond of exposure
    std::vector<float> mDarkPattern;  // offset of each pixel from the mean dark level
    uint32_t mNoiseSeed;
};

} // namespace velmorsim
