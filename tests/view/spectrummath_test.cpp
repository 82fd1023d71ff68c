#include "view/spectrummath.h"

#include <gtest/gtest.h>

#include <cmath>

using namespace velmorview;

namespace {

bool isGap(float value)
{
    return std::isnan(value);
}

} // namespace

TEST(SpectrumMath, TransmissionAndAbsorbanceAgainstHandComputedValues)
{
    const std::vector<float> reference{1000.0f, 500.0f, 0.0f, 5.0f, 2000.0f};
    const std::vector<float> sample{500.0f, 500.0f, 7.0f, 5.0f, 20.0f};

    const std::vector<float> percent = transmissionPercent(sample, reference);
    EXPECT_FLOAT_EQ(percent[0], 50.0f);
    EXPECT_FLOAT_EQ(percent[1], 100.0f);
    EXPECT_TRUE(isGap(percent[2])) << "a reference pixel at zero is a gap, not an infinity";
    EXPECT_TRUE(isGap(percent[3])) << "5 counts is below 1 % of the reference's 2000";
    EXPECT_FLOAT_EQ(percent[4], 1.0f);

    const std::vector<float> values = absorbance(sample, reference);
    EXPECT_NEAR(values[0], 0.30103f, 1e-5f); // -log10(0.5)
    EXPECT_NEAR(values[1], 0.0f, 1e-6f);
    EXPECT_TRUE(isGap(values[2]));
    EXPECT_TRUE(isGap(values[3]));
    EXPECT_NEAR(values[4], 2.0f, 1e-5f); // -log10(0.01)
}

TEST(SpectrumMath, NoLightOrNoReferenceGivesGapsNotInfinities)
{
    const std::vector<float> reference{1000.0f, 1000.0f};
    const std::vector<float> values = absorbance({0.0f, -3.0f}, reference);
    EXPECT_TRUE(isGap(values[0]));
    EXPECT_TRUE(isGap(values[1]));
    for (float value : transmissionPercent({1.0f, 2.0f}, {})) {
        EXPECT_TRUE(isGap(value));
    }
    for (float value : transmissionPercent({1.0f, 2.0f}, {1.0f, 2.0f, 3.0f})) {
        EXPECT_TRUE(isGap(value)) << "a reference of another length belongs to another device";
    }
}

TEST(SpectrumMath, DarkSubtractedModeShowsOnlyWhatTheDeviceSubtracted)
{
    const std::vector<float> counts{10.0f, 20.0f};
    EXPECT_EQ(valuesInMode(DisplayMode::DarkSubtracted, counts, true, {}), counts);
    for (float value : valuesInMode(DisplayMode::DarkSubtracted, counts, false, {})) {
        EXPECT_TRUE(isGap(value));
    }
    EXPECT_EQ(valuesInMode(DisplayMode::Counts, counts, false, {}), counts);
    EXPECT_FLOAT_EQ(valuesInMode(DisplayMode::Transmission, counts, true, {20.0f, 20.0f})[0], 50.0f);
}

TEST(SpectrumMath, ModeNamesRoundTripAndUnknownNamesAreRefused)
{
    for (DisplayMode mode :
         {DisplayMode::Counts, DisplayMode::DarkSubtracted, DisplayMode::Transmission, DisplayMode::Absorbance}) {
        EXPECT_EQ(displayModeNamed(displayModeName(mode)), mode);
    }
    EXPECT_FALSE(displayModeNamed("../../etc/passwd"));
    EXPECT_FALSE(displayModeNamed(""));
}

TEST(SpectrumMath, SaturationIsTheDetectorsTopCount)
{
    EXPECT_FALSE(reachesTopCount({0.0f, 65534.0f}, false));
    EXPECT_TRUE(reachesTopCount({0.0f, 65535.0f}, false));
    EXPECT_FALSE(reachesTopCount({0.0f, 64000.0f}, false));
    EXPECT_TRUE(reachesTopCount({0.0f, 64000.0f}, true)) << "clipped, less the dark the device removed";
    EXPECT_FALSE(reachesTopCount({0.0f, 60000.0f}, true));
}
