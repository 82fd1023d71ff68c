#pragma once

#include <velmor/spectrometercallback.h>
#include <velmor/spectrometerdevice.h>
#include <velmor/streamcallback.h>
#include <velmor/velmorexport.h>

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

// Drives every attached spectrometer of the supported model at once: owns the
// connected devices, fans configuration out to them, and runs one measurement
// worker thread per device that hands results to a SpectrometerCallback.
//
// Call connect, disconnect, start and stop from one host thread; never from
// inside a callback (start and stop join the workers).
class VELMOR_EXPORT VaskLinkProtocol {
public:
    static const uint16_t TARGET_VID;
    static const uint16_t TARGET_PID;

    VaskLinkProtocol();
    ~VaskLinkProtocol();

    VaskLinkProtocol(const VaskLinkProtocol&) = delete;
    VaskLinkProtocol& operator=(const VaskLinkProtocol&) = delete;

    // Device pool. A device index is a position in the pool (0-based).
    void connectDevice();
    void disconnectDevice();
    size_t getConnectedDeviceCount() const;
    std::unique_ptr<SpectrometerDevice>& getDevice(int deviceIndex);

    // Configuration. deviceIndex -1 means every connected device.
    void setTriggerMode(TriggerMode mode);
    TriggerConfig getTriggerMode(int deviceIndex);
    void takeDarkSpectrum(int exposureTime, int averaging, int deviceIndex);
    void setSubtractDark(bool enable, int deviceIndex);

    // Continuous measurement: measureCount software-triggered spectra per
    // device (at least one), each delivered once through onDataReceived.
    void startMeasurement(SpectrometerCallback* callback, int exposureTime, int averaging, int delayUs,
                          int measureCount);

    // Batch measurement: `collections` spectra per device started with one
    // command, delivered in one onDataReceivedBanch call per device.
    void startBatchMeasurement(SpectrometerCallback* callback, int exposureTime, int collections, int averaging,
                               int delayUs);

    /// Stream measurement: every spectrum each device makes, at the device's
    /// own pace, delivered once and in order through `callback` (see
    /// StreamCallback and StreamSpectrum), until `settings.count` spectra per
    /// device or stopMeasurement. The trigger mode in force (setTriggerMode)
    /// decides between free running and one spectrum per hardware trigger.
    /// Returns once the workers are started. Throws std::invalid_argument for
    /// a null callback and std::runtime_error("No devices connected") for an
    /// empty pool; device failures reach the host through onError. Call from
    /// the host thread that starts and stops measurements, never from inside
    /// a callback; `callback` must live until stopMeasurement returns.
    void startStreamMeasurement(StreamCallback* callback, const StreamSettings& settings);

    // Stops every device and joins every worker.
    void stopMeasurement();

private:
    struct AcceptedSpectrum;

    void setExposureParams(int exposureTime, int averaging, int deviceIndex);
    void forEachDeviceOrOne(int deviceIndex, const char* failureText, const std::function<void(size_t)>& operation);
    void checkStatusAndNotify(SpectrometerCallback* callback, int deviceIndex,
                              std::chrono::steady_clock::time_point startTime,
                              std::chrono::system_clock::time_point startWallTime, int exposureTimeUs, int averaging,
                              int delayUs);
    void stopDeviceMeasurement(int deviceIndex);

    void measurementWorker(size_t deviceIndex, SpectrometerCallback* callback, int exposureTime, int averaging,
                           int delayUs, int measureCount);
    void batchWorker(size_t deviceIndex, SpectrometerCallback* callback, int exposureTime, int averaging,
                     int delayUs, int batchSize);
    void prepareDeviceForRun(size_t deviceIndex);
    void configureSoftwareTrigger(size_t deviceIndex, int exposureTime, int averaging, int delayUs);
    bool waitForIdle(size_t deviceIndex, bool honourStop);
    void stopAfterTimeout(size_t deviceIndex);
    void collectBatch(size_t deviceIndex, int64_t limitMs, int batchSize,
                      std::vector<std::vector<float>>& spectraVec);
    bool readNewestSpectrum(int deviceIndex, bool hasLastDeliveredKey, uint64_t lastDeliveredKey,
                            AcceptedSpectrum& accepted);
    std::vector<size_t> batchStartOrder();
    void drainAllSpectra(size_t deviceIndex, int maxAttempts);
    static bool isNoMoreSpectrumError(const std::exception& e);
    static std::string formatTime01ms(uint32_t time01ms);

    std::unique_lock<std::mutex> lockDevice(size_t deviceIndex);
    SpectrometerDevice& device(size_t deviceIndex);
    bool stopRequested() const;
    bool claimDevice(size_t deviceIndex, const char* startingLine = nullptr);

    std::vector<std::tuple<uint8_t, uint8_t>> mFoundDevices;
    std::mutex deviceMutex;
    std::vector<std::unique_ptr<SpectrometerDevice>> mDevicePool;
    std::atomic<bool> isStop;
    std::deque<std::unique_ptr<std::atomic<bool>>> deviceMeasurementStatus;
    std::vector<std::unique_ptr<std::mutex>> mDeviceMutexes;
    std::vector<std::thread> measurementThreads;

    friend class VaskLinkProtocolTestPeer;
};
