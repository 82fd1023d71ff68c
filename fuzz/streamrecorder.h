#pragma once

#include <velmor/streamcallback.h>

#include <cstddef>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>

// The host side of a fuzzed stream: checks, as the calls arrive, that each
// device's sequence numbers rise by missingBefore + 1 (no spectrum twice, no
// loss unreported), that nothing follows a device's onStreamEnd, and that its
// totals match what was delivered.
class StreamRecorder : public StreamCallback {
public:
    struct DeviceRecord {
        std::size_t spectra = 0;
        std::size_t errors = 0;
        std::size_t ends = 0;
        uint64_t nextSequence = 0;
        uint64_t lost = 0;  // as onStreamEnd reported
    };

    void onSpectrum(const StreamSpectrum& spectrum) override;
    void onError(const std::string& serialNumber, const std::string& message) override;
    void onStreamEnd(const std::string& serialNumber, uint64_t delivered, uint64_t lost) override;

    DeviceRecord record(const std::string& serialNumber) const;
    void startRun();

private:
    mutable std::mutex mMutex;
    std::map<std::string, DeviceRecord> mDevices;
};
