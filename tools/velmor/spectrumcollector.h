#pragma once

#include "devicespectra.h"

#include <velmor/spectrometercallback.h>

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

namespace velmorcli {

// Receives what the library's measurement workers deliver and keeps it per
// device. The workers call in concurrently (one per device) while the host
// thread watches the progress; everything is guarded by one mutex, and the
// callbacks only copy the data, so that the workers are never held up.
class SpectrumCollector : public SpectrometerCallback {
public:
    struct DeviceProgress {
        std::string serialNumber;
        std::size_t spectra = 0;
        std::size_t errors = 0;
        int deliveries = 0;
        std::chrono::steady_clock::time_point lastNews; // the last callback, or when collecting began
    };

    // The serial numbers of the connected devices, in pool order; progress
    // and results keep this order.
    explicit SpectrumCollector(const std::vector<std::string>& serialNumbers);

    void onDataReceived(std::string serialNumber, const std::vector<float>& wavelength,
                        const std::vector<float>& spectrum) override;
    void onDataReceivedBanch(std::string serialNumber, const std::vector<float>& wavelength,
                             const std::vector<std::vector<float>>& spectra) override;
    void onError(std::string serialNumber, const std::string& message) override;

    std::vector<DeviceProgress> progress();
    // Waits until a callback brings something new since the last progress,
    // or until `until`, and returns the progress then.
    std::vector<DeviceProgress> progressAfterNews(std::chrono::steady_clock::time_point until);

    // Everything delivered; call once the measurement has been stopped.
    std::vector<DeviceSpectra> results() const;

private:
    struct Device {
        DeviceSpectra spectra;
        std::chrono::steady_clock::time_point lastNews;
    };

    // Callers hold mMutex.
    Device& deviceWithSerial(const std::string& serialNumber);
    void noteNews(Device& device);
    std::vector<DeviceProgress> progressLocked();

    mutable std::mutex mMutex;
    std::condition_variable mNews;
    std::uint64_t mNewsCount = 0;
    std::uint64_t mNewsReported = 0;
    std::vector<Device> mDevices;
};

} // namespace velmorcli
