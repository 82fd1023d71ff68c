#pragma once

#include <chrono>
#include <string>
#include <vector>

namespace velmorcli {

struct ReceivedSpectrum {
    std::chrono::system_clock::time_point receivedAt; // host clock, when the callback ran
    std::vector<float> counts;                        // one value per pixel
};

// What one spectrometer delivered during a measurement.
struct DeviceSpectra {
    std::string serialNumber;
    std::vector<float> wavelengths; // nm per pixel; empty until the first delivery
    std::vector<ReceivedSpectrum> spectra;
    std::vector<std::string> timeouts; // the library's messages for spectra that timed out
    std::string failure;               // why the library ended the device's measurement; empty if it did not
    int deliveries = 0;                // callback calls that brought data (batches count once)
};

// Pixel-wise mean of the device's spectra (as long as the longest of them);
// empty when there are none.
std::vector<float> meanSpectrum(const DeviceSpectra& device);

} // namespace velmorcli
