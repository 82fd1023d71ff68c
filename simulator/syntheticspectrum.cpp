#include "simulator/syntheticspectrum.h"

#include <algorithm>
#include <cmath>
#include <random>

namespace velmorsim {

namespace {

constexpr double kLampTemperatureK = 2900.0;
constexpr double kSecondRadiationConstantNmK = 1.4388e7;
constexpr double kSensorPeakNm = 620.0;
constexpr double kSensorWidthNm = 210.0;
constexpr double kLineSigmaNm = 1.3 / 2.3548;  // about 1.3 nm FWHM, the optical resolution
constexpr double kContinuumPeakCountsPerMs = 1500.0;
constexpr float kDarkOffset = 1000.0f;
constexpr float kDarkCurrentPerMs = 2.0f;
constexpr float kDarkPatternSpread = 12.0f;
constexpr float kCountsPerPhotoelectron = 0.6f;

enum NoiseStream : uint32_t { kDarkPatternStream = 0, kLitStream = 1, kDarkStream = 2 };

struct EmissionLine {
    double wavelengthNm;
    double relativeIntensity;  // against the continuum's peak
};

// Mercury and argon lines at their real wavelengths, so a calibration lamp
// check on a plot lands where a spectroscopist expects it.
constexpr EmissionLine kLampLines[] = {
    {253.65, 0.6}, {296.73, 0.15}, {302.15, 0.1}, {313.16, 0.3}, {334.15, 0.08}, {365.02, 0.5},
    {404.66, 0.8}, {435.83, 1.6},  {546.07, 2.0}, {576.96, 0.6}, {579.07, 0.6},  {696.54, 0.5},
    {706.72, 0.4}, {727.29, 0.2},  {738.40, 0.3}, {750.39, 0.9}, {763.51, 1.2},  {794.82, 0.4},
    {800.62, 0.3}, {811.53, 1.0},  {826.45, 0.4}, {842.46, 0.6}, {852.14, 0.2},  {912.30, 0.8},
    {922.45, 0.3},
};

double square(double x) { return x * x; }

// Halogen filament seen through a silicon sensor: a blackbody curve shaped
// by the sensor's falling response in the UV and the near infrared.
double unscaledContinuum(double nm)
{
    if (nm <= 0.0) {
        return 0.0;
    }
    const double blackbody = std::pow(nm, -5.0) / std::expm1(kSecondRadiationConstantNmK / (nm * kLampTemperatureK));
    return blackbody * std::exp(-0.5 * square((nm - kSensorPeakNm) / kSensorWidthNm));
}

// Normalised over a fixed band rather than the device's own range, so that
// instruments covering different ranges agree on the brightness.
double continuum(double nm)
{
    static const double peak = [] {
        double highest = 0.0;
        for (double x = 200.0; x <= 1200.0; x += 1.0) {
            highest = std::max(highest, unscaledContinuum(x));
        }
        return highest;
    }();
    return unscaledContinuum(nm) / peak;
}

double lines(double nm)
{
    double sum = 0.0;
    for (const EmissionLine& line : kLampLines) {
        sum += line.relativeIntensity * std::exp(-0.5 * square((nm - line.wavelengthNm) / kLineSigmaNm));
    }
    return sum;
}

std::mt19937 noiseGenerator(uint32_t seed, uint64_t sequence, uint32_t stream)
{
    std::seed_seq seeds{seed, static_cast<uint32_t>(sequence), static_cast<uint32_t>(sequence >> 32), stream};
    return std::mt19937(seeds);
}

} // namespace

std::vector<float> wavelengthTable(const std::array<float, 4>& c, std::size_t pixelCount)
{
    std::vector<float> table(pixelCount);
    for (std::size_t p = 0; p < pixelCount; ++p) {
        const float x = static_cast<float>(p);
        table[p] = c[0] + (c[1] + (c[2] + c[3] * x) * x) * x;
    }
    return table;
}

SyntheticSpectrum::SyntheticSpectrum(const std::vector<float>& wavelengths, double brightness, uint32_t noiseSeed)
    : mNoiseSeed(noiseSeed)
{
    std::mt19937 patternGenerator = noiseGenerator(noiseSeed, 0, kDarkPatternStream);
    std::uniform_real_distribution<float> pattern(-kDarkPatternSpread, kDarkPatternSpread);
    for (float nm : wavelengths) {
        const double light = kContinuumPeakCountsPerMs * brightness * (continuum(nm) + lines(nm));
        mLightPerMs.push_back(static_cast<float>(light));
        mDarkPattern.push_back(pattern(patternGenerator));
    }
}

std::vector<float> SyntheticSpectrum::lit(uint32_t exposureUs, uint32_t averaging, uint64_t sequence) const
{
    return expose(true, exposureUs, averaging, sequence);
}

std::vector<float> SyntheticSpectrum::dark(uint32_t exposureUs, uint32_t averaging, uint64_t sequence) const
{
    return expose(false, exposureUs, averaging, sequence);
}

float SyntheticSpectrum::darkLevel(uint32_t exposureUs) const
{
    return kDarkOffset + kDarkCurrentPerMs * static_cast<float>(exposureUs) / 1000.0f;
}

std::vector<float> SyntheticSpectrum::expose(bool lampOn, uint32_t exposureUs, uint32_t averaging,
                                             uint64_t sequence) const
{
    std::mt19937 generator = noiseGenerator(mNoiseSeed, sequence, lampOn ? kLitStream : kDarkStream);
    std::normal_distribution<float> unitNoise(0.0f, 1.0f);
    const float exposureMs = static_cast<float>(exposureUs) / 1000.0f;
    const float averagingRoot = std::sqrt(static_cast<float>(std::max<uint32_t>(averaging, 1)));
    const float level = darkLevel(exposureUs);

    std::vector<float> counts(mLightPerMs.size());
    for (std::size_t p = 0; p < counts.size(); ++p) {
        const float signal = lampOn ? mLightPerMs[p] * exposureMs : 0.0f;
        const float sigma =
            std::sqrt(kReadoutNoise * kReadoutNoise + signal * kCountsPerPhotoelectron) / averagingRoot;
        const float value = level + mDarkPattern[p] + signal + sigma * unitNoise(generator);
        counts[p] = std::clamp(value, 0.0f, kFullScale);
    }
    return counts;
}

} // namespace velmorsim
