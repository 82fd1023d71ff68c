#include "measurementrecorder.h"

#include <cstdio>
#include <cstdlib>

namespace {

uint64_t stampKey(const std::vector<float>& spectrum)
{
    if (spectrum.size() < 2) {
        return 0;
    }
    const auto time = static_cast<uint64_t>(spectrum[0]);
    const auto date = static_cast<uint64_t>(spectrum[1]);
    return date << 32 | time;
}

} // namespace

void MeasurementRecorder::onDataReceived(std::string serialNumber, const std::vector<float>&,
                                         const std::vector<float>& spectrum)
{
    std::lock_guard<std::mutex> lock(mMutex);
    DeviceRecord& device = mDevices[serialNumber];
    ++device.spectra;
    const uint64_t key = stampKey(spectrum);
    if (key == 0) {
        return;
    }
    if (key == device.lastKey) {
        std::fprintf(stderr, "fuzz_measurement: device %s delivered the spectrum stamped %llu twice\n",
                     serialNumber.c_str(), static_cast<unsigned long long>(key));
        std::abort();
    }
    device.lastKey = key;
}

void MeasurementRecorder::onDataReceivedBanch(std::string serialNumber, const std::vector<float>&,
                                              const std::vector<std::vector<float>>&)
{
    std::lock_guard<std::mutex> lock(mMutex);
    ++mDevices[serialNumber].batches;
}

void MeasurementRecorder::onError(std::string serialNumber, const std::string&)
{
    std::lock_guard<std::mutex> lock(mMutex);
    ++mDevices[serialNumber].errors;
}

MeasurementRecorder::DeviceRecord MeasurementRecorder::record(const std::string& serialNumber) const
{
    std::lock_guard<std::mutex> lock(mMutex);
    const auto found = mDevices.find(serialNumber);
    return found != mDevices.end() ? found->second : DeviceRecord{};
}

void MeasurementRecorder::startRun()
{
    std::lock_guard<std::mutex> lock(mMutex);
    for (auto& entry : mDevices) {
        entry.second = DeviceRecord{0, 0, 0, entry.second.lastKey};
    }
}
