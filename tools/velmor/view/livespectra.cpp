#include "livespectra.h"

#include <algorithm>

namespace velmorview {
namespace {

constexpr std::chrono::seconds RATE_WINDOW{2};

double arrivalsPerSecond(const std::deque<std::chrono::steady_clock::time_point>& arrivals)
{
    const auto since = std::chrono::steady_clock::now() - RATE_WINDOW;
    const auto recent = std::count_if(arrivals.begin(), arrivals.end(), [since](auto time) { return time >= since; });
    return static_cast<double>(recent) / std::chrono::duration<double>(RATE_WINDOW).count();
}

} // namespace

LiveSpectra::LiveSpectra(const std::vector<std::string>& serialNumbers) : mOrder(serialNumbers)
{
    for (const std::string& serialNumber : serialNumbers) {
        mDevices[serialNumber].view.serialNumber = serialNumber;
    }
}

LiveSpectra::Device* LiveSpectra::find(const std::string& serialNumber)
{
    const auto found = mDevices.find(serialNumber);
    return found == mDevices.end() ? nullptr : &found->second;
}

void LiveSpectra::changed()
{
    ++mVersion;
    mChanged.notify_all();
}

void LiveSpectra::publish(const std::string& serialNumber, const std::vector<float>& counts)
{
    // The copy is made before the lock, so the lock covers a pointer swap.
    auto copy = std::make_shared<const std::vector<float>>(counts);
    const auto now = std::chrono::steady_clock::now();
    std::lock_guard<std::mutex> lock(mMutex);
    Device* device = find(serialNumber);
    if (device == nullptr) {
        return;
    }
    device->view.counts = std::move(copy);
    device->view.receivedAt = std::chrono::system_clock::now();
    ++device->view.received;
    auto& arrivals = device->recentArrivals;
    arrivals.push_back(now);
    while (!arrivals.empty() && arrivals.front() < now - RATE_WINDOW) {
        arrivals.pop_front();
    }
    changed();
}

void LiveSpectra::reportError(const std::string& serialNumber, const std::string& message)
{
    std::lock_guard<std::mutex> lock(mMutex);
    if (Device* device = find(serialNumber)) {
        device->view.error = message;
        device->view.errorAt = std::chrono::system_clock::now();
        changed();
    }
}

void LiveSpectra::setDarkSubtracted(const std::string& serialNumber, bool subtracted)
{
    std::lock_guard<std::mutex> lock(mMutex);
    if (Device* device = find(serialNumber)) {
        device->view.darkSubtracted = subtracted;
        changed();
    }
}

bool LiveSpectra::storeReference(const std::string& serialNumber)
{
    std::lock_guard<std::mutex> lock(mMutex);
    Device* device = find(serialNumber);
    if (device == nullptr || !device->view.counts) {
        return false;
    }
    device->view.reference =
        StoredSpectrum{device->view.counts, std::chrono::system_clock::now(), device->view.darkSubtracted};
    changed();
    return true;
}

LiveSnapshot LiveSpectra::snapshotLocked() const
{
    LiveSnapshot snapshot;
    snapshot.version = mVersion;
    for (const std::string& serialNumber : mOrder) {
        const Device& device = mDevices.at(serialNumber);
        snapshot.devices.push_back(device.view);
        snapshot.devices.back().spectraPerSecond = arrivalsPerSecond(device.recentArrivals);
    }
    return snapshot;
}

LiveSnapshot LiveSpectra::snapshot() const
{
    std::lock_guard<std::mutex> lock(mMutex);
    return snapshotLocked();
}

std::optional<LiveSnapshot> LiveSpectra::waitForChange(uint64_t seenVersion, std::chrono::milliseconds timeout) const
{
    std::unique_lock<std::mutex> lock(mMutex);
    const bool changedInTime = mChanged.wait_for(lock, timeout, [&] { return mClosed || mVersion > seenVersion; });
    if (!changedInTime || mClosed) {
        return std::nullopt;
    }
    return snapshotLocked();
}

void LiveSpectra::close()
{
    std::lock_guard<std::mutex> lock(mMutex);
    mClosed = true;
    mChanged.notify_all();
}

bool LiveSpectra::closed() const
{
    std::lock_guard<std::mutex> lock(mMutex);
    return mClosed;
}

} // namespace velmorview
