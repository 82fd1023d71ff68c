#include "recording/streamrecorder.h"

#include <algorithm>
#include <utility>

namespace velmorcli {

StreamRecorder::StreamRecorder(RecordingWriter& writer, std::vector<std::string> serialNumbers)
    : mWriter(writer), mSerialNumbers(std::move(serialNumbers)), mDevices(mSerialNumbers.size())
{
}

void StreamRecorder::onSpectrum(const StreamSpectrum& spectrum)
{
    const auto device = static_cast<std::size_t>(spectrum.deviceIndex);
    if (spectrum.deviceIndex < 0 || device >= mDevices.size()) {
        return;
    }
    {
        std::lock_guard<std::mutex> lock(mMutex);
        ++mDevices[device].received;
        mDevices[device].lost += spectrum.missingBefore;
    }
    RecordedSpectrum recorded;
    recorded.device = device;
    recorded.sequence = spectrum.sequence;
    recorded.deviceTime = spectrum.deviceTime;
    recorded.hostTime = spectrum.receivedAt;
    recorded.exposureTimeUs = spectrum.exposureTimeUs;
    recorded.averaging = spectrum.averaging;
    recorded.darkSubtracted = spectrum.darkSubtracted;
    recorded.intensityUnit = spectrum.intensityUnit;
    recorded.sensorTemperatureC = spectrum.sensorTemperatureC;
    recorded.counts = spectrum.spectrum;
    mWriter.offer(std::move(recorded));
}

void StreamRecorder::onError(const std::string& serialNumber, const std::string& message)
{
    const std::size_t device = indexOf(serialNumber);
    std::lock_guard<std::mutex> lock(mMutex);
    if (device < mDevices.size()) {
        std::string& error = mDevices[device].error;
        error += (error.empty() ? "" : "; ") + message;
    }
}

void StreamRecorder::onStreamEnd(const std::string& serialNumber, uint64_t delivered, uint64_t lost)
{
    const std::size_t device = indexOf(serialNumber);
    std::lock_guard<std::mutex> lock(mMutex);
    if (device < mDevices.size()) {
        DeviceState& state = mDevices[device];
        state.ended = true;
        state.spectraMade = delivered + lost;
        state.lost = std::max(state.lost, lost);
    }
}

std::vector<StreamRecorder::DeviceState> StreamRecorder::devices() const
{
    std::vector<DeviceState> devices;
    {
        std::lock_guard<std::mutex> lock(mMutex);
        devices = mDevices;
    }
    for (std::size_t i = 0; i < devices.size(); ++i) {
        devices[i].lost += mWriter.dropped(i);
    }
    return devices;
}

bool StreamRecorder::allEnded() const
{
    std::lock_guard<std::mutex> lock(mMutex);
    return std::all_of(mDevices.begin(), mDevices.end(), [](const DeviceState& device) { return device.ended; });
}

std::size_t StreamRecorder::indexOf(const std::string& serialNumber) const
{
    return static_cast<std::size_t>(std::find(mSerialNumbers.begin(), mSerialNumbers.end(), serialNumber) -
                                    mSerialNumbers.begin());
}

} // namespace velmorcli
