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

/// Drives every attached spectrometer of the supported model at once: owns the
/// connected devices, fans configuration out to them, and runs one measurement
/// worker thread per device that hands results to a SpectrometerCallback.
///
/// Call connect, disconnect, start and stop from one host thread; never from
/// inside a callback (start and stop join the workers). Failures are
/// exceptions: std::runtime_error (device, USB or set-up),
/// std::invalid_argument (a setting the library refuses), std::out_of_range
/// (a device index).
class VELMOR_EXPORT VaskLinkProtocol {
public:
    /// USB vendor ID of the supported model (the build's VELMOR_USB_VID).
    static const uint16_t TARGET_VID;
    /// USB product ID of the supported model (the build's VELMOR_USB_PID).
    static const uint16_t TARGET_PID;

    /// Makes an empty manager; no USB traffic until connectDevice. Does not
    /// throw except std::bad_alloc. Any thread.
    VaskLinkProtocol();
    /// Stops any measurement (joining the workers), then disconnects every
    /// device; failures are logged, not thrown. Never from inside a callback.
    ~VaskLinkProtocol();

    VaskLinkProtocol(const VaskLinkProtocol&) = delete;
    VaskLinkProtocol& operator=(const VaskLinkProtocol&) = delete;

    // Device pool. A device index is a position in the pool (0-based).
    /// Finds, opens and initializes every attached spectrometer of the model
    /// and adds it to the pool (a device index is its 0-based position). A
    /// device that fails is left out and its reason logged; no device at all is
    /// not an error (getConnectedDeviceCount() gives 0). Does nothing if the pool
    /// is not empty. Throws std::runtime_error when the USB layer itself fails.
    /// Thread: the host thread that owns the manager; not from inside a
    /// callback.
    void connectDevice();
    /// Stops any measurement, then closes and releases every device; device
    /// indexes and references from getDevice end. Does not throw for device
    /// failures. Thread: the host thread that owns the manager; not from inside
    /// a callback.
    void disconnectDevice();
    /// Number of devices in the pool. Does not throw. Thread: any; the pool
    /// changes only in connectDevice and disconnectDevice, which must not run at
    /// the same time. Callback-safe.
    size_t getConnectedDeviceCount() const;
    /// Direct access to one device of the pool. Throws std::out_of_range for an
    /// index outside 0 .. count - 1. The reference lives until disconnectDevice
    /// or the manager's destruction. Use the device from one thread at a time,
    /// and not while a measurement runs (its worker owns it). Thread: any;
    /// callback-safe for reading identity (getParameters).
    std::unique_ptr<SpectrometerDevice>& getDevice(int deviceIndex);

    // Configuration. deviceIndex -1 means every connected device.
    /// Sets the trigger mode of every device; each must be idle. Throws
    /// std::runtime_error when no device is connected, a device is not idle
    /// ("Cannot configure trigger: device not idle") or refuses, and
    /// std::invalid_argument for an unknown mode. Thread: the host thread, while
    /// no measurement runs; not from inside a callback.
    void setTriggerMode(TriggerMode mode);
    /// The trigger configuration a device reports (its own encoding). Throws
    /// std::out_of_range for a bad index, std::runtime_error when the device does
    /// not answer. Thread: any host thread, under the device's lock; not from
    /// inside a callback.
    TriggerConfig getTriggerMode(int deviceIndex);
    /// Takes a dark spectrum (exposure in microseconds, averaging) in one device,
    /// or with deviceIndex -1 in every device in turn, and switches the device's
    /// dark subtraction on. With -1 a failing device is logged and skipped;
    /// with one index its failure is thrown (std::runtime_error), and a bad
    /// index throws std::out_of_range. Blocks for the exposure. Thread: the host
    /// thread, while no measurement runs; not from inside a callback.
    void takeDarkSpectrum(int exposureTime, int averaging, int deviceIndex);
    /// Switches dark subtraction on or off in one device, or with deviceIndex -1
    /// in every device (failures logged and skipped). Throws std::runtime_error
    /// when no device is connected or the one device fails, std::out_of_range
    /// for a bad index. Thread: the host thread; not from inside a callback.
    void setSubtractDark(bool enable, int deviceIndex);

    /// Continuous measurement: stops any earlier run, then starts one worker per
    /// device that makes measureCount (at least one) software-triggered
    /// measurements (exposure in microseconds, averaging, delay before each in
    /// microseconds) and delivers each spectrum once through
    /// SpectrometerCallback::onDataReceived; failures and time-outs arrive
    /// through SpectrometerCallback::onError. Returns once the workers run.
    /// A measureCount below one counts as one; a null callback measures
    /// without delivering. `callback` must stay valid until stopMeasurement,
    /// disconnectDevice, the next start or the destructor has returned. Throws
    /// std::runtime_error when no device is connected; a device whose set-up
    /// fails reports through onError. Thread: the host thread; never from
    /// inside a callback.
    void startMeasurement(SpectrometerCallback* callback, int exposureTime, int averaging, int delayUs,
                          int measureCount);

    /// Batch measurement: stops any earlier run, then starts `collections`
    /// spectra per device with one command, devices in ascending order of their
    /// first wavelength, and delivers them in one
    /// SpectrometerCallback::onDataReceivedBanch call per device (a batch that
    /// fails after its start delivers what it collected, then reports through
    /// onError). A `collections` below one counts as one. Throws
    /// std::invalid_argument for a null callback; otherwise the same lifetime
    /// rules, failures and thread as startMeasurement.
    void startBatchMeasurement(SpectrometerCallback* callback, int exposureTime, int collections, int averaging,
                               int delayUs);

    /// Stream measurement: every spectrum each device makes, at the device's
    /// own pace, delivered once and in order through `callback` (see
    /// StreamCallback and StreamSpectrum), until `settings.count` spectra per
    /// device or stopMeasurement. The trigger mode in force (setTriggerMode)
    /// decides between free running and one spectrum per hardware trigger.
    /// Returns once the workers are started. Throws std::invalid_argument for
    /// a null callback, a negative exposure time or delay or an averaging
    /// below 1, and std::runtime_error("No devices connected") for an
    /// empty pool; device failures reach the host through onError. Call from
    /// the host thread that starts and stops measurements, never from inside
    /// a callback; `callback` must live until stopMeasurement returns.
    void startStreamMeasurement(StreamCallback* callback, const StreamSettings& settings);

    /// Stops every device and joins every worker; a batch delivers what it has
    /// collected before this returns, and afterwards no callback of the run is
    /// made. With no device connected it logs that and returns. Does not throw
    /// for device failures (they are logged). Thread: the host thread; never
    /// from inside a callback (it would join the caller's own thread).
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
