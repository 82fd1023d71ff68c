#include "output/csvwriter.h"

#include "output/outputfile.h"
#include "output/timestamp.h"

#include <algorithm>
#include <charconv>
#include <map>
#include <stdexcept>

namespace velmorcli {
namespace {

std::string quotedIfNeeded(const std::string& field)
{
    if (field.find_first_of(",\"\r\n") == std::string::npos) {
        return field;
    }
    std::string quoted = "\"";
    for (char character : field) {
        if (character == '"') {
            quoted += '"';
        }
        quoted += character;
    }
    return quoted + '"';
}

// The shortest text that reads back as the same float; nothing for a pixel
// the spectrum does not have.
void appendCell(std::string& row, const std::vector<float>& values, std::size_t index)
{
    if (index < values.size()) {
        char digits[32];
        const auto result = std::to_chars(std::begin(digits), std::end(digits), values[index]);
        row.append(digits, result.ptr);
    }
}

} // namespace

CsvWriter::CsvWriter(const DeviceSpectra& device) : mDevice(device)
{
}

void CsvWriter::write(std::ostream& out) const
{
    std::string header = "wavelength_nm";
    for (const std::string& label : columnLabels()) {
        header += ',' + quotedIfNeeded(label);
    }
    out << header << '\n';
    for (std::size_t pixel = 0; pixel < rowCount(); ++pixel) {
        writeRow(out, pixel);
    }
}

void CsvWriter::writeFile(const std::filesystem::path& path) const
{
    writeOutputFile(path, [this](std::ostream& out) { write(out); });
}

std::vector<std::string> CsvWriter::columnLabels() const
{
    std::vector<std::string> labels;
    std::map<std::string, int> uses;
    for (const ReceivedSpectrum& spectrum : mDevice.spectra) {
        labels.push_back(mDevice.serialNumber + '@' + formatLocalTimestamp(spectrum.receivedAt));
        ++uses[labels.back()];
    }
    std::map<std::string, int> positions;
    for (std::string& label : labels) {
        if (uses[label] > 1) {
            label += '#' + std::to_string(++positions[label]);
        }
    }
    return labels;
}

std::size_t CsvWriter::rowCount() const
{
    std::size_t rows = mDevice.wavelengths.size();
    for (const ReceivedSpectrum& spectrum : mDevice.spectra) {
        rows = std::max(rows, spectrum.counts.size());
    }
    return rows;
}

void CsvWriter::writeRow(std::ostream& out, std::size_t pixel) const
{
    std::string row;
    appendCell(row, mDevice.wavelengths, pixel);
    for (const ReceivedSpectrum& spectrum : mDevice.spectra) {
        row += ',';
        appendCell(row, spectrum.counts, pixel);
    }
    row += '\n';
    out << row;
}

} // namespace velmorcli
