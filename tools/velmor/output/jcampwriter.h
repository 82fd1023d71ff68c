#pragma once

#include <chrono>
#include <filesystem>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

namespace velmorcli {

// One spectrum and what is known of it, for exchange as JCAMP-DX.
struct JcampSpectrum {
    std::string title;
    std::string origin; // who made the file, e.g. "velmor 0.1.0"
    std::chrono::system_clock::time_point time;
    std::string spectrometer; // serial number, firmware...
    std::vector<float> wavelengths; // nm
    std::vector<float> values;      // counts, as the device delivered them
    // Further labelled fields, written as ##$<LABEL>=<value>.
    std::vector<std::pair<std::string, std::string>> privateFields;
};

// Writes JCAMP-DX 5.01 with every measured wavelength as it is: the pixels
// are not evenly spaced, so the data go as (X,Y) pairs, one per line, under
// ##XYPOINTS=(XY..XY), never resampled onto an even grid.
class JcampWriter {
public:
    explicit JcampWriter(const JcampSpectrum& spectrum);

    void write(std::ostream& out) const;
    // Throws std::runtime_error naming the file when it cannot be written.
    void writeFile(const std::filesystem::path& path) const;

private:
    const JcampSpectrum& mSpectrum;
};

} // namespace velmorcli
