#include "acquisition/spectrumcollector.h"

#include <velmor/communicationerror.h>
#include <velmor/velmorhost.h>

#include <algorithm>

namespace velmorcli {

namespace {

// A spectrum of continuous measurement that did not come within the
// library's time limit: no exchange failed (command 0), and the worker goes
// on with the next one. A USB time-out of an exchange ends the worker.
bool isSpectrumTimeout(const std::exception_ptr& cause)
{
    if (!cause) {
        return false;
    }
    try {
        std::rethrow_exception(cause);
    } catch (const CommunicationError& e) {
        return e.kind() == CommunicationError::Kind::Timeout && e.command() == 0;
    } catch (...) {
        return false;
    }
}

} // namespace

void SpectrumCollector::expect(const std::vector<std::string>& serialNumbers)
{
    const auto now = std::chrono::steady_clock::now();
    std::lock_guard<std::mutex> lock(mMutex);
    mDevices.clear();
    for (const std::string& serialNumber : serialNumbers) {
        Device device;
        device.spectra.serialNumber = serialNumber;
        device.lastNews = now;
        mDevices.push_back(std::move(device));
    }
}

void SpectrumCollector::onDataReceived(std::string serialNumber, const std::vector<float>& wavelength,
                                       const std::vector<float>& spectrum)
{
    const auto receivedAt = std::chrono::system_clock::now();
    std::lock_guard<std::mutex> lock(mMutex);
    Device& device = deviceWithSerial(serialNumber);
    device.spectra.wavelengths = wavelength;
    device.spectra.spectra.push_back(ReceivedSpectrum{receivedAt, spectrum});
    ++device.spectra.deliveries;
    noteNews(device);
}

void SpectrumCollector::onDataReceivedBanch(std::string serialNumber, const std::vector<float>& wavelength,
                                            const std::vector<std::vector<float>>& spectra)
{
    const auto receivedAt = std::chrono::system_clock::now();
    std::lock_guard<std::mutex> lock(mMutex);
    Device& device = deviceWithSerial(serialNumber);
    device.spectra.wavelengths = wavelength;
    for (const std::vector<float>& spectrum : spectra) {
        device.spectra.spectra.push_back(ReceivedSpectrum{receivedAt, spectrum});
    }
    ++device.spectra.deliveries;
    noteNews(device);
}

void SpectrumCollector::onError(std::string serialNumber, const std::string& message)
{
    onFailure(serialNumber, message, velmor::currentWorkerError());
}

void SpectrumCollector::onFailure(const std::string& serialNumber, const std::string& message,
                                  const std::exception_ptr& cause)
{
    const bool timedOut = isSpectrumTimeout(cause);
    std::lock_guard<std::mutex> lock(mMutex);
    Device& device = deviceWithSerial(serialNumber);
    if (timedOut) {
        device.spectra.timeouts.push_back(message);
    } else if (device.spectra.failure.empty()) {
        device.spectra.failure = message.empty() ? "an error without a message" : message;
    }
    noteNews(device);
}

std::vector<DeviceProgress> SpectrumCollector::progress()
{
    std::lock_guard<std::mutex> lock(mMutex);
    return progressLocked();
}

std::vector<DeviceProgress> SpectrumCollector::progressAfterNews(std::chrono::steady_clock::time_point until)
{
    std::unique_lock<std::mutex> lock(mMutex);
    mNews.wait_until(lock, until, [this] { return mNewsCount != mNewsReported; });
    return progressLocked();
}

std::vector<DeviceSpectra> SpectrumCollector::results() const
{
    std::lock_guard<std::mutex> lock(mMutex);
    std::vector<DeviceSpectra> results;
    for (const Device& device : mDevices) {
        results.push_back(device.spectra);
    }
    return results;
}

SpectrumCollector::Device& SpectrumCollector::deviceWithSerial(const std::string& serialNumber)
{
    const auto found = std::find_if(mDevices.begin(), mDevices.end(),
                                    [&](const Device& device) { return device.spectra.serialNumber == serialNumber; });
    if (found != mDevices.end()) {
        return *found;
    }
    // Not among the expected devices; keep it all the same.
    Device device;
    device.spectra.serialNumber = serialNumber;
    mDevices.push_back(std::move(device));
    return mDevices.back();
}

void SpectrumCollector::noteNews(Device& device)
{
    device.lastNews = std::chrono::steady_clock::now();
    ++mNewsCount;
    mNews.notify_all();
}

std::vector<DeviceProgress> SpectrumCollector::progressLocked()
{
    mNewsReported = mNewsCount;
    std::vector<DeviceProgress> progress;
    for (const Device& device : mDevices) {
        progress.push_back(DeviceProgress{device.spectra.serialNumber, device.spectra.spectra.size(),
                                          device.spectra.timeouts.size(), device.spectra.deliveries,
                                          !device.spectra.failure.empty(), device.lastNews});
    }
    return progress;
}

} // namespace velmorcli
