#pragma once

#include "output/axisticks.h"

#include <filesystem>
#include <ostream>
#include <string>
#include <vector>

namespace velmorcli {

// A line chart as a self-contained SVG file: title, axes with ticks, grid and
// labels, one coloured line per series and a legend beside the chart.
// Points with a non-finite coordinate leave a gap in their line.
class SvgPlot {
public:
    SvgPlot(std::string title, std::string xAxisLabel, std::string yAxisLabel);

    void addSeries(std::string legend, std::vector<float> x, std::vector<float> y);

    void write(std::ostream& out) const;
    // Throws std::runtime_error naming the file when it cannot be written.
    void writeFile(const std::filesystem::path& path) const;

private:
    struct Series {
        std::string legend;
        std::vector<float> x;
        std::vector<float> y;
    };

    // Data range to pixel position, with the ticks of both axes.
    struct Frame {
        AxisTicks xTicks;
        AxisTicks yTicks;
        double pixelX(double x) const;
        double pixelY(double y) const;
    };

    Frame frame() const;
    void writeTitles(std::ostream& out) const;
    void writeGridAndTicks(std::ostream& out, const Frame& frame) const;
    void writeSeries(std::ostream& out, const Frame& frame) const;
    void writeLegend(std::ostream& out) const;

    std::string mTitle;
    std::string mXAxisLabel;
    std::string mYAxisLabel;
    std::vector<Series> mSeries;
};

} // namespace velmorcli
