#pragma once

#include <velmor/streamcallback.h>

#include <array>
#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

// Counts what a stream delivers, per device, without keeping the spectra and
// without allocating per spectrum, so that a long run's memory stays flat and
// a bench's heap count sees only the library. Latency, from the device's time
// stamp to the call, goes into a histogram of 0.1 ms steps.
class StreamTally : public StreamCallback {
public:
    using Clock = std::chrono::steady_clock;
    static constexpr int kLatencyBucketsPerMs = 10;
    static constexpr int kLatencyBuckets = 10000 * kLatencyBucketsPerMs;  // the last one holds everything longer
    using LatencyHistogram = std::array<uint64_t, kLatencyBuckets>;

    // Milliseconds within which `fraction` of the `count` latencies lie.
    static double percentileMs(const LatencyHistogram& histogram, uint64_t count, double fraction);

    struct Device {
        uint64_t delivered = 0;
        uint64_t missingReported = 0;   // sum of missingBefore
        uint64_t outOfOrder = 0;        // sequence or device stamp not above the previous one
        uint64_t errors = 0;
        std::optional<uint64_t> lastSequence;
        std::optional<std::chrono::system_clock::time_point> lastDeviceTime;
        Clock::time_point firstAt;
        Clock::time_point lastAt;
        bool ended = false;
        uint64_t endDelivered = 0;
        uint64_t endLost = 0;
        std::shared_ptr<LatencyHistogram> latencies;

        // Calls per second between the first and the last.
        double rate() const;
        // Milliseconds at which `fraction` of the latencies lie.
        double latencyMs(double fraction) const;
    };

    void onSpectrum(const StreamSpectrum& spectrum) override;
    void onError(const std::string& serialNumber, const std::string& message) override;
    void onStreamEnd(const std::string& serialNumber, uint64_t delivered, uint64_t lost) override;

    std::map<std::string, Device> devices() const;
    void clear();

private:
    mutable std::mutex mMutex;
    std::map<std::string, Device> mDevices;
};
