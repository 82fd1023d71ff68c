#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace velmorcli {

// One spectrum on its way into a recording, with what its header said.
struct RecordedSpectrum {
    std::size_t device = 0; // position in the recording's device list
    uint64_t sequence = 0;  // per device, from 0; lost spectra leave gaps
    std::chrono::system_clock::time_point deviceTime; // header time stamp, UTC
    std::chrono::system_clock::time_point hostTime;   // when the host read it
    uint32_t exposureTimeUs = 0;
    uint32_t averaging = 0;
    bool darkSubtracted = false;
    uint8_t intensityUnit = 0;
    float sensorTemperatureC = 0;
    std::vector<float> counts;
};

// What is known of a device when its recording starts.
struct RecordedDevice {
    std::string serialNumber;
    std::string firmware;    // empty: unknown
    std::string usbLocation; // "bus/address", empty: unknown
    int startPixel = 0;
    int endPixel = 0;
    std::vector<float> wavelengths; // nm per pixel
};

// What the whole recording is.
struct RecordingHeader {
    std::string libraryVersion;
    std::string commandLine;
    std::chrono::system_clock::time_point startTime;
};

} // namespace velmorcli
