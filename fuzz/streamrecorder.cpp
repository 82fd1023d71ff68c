#include "streamrecorder.h"

#include <cstdio>
#include <cstdlib>

namespace {

[[noreturn]] void broken(const std::string& serialNumber, const char* what)
{
    std::fprintf(stderr, "fuzz_measurement: stream of device %s: %s\n", serialNumber.c_str(), what);
    std::abort();
}

} // namespace

void StreamRecorder::onSpectrum(const StreamSpectrum& spectrum)
{
    std::lock_guard<std::mutex> lock(mMutex);
    DeviceRecord& device = mDevices[spectrum.serialNumber];
    if (device.ends != 0) {
        broken(spectrum.serialNumber, "a spectrum after the end");
    }
    if (spectrum.sequence != device.nextSequence + spectrum.missingBefore) {
        broken(spectrum.serialNumber, "a sequence number that does not follow missingBefore");
    }
    device.nextSequence = spectrum.sequence + 1;
    ++device.spectra;
}

void StreamRecorder::onError(const std::string& serialNumber, const std::string&)
{
    std::lock_guard<std::mutex> lock(mMutex);
    DeviceRecord& device = mDevices[serialNumber];
    if (device.ends != 0) {
        broken(serialNumber, "an error after the end");
    }
    ++device.errors;
}

void StreamRecorder::onStreamEnd(const std::string& serialNumber, uint64_t delivered, uint64_t lost)
{
    std::lock_guard<std::mutex> lock(mMutex);
    DeviceRecord& device = mDevices[serialNumber];
    if (++device.ends != 1) {
        broken(serialNumber, "a second end");
    }
    if (delivered != device.spectra) {
        broken(serialNumber, "an end whose delivered count differs from the spectra delivered");
    }
    device.lost = lost;
}

StreamRecorder::DeviceRecord StreamRecorder::record(const std::string& serialNumber) const
{
    std::lock_guard<std::mutex> lock(mMutex);
    const auto found = mDevices.find(serialNumber);
    return found == mDevices.end() ? DeviceRecord{} : found->second;
}

void StreamRecorder::startRun()
{
    std::lock_guard<std::mutex> lock(mMutex);
    mDevices.clear();
}
