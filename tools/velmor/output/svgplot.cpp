#include "output/svgplot.h"

#include "output/outputfile.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <iterator>
#include <limits>
#include <stdexcept>

namespace velmorcli {
namespace {

constexpr double WIDTH = 1000;
constexpr double HEIGHT = 540;
constexpr double PLOT_LEFT = 90;
constexpr double PLOT_TOP = 56;
constexpr double PLOT_RIGHT = 740;
constexpr double PLOT_BOTTOM = 470;
constexpr double LEGEND_LEFT = 760;
constexpr double LEGEND_LINE_HEIGHT = 22;
constexpr int X_TICKS = 10;
constexpr int Y_TICKS = 6;

// Distinct on white and for the common colour-vision deficiencies; after ten
// series the colours repeat with dashes.
const char* const COLOURS[] = {"#4e79a7", "#f28e2b", "#e15759", "#76b7b2", "#59a14f",
                               "#edc948", "#b07aa1", "#ff9da7", "#9c755f", "#bab0ac"};
constexpr std::size_t COLOUR_COUNT = std::size(COLOURS);

std::string escaped(const std::string& text)
{
    std::string result;
    for (char character : text) {
        switch (character) {
        case '&': result += "&amp;"; break;
        case '<': result += "&lt;"; break;
        case '>': result += "&gt;"; break;
        case '"': result += "&quot;"; break;
        default: result += character;
        }
    }
    return result;
}

std::string number(double value)
{
    char text[32];
    std::snprintf(text, sizeof text, "%.1f", value);
    return text;
}

std::string strokeStyle(std::size_t seriesIndex)
{
    std::string style = "stroke=\"" + std::string(COLOURS[seriesIndex % COLOUR_COUNT]) + "\"";
    if (seriesIndex >= COLOUR_COUNT) {
        style += " stroke-dasharray=\"6 3\"";
    }
    return style;
}

struct Range {
    double low = std::numeric_limits<double>::infinity();
    double high = -std::numeric_limits<double>::infinity();

    void include(double value)
    {
        low = std::min(low, value);
        high = std::max(high, value);
    }
};

bool isPlottable(float x, float y)
{
    return std::isfinite(x) && std::isfinite(y);
}

} // namespace

SvgPlot::SvgPlot(std::string title, std::string xAxisLabel, std::string yAxisLabel)
    : mTitle(std::move(title)), mXAxisLabel(std::move(xAxisLabel)), mYAxisLabel(std::move(yAxisLabel))
{
}

void SvgPlot::addSeries(std::string legend, std::vector<float> x, std::vector<float> y)
{
    mSeries.push_back(Series{std::move(legend), std::move(x), std::move(y)});
}

void SvgPlot::write(std::ostream& out) const
{
    const Frame chartFrame = frame();
    out << "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
        << "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"" << WIDTH << "\" height=\"" << HEIGHT
        << "\" viewBox=\"0 0 " << WIDTH << ' ' << HEIGHT << "\" font-family=\"sans-serif\" font-size=\"13\">\n"
        << "<rect width=\"100%\" height=\"100%\" fill=\"white\"/>\n";
    writeTitles(out);
    writeGridAndTicks(out, chartFrame);
    writeSeries(out, chartFrame);
    writeLegend(out);
    out << "</svg>\n";
}

void SvgPlot::writeFile(const std::filesystem::path& path) const
{
    writeOutputFile(path, [this](std::ostream& out) { write(out); });
}

double SvgPlot::Frame::pixelX(double x) const
{
    return PLOT_LEFT + (x - xTicks.low()) / (xTicks.high() - xTicks.low()) * (PLOT_RIGHT - PLOT_LEFT);
}

double SvgPlot::Frame::pixelY(double y) const
{
    return PLOT_BOTTOM - (y - yTicks.low()) / (yTicks.high() - yTicks.low()) * (PLOT_BOTTOM - PLOT_TOP);
}

SvgPlot::Frame SvgPlot::frame() const
{
    Range xRange;
    Range yRange;
    for (const Series& series : mSeries) {
        for (std::size_t i = 0; i < std::min(series.x.size(), series.y.size()); ++i) {
            if (isPlottable(series.x[i], series.y[i])) {
                xRange.include(series.x[i]);
                yRange.include(series.y[i]);
            }
        }
    }
    return Frame{AxisTicks(xRange.low, xRange.high, X_TICKS), AxisTicks(yRange.low, yRange.high, Y_TICKS)};
}

void SvgPlot::writeTitles(std::ostream& out) const
{
    const double middleX = (PLOT_LEFT + PLOT_RIGHT) / 2;
    const double middleY = (PLOT_TOP + PLOT_BOTTOM) / 2;
    out << "<text x=\"" << PLOT_LEFT << "\" y=\"32\" font-size=\"17\" font-weight=\"bold\">" << escaped(mTitle)
        << "</text>\n"
        << "<text x=\"" << middleX << "\" y=\"" << PLOT_BOTTOM + 46 << "\" text-anchor=\"middle\">"
        << escaped(mXAxisLabel) << "</text>\n"
        << "<text transform=\"translate(24 " << middleY << ") rotate(-90)\" text-anchor=\"middle\">"
        << escaped(mYAxisLabel) << "</text>\n";
}

void SvgPlot::writeGridAndTicks(std::ostream& out, const Frame& frame) const
{
    out << "<g stroke=\"#e3e3e3\">\n";
    for (double value : frame.xTicks.values()) {
        const std::string x = number(frame.pixelX(value));
        out << "<line x1=\"" << x << "\" y1=\"" << PLOT_TOP << "\" x2=\"" << x << "\" y2=\"" << PLOT_BOTTOM << "\"/>\n";
    }
    for (double value : frame.yTicks.values()) {
        const std::string y = number(frame.pixelY(value));
        out << "<line x1=\"" << PLOT_LEFT << "\" y1=\"" << y << "\" x2=\"" << PLOT_RIGHT << "\" y2=\"" << y << "\"/>\n";
    }
    out << "</g>\n<rect x=\"" << PLOT_LEFT << "\" y=\"" << PLOT_TOP << "\" width=\"" << PLOT_RIGHT - PLOT_LEFT
        << "\" height=\"" << PLOT_BOTTOM - PLOT_TOP << "\" fill=\"none\" stroke=\"#444\"/>\n";
    out << "<g fill=\"#333\" text-anchor=\"middle\">\n";
    for (double value : frame.xTicks.values()) {
        out << "<text x=\"" << number(frame.pixelX(value)) << "\" y=\"" << PLOT_BOTTOM + 20 << "\">"
            << frame.xTicks.label(value) << "</text>\n";
    }
    out << "</g>\n<g fill=\"#333\" text-anchor=\"end\">\n";
    for (double value : frame.yTicks.values()) {
        out << "<text x=\"" << PLOT_LEFT - 8 << "\" y=\"" << number(frame.pixelY(value)) << "\" dy=\"0.35em\">"
            << frame.yTicks.label(value) << "</text>\n";
    }
    out << "</g>\n";
}

void SvgPlot::writeSeries(std::ostream& out, const Frame& frame) const
{
    for (std::size_t index = 0; index < mSeries.size(); ++index) {
        const Series& series = mSeries[index];
        std::string path;
        char command = 'M';
        for (std::size_t i = 0; i < std::min(series.x.size(), series.y.size()); ++i) {
            if (!isPlottable(series.x[i], series.y[i])) {
                command = 'M';
                continue;
            }
            path += command + number(frame.pixelX(series.x[i])) + ' ' + number(frame.pixelY(series.y[i]));
            command = 'L';
        }
        out << "<path fill=\"none\" stroke-width=\"1.5\" stroke-linejoin=\"round\" " << strokeStyle(index) << " d=\""
            << path << "\"/>\n";
    }
}

void SvgPlot::writeLegend(std::ostream& out) const
{
    for (std::size_t index = 0; index < mSeries.size(); ++index) {
        const double y = PLOT_TOP + 10 + static_cast<double>(index) * LEGEND_LINE_HEIGHT;
        out << "<line x1=\"" << LEGEND_LEFT << "\" y1=\"" << y << "\" x2=\"" << LEGEND_LEFT + 24 << "\" y2=\"" << y
            << "\" stroke-width=\"3\" " << strokeStyle(index) << "/>\n"
            << "<text x=\"" << LEGEND_LEFT + 32 << "\" y=\"" << y << "\" dy=\"0.35em\">"
            << escaped(mSeries[index].legend) << "</text>\n";
    }
}

} // namespace velmorcli
