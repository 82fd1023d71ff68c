#pragma once

#include <velmor/spectrometercallback.h>

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <map>
#include <mutex>
#include <string>
#include <vector>

// A host callback that notes, per device, when each delivery arrived and how
// much CPU time the delivering worker thread had used by then, and wakes the
// benchmark once every expected spectrum is in.
class DeliveryLog : public SpectrometerCallback {
public:
    using Clock = std::chrono::steady_clock;

    struct Delivery {
        Clock::time_point at;
        std::size_t spectra; // 1, or the size of a batch
    };

    struct DeviceRecord {
        std::vector<Delivery> deliveries;
        // CPU time of the worker at its latest delivery; a worker delivers
        // for one device during one run, so this is what it cost until then.
        std::chrono::nanoseconds workerCpu{0};
    };

    // Forgets earlier runs and waits for `spectra` spectra in all.
    void expect(std::size_t spectra);

    // True when every expected spectrum arrived within `limit` and no
    // device reported a time-out.
    bool waitForAll(std::chrono::seconds limit);
    std::string failure();

    // Per serial number.
    std::map<std::string, DeviceRecord> records();

    void onDataReceived(std::string serialNumber, const std::vector<float>& wavelength,
                        const std::vector<float>& spectrum) override;
    void onDataReceivedBanch(std::string serialNumber, const std::vector<float>& wavelength,
                             const std::vector<std::vector<float>>& spectra) override;
    void onError(std::string serialNumber, const std::string& message) override;

private:
    void note(const std::string& serialNumber, std::size_t spectra);

    std::mutex mMutex;
    std::condition_variable mChanged;
    std::size_t mExpected = 0;
    std::size_t mDelivered = 0;
    std::string mFailure;
    std::map<std::string, DeviceRecord> mRecords;
};
