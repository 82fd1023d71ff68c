#include "devicecontroller.h"

#include "replytext.h"
#include "requesterror.h"
#include "spectrummath.h"
#include "acquisition/timebudget.h"

namespace velmorview {
namespace {

using nlohmann::json;

json timeOrNull(bool known, std::chrono::system_clock::time_point time)
{
    return known ? json(std::chrono::duration_cast<std::chrono::milliseconds>(time.time_since_epoch()).count())
                 : json(nullptr);
}

} // namespace

DeviceController::LiveCallback::LiveCallback(LiveSpectra& live) : mLive(live)
{
}

void DeviceController::LiveCallback::onSpectrum(const StreamSpectrum& spectrum)
{
    mLive.publish(replytext::validUtf8(spectrum.serialNumber), spectrum.spectrum);
}

void DeviceController::LiveCallback::onError(const std::string& serialNumber, const std::string& message)
{
    mLive.reportError(replytext::validUtf8(serialNumber), replytext::validUtf8(message));
}

DeviceController::DeviceController(velmorcli::SpectrometerSession& session, LiveSpectra& live,
                                   const AcquisitionSettings& settings)
    : mSession(session), mLive(live), mCallback(live), mSettings(settings)
{
    for (int index = 0; index < mSession.deviceCount(); ++index) {
        const SpectrometerParameters parameters = mSession.parameters(index);
        const auto connection = mSession.connectionDetails(index);
        mDevices.push_back(DeviceFacts{
            replytext::validUtf8(parameters.serialNumber), parameters.pixelCount,
            connection && !connection->firmware.empty() ? replytext::validUtf8(connection->firmware) : "?",
            parameters.wavelengths});
    }
}

DeviceController::~DeviceController()
{
    std::lock_guard<std::mutex> lock(mDevicesBusy);
    mSession.spectrometers().stopMeasurement();
}

std::vector<std::string> DeviceController::shownSerialNumbers(velmorcli::SpectrometerSession& session)
{
    std::vector<std::string> shown;
    for (const std::string& serialNumber : session.serialNumbers()) {
        shown.push_back(replytext::validUtf8(serialNumber));
    }
    return shown;
}

json DeviceController::state()
{
    std::lock_guard<std::mutex> lock(mStateMutex);
    json devices = json::array();
    for (std::size_t index = 0; index < mDevices.size(); ++index) {
        const DeviceFacts& device = mDevices[index];
        const auto dark = mDark.find(device.serialNumber);
        const DarkState darkState = dark == mDark.end() ? DarkState{} : dark->second;
        devices.push_back({{"serial", device.serialNumber},
                           {"index", index},
                           {"pixels", device.pixels},
                           {"firmware", device.firmware},
                           {"darkTakenAt", timeOrNull(darkState.taken, darkState.takenAt)},
                           {"darkSubtraction", darkState.subtracting}});
    }
    return {{"running", mRunning},
            {"runningSince", timeOrNull(mRunning, mRunningSince)},
            // A device silent this long while running has stopped delivering.
            {"stallLimitMs", velmorcli::timebudget::measureStallLimit(mSettings.exposureUs, mSettings.averaging, 0).count()},
            {"exposureUs", mSettings.exposureUs},
            {"averaging", mSettings.averaging},
            {"maxExposureUs", ControlRequests::MAX_EXPOSURE_US},
            {"maxAveraging", ControlRequests::MAX_AVERAGING},
            {"triggerMode", mTriggerMode == TriggerMode::EXTERNAL ? "external" : "software"},
            {"topCount", DETECTOR_TOP_COUNT},
            {"devices", devices}};
}

json DeviceController::wavelengths()
{
    json tables = json::object();
    for (const DeviceFacts& device : mDevices) {
        tables[device.serialNumber] = device.wavelengths;
    }
    return tables;
}

std::unique_lock<std::mutex> DeviceController::claimDevices()
{
    std::unique_lock<std::mutex> claim(mDevicesBusy, std::try_to_lock);
    if (!claim) {
        throw RequestError(409, "busy: the spectrometers are still carrying out an earlier request; try again "
                                "when it is done");
    }
    return claim;
}

// With the devices claimed. Streams until paused or stopped, in the trigger
// mode last set, so every device measures at its own pace.
void DeviceController::startMeasuring(const AcquisitionSettings& settings)
{
    StreamSettings stream;
    stream.exposureTimeUs = settings.exposureUs;
    stream.averaging = settings.averaging;
    mSession.spectrometers().startStreamMeasurement(&mCallback, stream);
    std::lock_guard<std::mutex> lock(mStateMutex);
    mRunningSince = std::chrono::system_clock::now();
}

void DeviceController::setRunning(bool running)
{
    const auto claim = claimDevices();
    if (running) {
        startMeasuring(mSettings);
    } else {
        mSession.spectrometers().stopMeasurement();
    }
    std::lock_guard<std::mutex> lock(mStateMutex);
    mRunning = running;
}

void DeviceController::applySettings(const AcquisitionSettings& settings)
{
    const auto claim = claimDevices();
    {
        std::lock_guard<std::mutex> lock(mStateMutex);
        mSettings = settings;
    }
    if (mRunning) {
        startMeasuring(settings); // settings travel with the start
    }
}

// With the devices claimed; mRunning changes only then, so it is read
// without the state lock.
void DeviceController::whileStopped(const std::function<void()>& work)
{
    mSession.spectrometers().stopMeasurement();
    try {
        work();
    } catch (...) {
        if (mRunning) {
            startMeasuring(mSettings);
        }
        throw;
    }
    if (mRunning) {
        startMeasuring(mSettings);
    }
}

std::vector<int> DeviceController::indicesOf(const std::string& device) const
{
    std::vector<int> indices;
    for (std::size_t index = 0; index < mDevices.size(); ++index) {
        if (device == ControlRequests::ALL_DEVICES || mDevices[index].serialNumber == device) {
            indices.push_back(static_cast<int>(index));
        }
    }
    return indices;
}

void DeviceController::applyDark(int index, DarkAction action)
{
    VaskLinkProtocol& spectrometers = mSession.spectrometers();
    const std::string& serialNumber = mDevices[static_cast<std::size_t>(index)].serialNumber;
    bool subtracting = false;
    switch (action) {
    case DarkAction::Take:
        // The per-device form keeps the device's exposure settings, so they
        // are set first (and it reports failures, unlike the all-devices form).
        spectrometers.getDevice(index)->setExposureParams(mSettings.exposureUs, mSettings.averaging);
        spectrometers.takeDarkSpectrum(mSettings.exposureUs, mSettings.averaging, index);
        subtracting = true;
        {
            std::lock_guard<std::mutex> lock(mStateMutex);
            mDark[serialNumber] = DarkState{true, true, std::chrono::system_clock::now()};
        }
        break;
    case DarkAction::SubtractionOn:
    case DarkAction::SubtractionOff:
        subtracting = action == DarkAction::SubtractionOn;
        spectrometers.setSubtractDark(subtracting, index);
        {
            std::lock_guard<std::mutex> lock(mStateMutex);
            mDark[serialNumber].subtracting = subtracting;
        }
        break;
    }
    mLive.setDarkSubtracted(serialNumber, subtracting);
}

void DeviceController::dark(const DarkRequest& request)
{
    const auto claim = claimDevices();
    const std::vector<int> indices = indicesOf(request.device);
    if (request.action == DarkAction::SubtractionOn) {
        std::lock_guard<std::mutex> lock(mStateMutex);
        for (int index : indices) {
            const std::string& serialNumber = mDevices[static_cast<std::size_t>(index)].serialNumber;
            if (!mDark[serialNumber].taken) {
                throw RequestError(409, serialNumber + " has no dark spectrum yet: take one first");
            }
        }
    }
    whileStopped([&] {
        for (int index : indices) {
            applyDark(index, request.action);
        }
    });
}

void DeviceController::storeReference(const std::string& device)
{
    // Only the newest spectrum is kept: the devices are not involved.
    for (int index : indicesOf(device)) {
        const std::string& serialNumber = mDevices[static_cast<std::size_t>(index)].serialNumber;
        if (!mLive.storeReference(serialNumber)) {
            throw RequestError(409, serialNumber + " has delivered no spectrum yet");
        }
    }
}

void DeviceController::setTriggerMode(TriggerMode mode)
{
    const auto claim = claimDevices();
    if (mRunning) {
        throw RequestError(409, "pause first: the devices take a trigger mode only while idle");
    }
    mSession.spectrometers().setTriggerMode(mode);
    std::lock_guard<std::mutex> lock(mStateMutex);
    mTriggerMode = mode;
}

} // namespace velmorview
