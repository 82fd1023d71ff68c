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
// newest wins; control requests are serialised, and those the devices only
// take while idle (dark, trigger) stop the measurement around them and
// resume it.
class DeviceController : public ViewBackend {
public:
    DeviceController(velmorcli::SpectrometerSession& session, LiveSpectra& live, const AcquisitionSettings& settings);
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

    struct DarkState {
        bool taken = false;
        bool subtracting = false;
        std::chrono::system_clock::time_point takenAt;
    };

    void startMeasuring();
    void whileStopped(const std::function<void()>& work);
    std::vector<int> indicesOf(const std::string& device);
    void applyDark(int index, DarkAction action);

    velmorcli::SpectrometerSession& mSession;
    LiveSpectra& mLive;
    LiveCallback mCallback;
    std::mutex mMutex; // one control request at a time, as the library wants one host thread
    AcquisitionSettings mSettings;
    bool mRunning = false;
    std::chrono::system_clock::time_point mRunningSince;
    TriggerMode mTriggerMode = TriggerMode::SOFTWARE;
    std::map<std::string, DarkState> mDark;
};

} // namespace velmorview
