#pragma once

#include <velmor/spectrometercallback.h>

#include <cstddef>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <vector>

// The host side of a fuzzed measurement: records what each device delivered
// and checks, as it arrives, that no spectrum is delivered twice within a
// run of one manager. A spectrum's time stamp travels in its first two
// pixels (ScriptedSpectrometer); a stamp of zero carries no identity.
class MeasurementRecorder : public SpectrometerCallback {
public:
    struct DeviceRecord {
        std::size_t spectra = 0;      // continuous measurement
        std::size_t batches = 0;      // batch measurement
        std::size_t errors = 0;
        uint64_t lastKey = 0;         // newest non-zero stamp delivered
    };

    void onDataReceived(std::string serialNumber, const std::vector<float>& wavelength,
                        const std::vector<float>& spectrum) override;
    void onDataReceivedBanch(std::string serialNumber, const std::vector<float>& wavelength,
                             const std::vector<std::vector<float>>& spectra) override;
    void onError(std::string serialNumber, const std::string& message) override;

    DeviceRecord record(const std::string& serialNumber) const;
    // Starts the tallies over for the next run; the stamps stay, since the
    // manager remembers them across runs too.
    void startRun();

private:
    mutable std::mutex mMutex;
    std::map<std::string, DeviceRecord> mDevices;
};
