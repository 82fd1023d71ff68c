#pragma once

#include <velmor/spectrometerdevice.h>
#include <velmor/streamcallback.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

class StreamDelivery;

// One device's part of a stream measurement, run on that device's worker
// thread: arms the device for a long counted acquisition, re-arms it when an
// arm's spectra are done, polls at the pace of its exposures, reads every
// spectrum once and hands it to a StreamDelivery, which calls the host.
//
// Losses are counted where they can be seen: a spectrum record that fails its
// checks; a jump in the device's time stamps of more than 1.5 acquisition
// cycles within one arm (free running only: under a hardware trigger the
// spacing is the trigger's); and, when an arm's spectra are done, any
// shortfall against the count the device was armed for (its memory
// overflowed), placed before the next spectrum.
class StreamMeasurement {
public:
    // The device, its mutex (held for each exchange) and the manager's stop
    // flag outlive the call of run().
    StreamMeasurement(SpectrometerDevice& device, std::mutex& deviceMutex, const std::atomic<bool>& stopFlag,
                      int deviceIndex, const StreamSettings& settings, StreamCallback& callback);

    // Brings the device to a clean idle state with `prepareDevice`, then
    // streams until the count is reached, a stop is requested or the device
    // fails; failures reach the host through onError. Never throws.
    void run(const std::function<void()>& prepareDevice);

    // Milliseconds between status polls for these settings: one acquisition
    // cycle (exposure x averaging + delay), kept within 2 to 50 ms.
    static std::chrono::milliseconds pollPeriod(const StreamSettings& settings);

private:
    void stream(StreamDelivery& delivery, const std::function<void()>& prepareDevice);
    void discardLeftovers();
    void configure();
    bool countReached() const;
    bool arm();
    void pollOnce(StreamDelivery& delivery);
    void finishArm();
    void finishAfterStop(StreamDelivery& delivery);
    void readWaiting(StreamDelivery& delivery, uint32_t limit);
    bool readOne(StreamDelivery& delivery);
    uint64_t missingBeforeStamp(const SpectrumHeader& header);
    StreamSpectrum describe(const SpectrumHeader& header, std::vector<float> pixels) const;
    void checkProgress() const;

    SpectrometerDevice& mDevice;
    std::mutex& mDeviceMutex;
    const std::atomic<bool>& mStopFlag;
    const int mDeviceIndex;
    const StreamSettings mSettings;
    StreamCallback& mCallback;
    const std::string mSerialNumber;
    const int64_t mCycleTicks;  // one acquisition cycle in the device clock's 0.1 ms units
    const std::chrono::milliseconds mPollPeriod;

    std::shared_ptr<const std::vector<float>> mWavelengths;
    bool mExternalTrigger = false;
    uint64_t mNextSequence = 0;    // the number of the next spectrum delivered
    uint64_t mPendingMissing = 0;  // lost since the last spectrum delivered
    bool mArmed = false;
    uint64_t mArmCount = 0;
    uint64_t mAccountedInArm = 0;  // read or counted lost since the last arm
    uint64_t mArms = 0;
    bool mNextAfterRearm = false;
    std::optional<int64_t> mLastStampTicks;  // of the last spectrum of this arm
    std::chrono::steady_clock::time_point mLastProgress;
};
