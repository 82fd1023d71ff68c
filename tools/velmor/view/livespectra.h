#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace velmorview {

using Spectrum = std::shared_ptr<const std::vector<float>>;

// A stored spectrum (a reference) and when it was taken.
struct StoredSpectrum {
    Spectrum values;
    std::chrono::system_clock::time_point takenAt;
    bool darkSubtracted = false;
};

// What the page sees of one device at one instant.
struct DeviceView {
    std::string serialNumber;
    uint64_t received = 0; // spectra so far; tells a new spectrum from one already sent
    Spectrum counts;       // the newest spectrum, null before the first
    std::chrono::system_clock::time_point receivedAt;
    double spectraPerSecond = 0.0;
    bool darkSubtracted = false;
    std::string error; // the last error, empty if none
    std::chrono::system_clock::time_point errorAt;
    std::optional<StoredSpectrum> reference;
};

struct LiveSnapshot {
    uint64_t version = 0; // grows with every change of any device
    std::vector<DeviceView> devices;
};

// The newest state of every device, shared between the measurement workers
// that publish and the page streams that read. Newest wins: a new spectrum
// replaces the previous one, so a reader that falls behind skips spectra
// instead of queueing them, and a publisher never waits for a reader (it
// only swaps a pointer under a short lock).
class LiveSpectra {
public:
    explicit LiveSpectra(const std::vector<std::string>& serialNumbers);

    // Unknown serial numbers are ignored: the device set is fixed at start.
    void publish(const std::string& serialNumber, const std::vector<float>& counts);
    void reportError(const std::string& serialNumber, const std::string& message);
    void setDarkSubtracted(const std::string& serialNumber, bool subtracted);
    // Keeps the newest spectrum as the device's reference; false if the
    // device has not delivered one yet.
    bool storeReference(const std::string& serialNumber);

    LiveSnapshot snapshot() const;
    // The snapshot once its version exceeds `seenVersion`; nothing if that
    // does not happen within `timeout` or the store is closed.
    std::optional<LiveSnapshot> waitForChange(uint64_t seenVersion, std::chrono::milliseconds timeout) const;
    // Wakes every waiter for good, so that streams end when the view stops.
    void close();
    bool closed() const;

private:
    struct Device {
        DeviceView view;
        std::deque<std::chrono::steady_clock::time_point> recentArrivals;
    };

    Device* find(const std::string& serialNumber);
    void changed();
    LiveSnapshot snapshotLocked() const;

    mutable std::mutex mMutex;
    mutable std::condition_variable mChanged;
    std::vector<std::string> mOrder;
    std::map<std::string, Device> mDevices;
    uint64_t mVersion = 0;
    bool mClosed = false;
};

} // namespace velmorview
