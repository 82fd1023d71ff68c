#include "output/axisticks.h"
#include "output/svgplot.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <sstream>
#include <string>
#include <vector>

namespace velmorcli {
namespace {

std::size_t occurrences(const std::string& text, const std::string& part)
{
    std::size_t count = 0;
    for (std::size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) {
        ++count;
    }
    return count;
}

std::string svgOf(const SvgPlot& plot)
{
    std::ostringstream out;
    plot.write(out);
    return out.str();
}

// The d attribute of every path element.
std::vector<std::string> pathData(const std::string& svg)
{
    std::vector<std::string> paths;
    for (std::size_t at = svg.find("<path "); at != std::string::npos; at = svg.find("<path ", at + 1)) {
        const std::size_t begin = svg.find(" d=\"", at) + 4;
        paths.push_back(svg.substr(begin, svg.find('"', begin) - begin));
    }
    return paths;
}

TEST(AxisTicks, RoundStepsThatEncloseTheData)
{
    const AxisTicks wavelengths(200.3, 1099.7, 10);
    EXPECT_EQ(wavelengths.values().front(), 200);
    EXPECT_EQ(wavelengths.values().back(), 1100);
    EXPECT_EQ(wavelengths.values()[1] - wavelengths.values()[0], 100);
    EXPECT_EQ(wavelengths.label(300), "300");

    const AxisTicks counts(-12, 61234, 6);
    EXPECT_LE(counts.low(), -12);
    EXPECT_GE(counts.high(), 61234);
    EXPECT_EQ(counts.values()[1] - counts.values()[0], 10000);
    EXPECT_EQ(counts.label(0), "0");
}

TEST(AxisTicks, DecimalsFollowTheStep)
{
    const AxisTicks ticks(0.11, 0.19, 4);
    EXPECT_NEAR(ticks.values()[1] - ticks.values()[0], 0.02, 1e-12);
    EXPECT_EQ(ticks.label(ticks.values()[1]), "0.12");
    EXPECT_EQ(AxisTicks(-1, 1, 4).label(-1e-17), "0.0") << "no negative zero";
}

TEST(AxisTicks, DegenerateRangesStillGiveAnAxis)
{
    for (const AxisTicks& ticks :
         {AxisTicks(5, 5, 6), AxisTicks(0, 0, 6), AxisTicks(9, 1, 6),
          AxisTicks(std::numeric_limits<double>::infinity(), -std::numeric_limits<double>::infinity(), 6)}) {
        EXPECT_LT(ticks.low(), ticks.high());
        EXPECT_GE(ticks.values().size(), 2u);
        EXPECT_LE(ticks.values().size(), 12u);
    }
    EXPECT_LE(AxisTicks(9, 1, 6).low(), 1);
    EXPECT_GE(AxisTicks(9, 1, 6).high(), 9);
}

TEST(SvgPlot, DrawsOneLineAndOneLegendEntryPerSeriesInDistinctColours)
{
    SvgPlot plot("velmor measure: 20000 µs × 2", "wavelength (nm)", "counts");
    plot.addSeries("10001 (mean of 5 spectra)", {400, 500, 600}, {10, 20, 15});
    plot.addSeries("10002 (1 spectrum)", {450, 550, 650}, {5, 25, 12});
    const std::string svg = svgOf(plot);

    EXPECT_EQ(svg.rfind("<?xml", 0), 0u);
    EXPECT_NE(svg.find("</svg>"), std::string::npos);
    EXPECT_NE(svg.find("velmor measure: 20000 µs × 2"), std::string::npos);
    EXPECT_NE(svg.find(">wavelength (nm)<"), std::string::npos);
    EXPECT_NE(svg.find(">counts<"), std::string::npos);
    EXPECT_NE(svg.find(">10001 (mean of 5 spectra)<"), std::string::npos);
    EXPECT_NE(svg.find(">10002 (1 spectrum)<"), std::string::npos);
    ASSERT_EQ(pathData(svg).size(), 2u);
    EXPECT_EQ(occurrences(pathData(svg)[0], "L"), 2u);
    EXPECT_EQ(occurrences(svg, "#4e79a7"), 2u) << "line and legend share the first colour";
    EXPECT_EQ(occurrences(svg, "#f28e2b"), 2u);
}

TEST(SvgPlot, TickLabelsCoverTheDataOfAllSeries)
{
    SvgPlot plot("t", "x", "y");
    plot.addSeries("a", {400, 500}, {0, 100});
    plot.addSeries("b", {300, 800}, {-50, 30000});
    const std::string svg = svgOf(plot);
    for (const char* label : {">300<", ">800<", ">-5000<", ">30000<"}) {
        EXPECT_NE(svg.find(label), std::string::npos) << label;
    }
}

TEST(SvgPlot, NonFiniteValuesBreakTheLineWithoutBreakingTheChart)
{
    const float nan = std::numeric_limits<float>::quiet_NaN();
    SvgPlot plot("t", "x", "y");
    plot.addSeries("a", {1, 2, 3, 4, 5}, {1, 2, nan, 4, 5});
    const std::string svg = svgOf(plot);
    const std::string path = pathData(svg).at(0);
    EXPECT_EQ(occurrences(path, "M"), 2u) << path;
    EXPECT_EQ(occurrences(path, "L"), 2u) << path;
    EXPECT_EQ(svg.find("nan"), std::string::npos);
    EXPECT_EQ(svg.find("inf"), std::string::npos);
}

TEST(SvgPlot, EscapesTextAndRepeatsColoursWithDashesAfterTen)
{
    SvgPlot plot("a < b & \"c\"", "x", "y");
    for (int i = 0; i < 11; ++i) {
        plot.addSeries("s" + std::to_string(i), {1, 2}, {1, 2});
    }
    const std::string svg = svgOf(plot);
    EXPECT_NE(svg.find("a &lt; b &amp; &quot;c&quot;"), std::string::npos);
    EXPECT_EQ(svg.find("a < b"), std::string::npos);
    EXPECT_EQ(occurrences(svg, "stroke-dasharray"), 2u) << "the eleventh line and its legend entry";
}

} // namespace
} // namespace velmorcli
