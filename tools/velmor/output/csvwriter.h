#pragma once

#include "acquisition/devicespectra.h"

#include <filesystem>
#include <ostream>
#include <string>
#include <vector>

namespace velmorcli {

// Writes the spectra of one device as CSV: a header row, then one row per
// pixel with the wavelength in nm followed by one value per spectrum.
// Columns are labelled <serial>@<receive time>; spectra that arrived together
// (a batch) get #<position> appended, 1-based.
class CsvWriter {
public:
    explicit CsvWriter(const DeviceSpectra& device);

    void write(std::ostream& out) const;
    // Throws std::runtime_error naming the file when it cannot be written.
    void writeFile(const std::filesystem::path& path) const;

private:
    std::vector<std::string> columnLabels() const;
    std::size_t rowCount() const;
    void writeRow(std::ostream& out, std::size_t pixel) const;

    const DeviceSpectra& mDevice;
};

} // namespace velmorcli
