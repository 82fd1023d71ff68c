#include "streammeasurement.h"

#include <velmor/communicationerror.h>
#include <velmor/vasklinkprotocol.h>
#include <velmor/velmorhost.h>

#include "logsink.h"
#include "nodeviceserror.h"
#include "streamdelivery.h"

#include <algorithm>
#include <cctype>
#include <climits>
#include <limits>
#include <stdexcept>
#include <thread>

using velmor_detail::LogSink;

namespace {

constexpr int64_t TICKS_PER_DAY = int64_t{24} * 3600 * 10000;
constexpr auto MIN_POLL_PERIOD = std::chrono::milliseconds(2);
constexpr auto MAX_POLL_PERIOD = std::chrono::milliseconds(50);
// The longest a status reply may claim to be waiting: its count is 16 bits.
constexpr uint32_t MAX_WAITING = 0xFFFF;
// Below a millisecond per spectrum the clock's 0.1 ms steps are too coarse
// to tell a lost spectrum from jitter.
constexpr int64_t MIN_CYCLE_TICKS_FOR_GAPS = 10;

int64_t cycleMicroseconds(const StreamSettings& settings)
{
    return int64_t{std::max(settings.exposureTimeUs, 0)} * std::max(settings.averaging, 1) +
           std::max(settings.delayUs, 0);
}

// The device's answer that nothing is waiting: a refusal of class 0x0b.
bool isNoSpectrumWaiting(const std::exception& e)
{
    const auto* failure = dynamic_cast<const CommunicationError*>(&e);
    return failure != nullptr && failure->kind() == CommunicationError::Kind::DeviceError &&
           (failure->returnCode() >> 8) == 0x0B;
}

int64_t stampTicks(const SpectrumHeader& header)
{
    return int64_t{header.Date} * TICKS_PER_DAY + header.Time;
}

} // namespace

StreamMeasurement::StreamMeasurement(SpectrometerDevice& device, std::mutex& deviceMutex,
                                     const std::atomic<bool>& stopFlag, int deviceIndex,
                                     const StreamSettings& settings, StreamCallback& callback)
    : mDevice(device),
      mDeviceMutex(deviceMutex),
      mStopFlag(stopFlag),
      mDeviceIndex(deviceIndex),
      mSettings(settings),
      mCallback(callback),
      mSerialNumber(device.m_serialNumber),
      mCycleTicks(cycleMicroseconds(settings) / 100),
      mPollPeriod(pollPeriod(settings))
{
}

std::chrono::milliseconds StreamMeasurement::pollPeriod(const StreamSettings& settings)
{
    const auto cycle = std::chrono::milliseconds(cycleMicroseconds(settings) / 1000);
    return std::clamp(cycle, std::chrono::milliseconds(MIN_POLL_PERIOD), std::chrono::milliseconds(MAX_POLL_PERIOD));
}

void StreamMeasurement::run(const std::function<void()>& prepareDevice)
{
    StreamDelivery delivery(mCallback, mSerialNumber, mSettings.queueCapacity);
    try {
        stream(delivery, prepareDevice);
        if (mStopFlag.load(std::memory_order_acquire)) {
            finishAfterStop(delivery);
        }
    } catch (const std::exception& e) {
        LogSink::err() << "Exception in stream measurement thread: " << e.what() << std::endl;
        delivery.fail(e.what(), std::current_exception());
    }
    delivery.addTrailingLoss(mPendingMissing);
}

void StreamMeasurement::stream(StreamDelivery& delivery, const std::function<void()>& prepareDevice)
{
    prepareDevice();
    discardLeftovers();
    configure();
    while (!mStopFlag.load(std::memory_order_acquire) && !countReached()) {
        const auto pollStart = std::chrono::steady_clock::now();
        if (!mArmed && !arm()) {
            break;
        }
        pollOnce(delivery);
        checkProgress();
        if (mArmed) {
            std::this_thread::sleep_until(pollStart + mPollPeriod);
        }
    }
}

// Spectra of an earlier run are not this run's to deliver.
void StreamMeasurement::discardLeftovers()
{
    for (uint32_t read = 0; read < MAX_WAITING && !mStopFlag.load(std::memory_order_acquire); ++read) {
        try {
            std::lock_guard<std::mutex> lock(mDeviceMutex);
            mDevice.discardSpectrum();
        } catch (const std::exception& e) {
            if (!isNoSpectrumWaiting(e)) {
                throw;
            }
            return;
        }
    }
}

void StreamMeasurement::configure()
{
    std::lock_guard<std::mutex> lock(mDeviceMutex);
    mWavelengths = std::make_shared<const std::vector<float>>(mDevice.getWavelength());
    mExternalTrigger = mDevice.getTriggerMode().mode == 2;
    mDevice.setDelayParams(mSettings.delayUs);
    mDevice.setExposureParams(mSettings.exposureTimeUs, mSettings.averaging);
    LogSink::out() << LogSink::decimal << "[VLP] stream start devIndex=" << mDeviceIndex << " serial=" << mSerialNumber
                   << " exposureTimeUs=" << mSettings.exposureTimeUs << " averaging=" << mSettings.averaging
                   << " delayUs=" << mSettings.delayUs << " count=" << mSettings.count
                   << " trigger=" << (mExternalTrigger ? "external" : "software")
                   << " pollMs=" << mPollPeriod.count() << std::endl;
    mLastProgress = std::chrono::steady_clock::now();
}

bool StreamMeasurement::countReached() const
{
    return mSettings.count != 0 && mNextSequence + mPendingMissing >= mSettings.count;
}

// The device refuses a start while it acquires, so an arm follows the end of
// the previous one; the device makes no spectrum in between.
bool StreamMeasurement::arm()
{
    uint64_t chunk = mSettings.spectraPerArm != 0 ? mSettings.spectraPerArm : uint64_t{INT_MAX};
    if (mSettings.count != 0) {
        chunk = std::min(chunk, mSettings.count - (mNextSequence + mPendingMissing));
    }
    chunk = std::min<uint64_t>(chunk, INT_MAX);
    {
        // Tested under the mutex: a stop that raised the flag has not sent
        // this device its stop command yet, so nothing armed here outlives it.
        std::lock_guard<std::mutex> lock(mDeviceMutex);
        if (mStopFlag.load(std::memory_order_acquire)) {
            return false;
        }
        mDevice.startMeasure(static_cast<int>(chunk));
    }
    if (mArms != 0) {
        LogSink::out() << "[VLP] stream rearm devIndex=" << mDeviceIndex << " count=" << chunk << std::endl;
    }
    mNextAfterRearm = mArms != 0;
    ++mArms;
    mArmed = true;
    mArmCount = chunk;
    mAccountedInArm = 0;
    mLastStampTicks.reset();
    return true;
}

void StreamMeasurement::pollOnce(StreamDelivery& delivery)
{
    StatusInfo info;
    {
        std::lock_guard<std::mutex> lock(mDeviceMutex);
        info = mDevice.getStatusInfo();
    }
    if (info.availableSpectra != 0) {
        readWaiting(delivery, info.availableSpectra);
    } else if (info.status == SpectrStatus::Idle) {
        // The arm is done. The status may lag behind the buffer: read until
        // the device itself says that nothing is left.
        readWaiting(delivery, MAX_WAITING);
        finishArm();
    }
}

void StreamMeasurement::finishArm()
{
    // A stop command, not the count, may have ended the arm: the flag is
    // raised before the command is sent.
    // An arm that brought nothing at all was not overflowed (the memory
    // keeps the newest spectra) but never ran; the progress check reports it.
    if (!mStopFlag.load(std::memory_order_acquire) && mAccountedInArm != 0 && mAccountedInArm < mArmCount) {
        mPendingMissing += mArmCount - mAccountedInArm;
    }
    mArmed = false;
}

// The device goes on acquiring until it gets its stop command, so the
// spectra it made meanwhile are still this run's: once it has stopped,
// everything it holds is read and delivered, so that every spectrum it made
// is delivered or counted as lost. Nothing new comes while they are read, so
// this ends after at most one device memory's worth of reads.
void StreamMeasurement::finishAfterStop(StreamDelivery& delivery)
{
    {
        std::lock_guard<std::mutex> lock(mDeviceMutex);
        mDevice.stopMeasure();
    }
    for (uint32_t read = 0; read < MAX_WAITING && !countReached(); ++read) {
        if (!readOne(delivery)) {
            return;
        }
    }
}

void StreamMeasurement::readWaiting(StreamDelivery& delivery, uint32_t limit)
{
    for (uint32_t read = 0; read < limit && !countReached() && !mStopFlag.load(std::memory_order_acquire); ++read) {
        if (!readOne(delivery)) {
            return;
        }
    }
}

// False when the device has no spectrum waiting.
bool StreamMeasurement::readOne(StreamDelivery& delivery)
{
    SpectrumHeader header{};
    std::vector<float> pixels;
    try {
        std::lock_guard<std::mutex> lock(mDeviceMutex);
        pixels = mDevice.getSpectrum(header);
    } catch (const std::exception& e) {
        if (isNoSpectrumWaiting(e)) {
            return false;
        }
        if (dynamic_cast<const CommunicationError*>(&e) != nullptr) {
            throw;
        }
        // The device handed the spectrum out: it is gone, and counted.
        LogSink::err() << "[VLP] stream spectrum unreadable devIndex=" << mDeviceIndex << " what=" << e.what()
                       << std::endl;
        ++mPendingMissing;
        ++mAccountedInArm;
        mLastProgress = std::chrono::steady_clock::now();
        return true;
    }
    const uint64_t missing = missingBeforeStamp(header);
    mPendingMissing += missing;
    mAccountedInArm += missing + 1;
    mLastProgress = std::chrono::steady_clock::now();
    delivery.push(describe(header, std::move(pixels)));
    mNextSequence += mPendingMissing + 1;
    mPendingMissing = 0;
    mNextAfterRearm = false;
    return true;
}

// Free running, the device stamps its spectra one cycle apart: a longer step
// within one arm is spectra pushed out of its full memory.
uint64_t StreamMeasurement::missingBeforeStamp(const SpectrumHeader& header)
{
    const int64_t ticks = stampTicks(header);
    const std::optional<int64_t> previous = mLastStampTicks;
    mLastStampTicks = ticks;
    if (mExternalTrigger || mCycleTicks < MIN_CYCLE_TICKS_FOR_GAPS || !previous || ticks <= *previous) {
        return 0;
    }
    const int64_t step = ticks - *previous;
    if (2 * step < 3 * mCycleTicks) {
        return 0;
    }
    const auto missing = static_cast<uint64_t>((step + mCycleTicks / 2) / mCycleTicks - 1);
    // This spectrum itself is one of the arm's, so the step cannot have
    // lost more than the arm has left.
    const uint64_t left = mArmCount > mAccountedInArm ? mArmCount - mAccountedInArm - 1 : 0;
    return std::min(missing, left);
}

StreamSpectrum StreamMeasurement::describe(const SpectrumHeader& header, std::vector<float> pixels) const
{
    StreamSpectrum spectrum;
    spectrum.serialNumber = mSerialNumber;
    spectrum.deviceIndex = mDeviceIndex;
    spectrum.sequence = mNextSequence + mPendingMissing;
    spectrum.missingBefore = mPendingMissing;
    spectrum.time01ms = header.Time;
    spectrum.dateDays = header.Date;
    spectrum.deviceTime = velmor::deviceTimeToUtc(mDevice, header.Date, header.Time);
    spectrum.receivedAt = std::chrono::system_clock::now();
    spectrum.exposureTimeUs = header.ExposureTime;
    spectrum.averaging = header.Averaging;
    spectrum.sensorTemperatureC = header.SensorTemperature;
    spectrum.intensityUnit = static_cast<uint8_t>(header.AppliedProcessing & 0x0Fu);
    spectrum.darkSubtracted = (header.AppliedProcessing & 0xF0u) != 0;
    spectrum.processingErrors = static_cast<uint8_t>((header.AppliedProcessing >> 12) & 0x0Fu);
    spectrum.afterRearm = mNextAfterRearm;
    spectrum.spectrum = std::move(pixels);
    spectrum.wavelengths = mWavelengths;
    return spectrum;
}

// Free running, a device that makes nothing within a continuous
// measurement's limit for one spectrum has stopped working; under a hardware
// trigger waiting is normal.
void StreamMeasurement::checkProgress() const
{
    if (mExternalTrigger) {
        return;
    }
    const auto limit = velmor::measurementTimeLimit(velmor::MeasurementKind::Continuous, mSettings.exposureTimeUs,
                                                    mSettings.averaging, mSettings.delayUs, 1);
    if (std::chrono::steady_clock::now() - mLastProgress > limit) {
        throw CommunicationError(CommunicationError::Kind::Timeout, "Timeout waiting for spectrum.", 0, 0, 0);
    }
}

// ---------------------------------------------------------------------------
// The manager's entry point

void VaskLinkProtocol::startStreamMeasurement(StreamCallback* callback, const StreamSettings& settings)
{
    if (callback == nullptr) {
        throw std::invalid_argument("Stream measurement needs a callback");
    }
    if (settings.exposureTimeUs < 0 || settings.averaging < 1 || settings.delayUs < 0) {
        throw std::invalid_argument("Stream measurement needs an exposure time and a delay of at least 0 and an "
                                    "averaging of at least 1");
    }
    stopMeasurement();
    const size_t count = getConnectedDeviceCount();
    if (count == 0) {
        throw NoDevicesError();
    }
    isStop.store(false, std::memory_order_release);
    for (size_t i = 0; i < count; ++i) {
        if (!claimDevice(i)) {
            continue;
        }
        measurementThreads.emplace_back([this, i, callback, settings] {
            StreamMeasurement measurement(device(i), *mDeviceMutexes[i], isStop, static_cast<int>(i), settings,
                                          *callback);
            measurement.run([this, i] { prepareDeviceForRun(i); });
            deviceMeasurementStatus[i]->store(false);
        });
    }
}
