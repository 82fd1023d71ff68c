#pragma once

#include "controlrequests.h"
#include "livespectra.h"
#include "acquisition/spectrometersession.h"
#include "viewbackend.h"

#include <velmor/streamcallback.h>

#include <chrono>
#include <functional>
#include <map>
#include <mutex>
#include <string>

namespace velmorview {

// The spectrometers behind the page. Streams while running, so every device
// measures at its own pace (in the trigger mode set), and hands every
// spectrum to LiveSpectra on the library's delivery threads, where the
// newest wins. One action on the devices at a time: another that arrives
// meanwhile is refused as busy (409) at once rather than queued, so no
// number of clicks can hold the server's threads. Those the devices only
// take while idle (dark, trigger) stop the measurement around them and
// resume it. Reads (state, wavelengths) never wait for the devices: they
// answer from what was learnt at connection and the settings last applied.
//
// A device is known to the page by its serial number as valid UTF-8
// (shownSerialNumbers): a serial that is not is shown with U+FFFD and still
// works.
class DeviceController : public ViewBackend {
public:
    DeviceController(velmorcli::SpectrometerSession& session, LiveSpectra& live, const AcquisitionSettings& settings);

    // The names LiveSpectra and the page know the devices by, in order.
    static std::vector<std::string> shownSerialNumbers(velmorcli::SpectrometerSession& session);
    // Stops the measurement (the session then disconnects the devices).
    ~DeviceController() override;

    DeviceController(const DeviceController&) = delete;
    DeviceController& operator=(const DeviceController&) = delete;

    nlohmann::json state() override;
    nlohmann::json wavelengths() override;
    void setRunning(bool running) override;
    void applySettings(const AcquisitionSettings& settings) override;
    void dark(const DarkRequest& request) override;
    void storeReference(const std::string& device) override;
    void setTriggerMode(TriggerMode mode) override;

private:
    // Publishes what the workers deliver; never blocks them on a page.
    class LiveCallback : public StreamCallback {
    public:
        explicit LiveCallback(LiveSpectra& live);
        void onSpectrum(const StreamSpectrum& spectrum) override;
        void onError(const std::string& serialNumber, const std::string& message) override;

    private:
        LiveSpectra& mLive;
    };

    // What does not change while connected.
    struct DeviceFacts {
        std::string serialNumber; // as shown
        std::size_t pixels = 0;
        std::string firmware;
        std::vector<float> wavelengths;
    };

    struct DarkState {
        bool taken = false;
        bool subtracting = false;
        std::chrono::system_clock::time_point takenAt;
    };

    std::unique_lock<std::mutex> claimDevices();
    void startMeasuring(const AcquisitionSettings& settings);
    void whileStopped(const std::function<void()>& work);
    std::vector<int> indicesOf(const std::string& device) const;
    void applyDark(int index, DarkAction action);

    velmorcli::SpectrometerSession& mSession;
    LiveSpectra& mLive;
    LiveCallback mCallback;
    std::vector<DeviceFacts> mDevices;
    std::mutex mDevicesBusy; // held for every action on the devices: one at a time, as the library wants
    mutable std::mutex mStateMutex; // guards what follows; never held while the devices work
    AcquisitionSettings mSettings;
    bool mRunning = false;
    std::chrono::system_clock::time_point mRunningSince;
    TriggerMode mTriggerMode = TriggerMode::SOFTWARE;
    std::map<std::string, DarkState> mDark;
};

} // namespace velmorview
