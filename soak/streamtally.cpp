#include "streamtally.h"

#include <algorithm>
#include <cmath>

void StreamTally::onSpectrum(const StreamSpectrum& spectrum)
{
    const auto calledAt = std::chrono::system_clock::now();
    const auto now = Clock::now();
    std::lock_guard<std::mutex> lock(mMutex);
    Device& device = mDevices[spectrum.serialNumber];
    if (!device.latencies) {
        device.latencies = std::make_shared<LatencyHistogram>();
        device.latencies->fill(0);
        device.firstAt = now;
    }
    const bool inOrder = (!device.lastSequence || spectrum.sequence > *device.lastSequence) &&
                         (!device.lastDeviceTime || spectrum.deviceTime > *device.lastDeviceTime);
    device.outOfOrder += inOrder ? 0 : 1;
    device.lastSequence = spectrum.sequence;
    device.lastDeviceTime = spectrum.deviceTime;
    device.missingReported += spectrum.missingBefore;
    ++device.delivered;
    device.lastAt = now;
    const double latencyMs = std::chrono::duration<double, std::milli>(calledAt - spectrum.deviceTime).count();
    const auto bucket = static_cast<long>(std::floor(latencyMs * kLatencyBucketsPerMs));
    ++(*device.latencies)[static_cast<std::size_t>(std::clamp<long>(bucket, 0, kLatencyBuckets - 1))];
}

void StreamTally::onError(const std::string& serialNumber, const std::string&)
{
    std::lock_guard<std::mutex> lock(mMutex);
    ++mDevices[serialNumber].errors;
}

void StreamTally::onStreamEnd(const std::string& serialNumber, uint64_t delivered, uint64_t lost)
{
    std::lock_guard<std::mutex> lock(mMutex);
    Device& device = mDevices[serialNumber];
    device.ended = true;
    device.endDelivered = delivered;
    device.endLost = lost;
}

std::map<std::string, StreamTally::Device> StreamTally::devices() const
{
    std::lock_guard<std::mutex> lock(mMutex);
    return mDevices;
}

void StreamTally::clear()
{
    std::lock_guard<std::mutex> lock(mMutex);
    mDevices.clear();
}

double StreamTally::Device::rate() const
{
    const double seconds = std::chrono::duration<double>(lastAt - firstAt).count();
    return delivered > 1 && seconds > 0 ? static_cast<double>(delivered - 1) / seconds : 0;
}

double StreamTally::Device::latencyMs(double fraction) const
{
    return latencies ? percentileMs(*latencies, delivered, fraction) : 0;
}

double StreamTally::percentileMs(const LatencyHistogram& histogram, uint64_t count, double fraction)
{
    const auto wanted = std::max<uint64_t>(static_cast<uint64_t>(std::ceil(fraction * static_cast<double>(count))), 1);
    uint64_t seen = 0;
    for (std::size_t bucket = 0; bucket < histogram.size(); ++bucket) {
        seen += histogram[bucket];
        if (seen >= wanted) {
            return static_cast<double>(bucket + 1) / kLatencyBucketsPerMs;
        }
    }
    return static_cast<double>(histogram.size()) / kLatencyBucketsPerMs;
}
