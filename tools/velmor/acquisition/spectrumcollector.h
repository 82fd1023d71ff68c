#pragma once

#include "acquisition/deviceprogress.h"
#include "acquisition/devicespectra.h"

#include <velmor/spectrometercallback.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <exception>
#include <mutex>
#include <string>
#include <vector>

namespace velmorcli {

// Receives what the library's measurement workers deliver and keeps it per
// device. The workers call in concurrently (one per device) while the host
// thread watches the progress; everything is guarded by one mutex, and the
// callbacks only copy the data, so that the workers are never held up.
//
// The workers hold a pointer to it until the manager has joined them, so it
// is made before the manager and outlives it.
class SpectrumCollector : public SpectrometerCallback {
public:
    // Starts collecting anew for these devices (the connected ones, in pool
    // order; progress and results keep this order).
    void expect(const std::vector<std::string>& serialNumbers);

    void onDataReceived(std::string serialNumber, const std::vector<float>& wavelength,
                        const std::vector<float>& spectrum) override;
    void onDataReceivedBanch(std::string serialNumber, const std::vector<float>& wavelength,
                             const std::vector<std::vector<float>>& spectra) override;
    // A timed-out spectrum of continuous measurement, or the end of a
    // device's measurement on an error (unplugged, a command refused...):
    // onFailure with the cause the library shows (velmor::currentWorkerError).
    void onError(std::string serialNumber, const std::string& message) override;
    // A spectrum that did not come in time (a CommunicationError of kind
    // Timeout without a command: the worker goes on) counts as a timeout;
    // any other cause ends the device's measurement.
    void onFailure(const std::string& serialNumber, const std::string& message, const std::exception_ptr& cause);

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
