#include "output/jcampwriter.h"

#include "output/outputfile.h"
#include "output/timestamp.h"

#include <algorithm>
#include <charconv>
#include <iterator>
#include <cmath>

namespace velmorcli {
namespace {

// The shortest text that reads back as the same float; "?", the mark for
// a missing value, for what is not a number.
std::string number(float value)
{
    if (!std::isfinite(value)) {
        return "?";
    }
    char digits[32];
    const auto result = std::to_chars(std::begin(digits), std::end(digits), value);
    return std::string(digits, result.ptr);
}

// A label's value is one line: a device's text must not start a label of
// its own.
std::string oneLine(const std::string& text)
{
    std::string line = text;
    std::replace_if(
        line.begin(), line.end(), [](unsigned char c) { return c < 0x20 || c == 0x7f; }, ' ');
    std::string::size_type labelStart;
    while ((labelStart = line.find("##")) != std::string::npos) {
        line.replace(labelStart, 2, "# ");
    }
    return line;
}

void label(std::ostream& out, const std::string& name, const std::string& value)
{
    out << "##" << name << "=" << oneLine(value) << "\r\n";
}

} // namespace

JcampWriter::JcampWriter(const JcampSpectrum& spectrum) : mSpectrum(spectrum) {}

void JcampWriter::write(std::ostream& out) const
{
    const std::size_t points = std::min(mSpectrum.wavelengths.size(), mSpectrum.values.size());
    const auto& x = mSpectrum.wavelengths;
    const auto& y = mSpectrum.values;
    label(out, "TITLE", mSpectrum.title);
    label(out, "JCAMP-DX", "5.01");
    label(out, "DATA TYPE", "UV/VIS SPECTRUM");
    label(out, "DATA CLASS", "XYPOINTS");
    label(out, "ORIGIN", mSpectrum.origin);
    label(out, "OWNER", "");
    label(out, "LONGDATE", formatUtcTimestamp(mSpectrum.time, "%Y/%m/%d %H:%M:%S") + " +0000");
    label(out, "SPECTROMETER/DATA SYSTEM", mSpectrum.spectrometer);
    for (const auto& [name, value] : mSpectrum.privateFields) {
        label(out, "$" + name, value);
    }
    label(out, "XUNITS", "NANOMETERS");
    label(out, "YUNITS", "ARBITRARY UNITS");
    label(out, "XFACTOR", "1");
    label(out, "YFACTOR", "1");
    if (points > 0) {
        label(out, "FIRSTX", number(x.front()));
        label(out, "LASTX", number(x[points - 1]));
        label(out, "MINX", number(*std::min_element(x.begin(), x.begin() + static_cast<std::ptrdiff_t>(points))));
        label(out, "MAXX", number(*std::max_element(x.begin(), x.begin() + static_cast<std::ptrdiff_t>(points))));
    }
    std::vector<float> finite;
    std::copy_if(y.begin(), y.begin() + static_cast<std::ptrdiff_t>(points), std::back_inserter(finite),
                 [](float value) { return std::isfinite(value); });
    if (!finite.empty()) {
        label(out, "MINY", number(*std::min_element(finite.begin(), finite.end())));
        label(out, "MAXY", number(*std::max_element(finite.begin(), finite.end())));
    }
    label(out, "NPOINTS", std::to_string(points));
    label(out, "XYPOINTS", "(XY..XY)");
    for (std::size_t i = 0; i < points; ++i) {
        out << number(x[i]) << ", " << number(y[i]) << "\r\n";
    }
    label(out, "END", "");
}

void JcampWriter::writeFile(const std::filesystem::path& path) const
{
    writeOutputFile(path, [this](std::ostream& out) { write(out); });
}

} // namespace velmorcli
