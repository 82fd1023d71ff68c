#pragma once

#include <chrono>
#include <cstddef>
#include <string>

namespace velmorcli {

// Where one device stands during a measurement, as the callbacks tell it.
struct DeviceProgress {
    std::string serialNumber;
    std::size_t spectra = 0;
    std::size_t timeouts = 0;
    int deliveries = 0;
    bool failed = false;                            // the library reported that its measurement ended
    std::chrono::steady_clock::time_point lastNews; // the last callback, or when collecting began
};

} // namespace velmorcli
