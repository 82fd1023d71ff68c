#pragma once

#include <velmor/spectrometercallback.h>

#include <cstdint>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <vector>

// Counts what a long run delivers without keeping the spectra. The device
// numbers each spectrum it hands out in its first pixel, so a number seen
// twice for one serial number is a spectrum delivered twice.
class CountingCallback : public SpectrometerCallback {
public:
    void onDataReceived(std::string serialNumber, const std::vector<float>& wavelength,
                        const std::vector<float>& spectrum) override;
    void onDataReceivedBanch(std::string serialNumber, const std::vector<float>& wavelength,
                             const std::vector<std::vector<float>>& spectra) override;
    void onError(std::string serialNumber, const std::string& message) override;

    uint64_t delivered() const;
    uint64_t duplicates() const;
    uint64_t errors() const;

private:
    void count(const std::string& serialNumber, const std::vector<float>& spectrum);

    mutable std::mutex mMutex;
    std::map<std::string, std::set<float>> mNumbersBySerial;
    uint64_t mDelivered = 0;
    uint64_t mDuplicates = 0;
    uint64_t mErrors = 0;
};
