#include "devicecontroller.h"

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
    mLive.publish(spectrum.serialNumber, spectrum.spectrum);
}

void DeviceController::LiveCallback::onError(const std::string& serialNumber, const std::string& message)
{
    mLive.reportError(serialNumber, message);
}

DeviceController::DeviceController(velmorcli::SpectrometerSession& session, LiveSpectra& live,
                                   const AcquisitionSettings& settings)
    : mSession(session), mLive(live), mCallback(live), mSettings(settings)
{
}

DeviceController::~DeviceController()
{
    std::lock_guard<std::mutex> lock(mMutex);
    mSession.spectrometers().stopMeasurement();
}

json DeviceController::state()
{
    std::lock_guard<std::mutex> lock(mMutex);
    json devices = json::array();
    for (int index = 0; index < mSession.deviceCount(); ++index) {
        const SpectrometerParameters parameters = mSession.parameters(index);
        const auto connection = mSession.connectionDetails(index);
        const DarkState& dark = mDark[parameters.serialNumber];
        devices.push_back({{"serial", parameters.serialNumber},
                           {"index", index},
                           {"pixels", parameters.pixelCount},
                           {"firmware", connection && !connection->firmware.empty() ? connection->firmware : "?"},
                           {"darkTakenAt", timeOrNull(dark.taken, dark.takenAt)},
                           {"darkSubtraction", dark.subtracting}});
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
    std::lock_guard<std::mutex> lock(mMutex);
    json tables = json::object();
    for (int index = 0; index < mSession.deviceCount(); ++index) {
        const SpectrometerParameters parameters = mSession.parameters(index);
        tables[parameters.serialNumber] = parameters.wavelengths;
    }
    return tables;
}

// Until paused or stopped, in the trigger mode last set.
void DeviceController::startMeasuring()
{
    mRunningSince = std::chrono::system_clock::now();
    StreamSettings settings;
    settings.exposureTimeUs = mSettings.exposureUs;
    settings.averaging = mSettings.averaging;
    mSession.spectrometers().startStreamMeasurement(&mCallback, settings);
}

void DeviceController::setRunning(bool running)
{
    std::lock_guard<std::mutex> lock(mMutex);
    if (running) {
        startMeasuring();
    } else {
        mSession.spectrometers().stopMeasurement();
    }
    mRunning = running;
}

void DeviceController::applySettings(const AcquisitionSettings& settings)
{
    std::lock_guard<std::mutex> lock(mMutex);
    mSettings = settings;
    if (mRunning) {
        startMeasuring(); // settings travel with the start
    }
}

void DeviceController::whileStopped(const std::function<void()>& work)
{
    mSession.spectrometers().stopMeasurement();
    try {
        work();
    } catch (...) {
        if (mRunning) {
            startMeasuring();
        }
        throw;
    }
    if (mRunning) {
        startMeasuring();
    }
}

std::vector<int> DeviceController::indicesOf(const std::string& device)
{
    std::vector<int> indices;
    for (int index = 0; index < mSession.deviceCount(); ++index) {
        if (device == ControlRequests::ALL_DEVICES || mSession.serialNumber(index) == device) {
            indices.push_back(index);
        }
    }
    return indices;
}

void DeviceController::applyDark(int index, DarkAction action)
{
    VaskLinkProtocol& spectrometers = mSession.spectrometers();
    const std::string serialNumber = mSession.serialNumber(index);
    DarkState& dark = mDark[serialNumber];
    switch (action) {
    case DarkAction::Take:
        // The per-device form keeps the device's exposure settings, so they
        // are set first (and it reports failures, unlike the all-devices form).
        spectrometers.getDevice(index)->setExposureParams(mSettings.exposureUs, mSettings.averaging);
        spectrometers.takeDarkSpectrum(mSettings.exposureUs, mSettings.averaging, index);
        dark = DarkState{true, true, std::chrono::system_clock::now()};
        break;
    case DarkAction::SubtractionOn:
    case DarkAction::SubtractionOff:
        dark.subtracting = action == DarkAction::SubtractionOn;
        spectrometers.setSubtractDark(dark.subtracting, index);
        break;
    }
    mLive.setDarkSubtracted(serialNumber, dark.subtracting);
}

void DeviceController::dark(const DarkRequest& request)
{
    std::lock_guard<std::mutex> lock(mMutex);
    const std::vector<int> indices = indicesOf(request.device);
    if (request.action == DarkAction::SubtractionOn) {
        for (int index : indices) {
            if (!mDark[mSession.serialNumber(index)].taken) {
                throw RequestError(409, mSession.serialNumber(index) + " has no dark spectrum yet: take one first");
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
    std::lock_guard<std::mutex> lock(mMutex);
    for (int index : indicesOf(device)) {
        if (!mLive.storeReference(mSession.serialNumber(index))) {
            throw RequestError(409, mSession.serialNumber(index) + " has delivered no spectrum yet");
        }
    }
}

void DeviceController::setTriggerMode(TriggerMode mode)
{
    std::lock_guard<std::mutex> lock(mMutex);
    if (mRunning) {
        throw RequestError(409, "pause first: the devices take a trigger mode only while idle");
    }
    mSession.spectrometers().setTriggerMode(mode);
    mTriggerMode = mode;
}

} // namespace velmorview
