#include <velmor/vasklinkprotocol.h>

#include <velmor/communicationerror.h>
#include <velmor/libusbinterface.h>

#include "connectionreport.h"
#include "localclock.h"
#include "logsink.h"
#include "nodeviceserror.h"
#include "reportedfailure.h"
#include "timelimits.h"

#include <algorithm>
#include <iomanip>
#include <iostream>
#include <sstream>
#include <stdexcept>
#include <unordered_map>

const uint16_t VaskLinkProtocol::TARGET_VID = VELMOR_USB_VID;
const uint16_t VaskLinkProtocol::TARGET_PID = VELMOR_USB_PID;

using velmor_detail::LogSink;

namespace {

constexpr auto IDLE_WAIT_LIMIT = std::chrono::seconds(2);
constexpr auto IDLE_POLL_INTERVAL = std::chrono::milliseconds(10);
constexpr auto STATUS_POLL_INTERVAL = std::chrono::milliseconds(50);
constexpr auto POLL_LOG_INTERVAL = std::chrono::milliseconds(200);
constexpr auto BATCH_COLLECTION_INTERVAL = std::chrono::milliseconds(500);
constexpr int DRAIN_ATTEMPTS = 50;
constexpr int READS_PER_PASS = 10;
constexpr const char* UNKNOWN_EXCEPTION = "未知异常";
// The device's return code class for a spectrum request that found none.
constexpr uint32_t NO_SPECTRUM_WAITING_CLASS = 0x0b;

// Key of the spectrum delivered last, per manager and device, so that a
// spectrum still waiting in a device is never delivered twice, also across
// runs of the same manager.
struct LastSpectrumKeyState {
    std::vector<uint64_t> keyByDevice;
    std::vector<bool> hasKeyByDevice;
};

std::mutex gLastSpectrumKeyMutex;
std::unordered_map<const VaskLinkProtocol*, LastSpectrumKeyState> gLastSpectrumKeyByInstance;

// Caller holds gLastSpectrumKeyMutex.
LastSpectrumKeyState& ensureLastKeyState(const VaskLinkProtocol* instance, size_t deviceCount)
{
    LastSpectrumKeyState& state = gLastSpectrumKeyByInstance[instance];
    if (state.keyByDevice.size() < deviceCount) {
        state.keyByDevice.resize(deviceCount, 0);
        state.hasKeyByDevice.resize(deviceCount, false);
    }
    return state;
}

struct LastDeliveredKey {
    bool valid = false;
    uint64_t key = 0;
};

LastDeliveredKey snapshotLastKey(const VaskLinkProtocol* instance, int deviceIndex)
{
    std::lock_guard<std::mutex> lock(gLastSpectrumKeyMutex);
    const auto entry = gLastSpectrumKeyByInstance.find(instance);
    if (entry == gLastSpectrumKeyByInstance.end() || deviceIndex < 0 ||
        static_cast<size_t>(deviceIndex) >= entry->second.hasKeyByDevice.size()) {
        return {};
    }
    const auto index = static_cast<size_t>(deviceIndex);
    return {entry->second.hasKeyByDevice[index], entry->second.keyByDevice[index]};
}

void recordLastKey(const VaskLinkProtocol* instance, size_t deviceCount, size_t deviceIndex, uint64_t key)
{
    std::lock_guard<std::mutex> lock(gLastSpectrumKeyMutex);
    LastSpectrumKeyState& state = ensureLastKeyState(instance, deviceCount);
    state.keyByDevice[deviceIndex] = key;
    state.hasKeyByDevice[deviceIndex] = true;
}

void registerInstance(const VaskLinkProtocol* instance, size_t deviceCount)
{
    std::lock_guard<std::mutex> lock(gLastSpectrumKeyMutex);
    ensureLastKeyState(instance, deviceCount);
}

void forgetInstance(const VaskLinkProtocol* instance)
{
    std::lock_guard<std::mutex> lock(gLastSpectrumKeyMutex);
    gLastSpectrumKeyByInstance.erase(instance);
}

uint64_t spectrumKey(uint32_t dateDays, uint32_t time01ms)
{
    return (static_cast<uint64_t>(dateDays) << 32) | time01ms;
}

int64_t elapsedMillisecondsSince(std::chrono::steady_clock::time_point start, std::chrono::steady_clock::time_point now)
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(now - start).count();
}

// Throws std::invalid_argument or std::out_of_range for a serial number
// that does not begin with an int.
void requireNumericSerial(const std::string& serialNumber)
{
    static_cast<void>(std::stoi(serialNumber, nullptr, 10));
}

// The host's own onError threw: the worker ends, and does not report its
// own callback's failure back to it.
class OnErrorFailure : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Tells a host that waits for spectra that they will not come; `failure`
// is what it may ask velmor::currentWorkerError for. Whatever its onError
// throws is written, never let out of the worker's thread.
void reportWorkerFailure(SpectrometerCallback* callback, const std::string& serialNumber, const std::string& message,
                         std::exception_ptr failure)
{
    if (callback == nullptr) {
        return;
    }
    try {
        const velmor_detail::ReportedFailure shown(std::move(failure));
        callback->onError(serialNumber, message);
    } catch (const std::exception& e) {
        LogSink::err() << "Exception in onError: " << e.what() << std::endl;
    } catch (...) {
        LogSink::err() << "Exception in onError: " << UNKNOWN_EXCEPTION << std::endl;
    }
}

// The worker is already failing: a host callback that throws as well is
// written and the failure is still reported.
void deliverCollectedAfterFailure(const std::function<void()>& deliver)
{
    try {
        deliver();
    } catch (const std::exception& e) {
        LogSink::err() << "Exception in batch measurement thread: " << e.what() << std::endl;
    } catch (...) {
        LogSink::err() << "Exception in batch measurement thread: " << UNKNOWN_EXCEPTION << std::endl;
    }
}

// Hands a batch to the host, cut to the size asked for.
void deliverBatch(SpectrometerCallback* callback, const std::string& serialNumber,
                  const std::vector<float>& wavelength, int batchSize, std::vector<std::vector<float>>& spectraVec)
{
    if (spectraVec.size() > static_cast<size_t>(batchSize)) {
        spectraVec.resize(static_cast<size_t>(batchSize));
        LogSink::out() << "[VLP] Truncated spectra to " << batchSize << " measurements" << std::endl;
    }
    callback->onDataReceivedBanch(serialNumber, wavelength, spectraVec);
}

} // namespace

// One spectrum accepted by a read pass, with the header values it was read with.
struct VaskLinkProtocol::AcceptedSpectrum {
    uint32_t specTime01ms = 0;
    uint32_t specDateDays = 0;
    uint32_t specExposureTimeUs = 0;
    uint32_t specAveraging = 0;
    std::vector<float> spectrum;
    std::string serialNumber;
    uint64_t acceptedKey = 0;
};

// ---------------------------------------------------------------------------
// Device pool

VaskLinkProtocol::VaskLinkProtocol() : isStop(true) {}

VaskLinkProtocol::~VaskLinkProtocol()
{
    try {
        stopMeasurement();
    } catch (const std::exception& e) {
        LogSink::err() << "Exception in ~VaskLinkProtocol during stopMeasurement(): " << e.what() << std::endl;
    }
    disconnectDevice();
    velmor_detail::ConnectionReport::forget(this);
}

void VaskLinkProtocol::connectDevice()
{
    if (!mDevicePool.empty()) {
        return;
    }
    std::vector<velmor::SkippedDevice> skipped;
    try {
        LogSink::out() << "开始查找设备..." << std::endl;
        mFoundDevices = LibusbInterface::findDevices(TARGET_VID, TARGET_PID);
        LogSink::out() << "找到设备数量: " << mFoundDevices.size() << std::endl;

        for (size_t i = 0; i < mFoundDevices.size(); ++i) {
            const uint8_t busNumber = std::get<0>(mFoundDevices[i]);
            const uint8_t deviceAddress = std::get<1>(mFoundDevices[i]);
            LogSink::out() << "正在初始化设备 " << i << ": bus=" << static_cast<int>(busNumber)
                           << ", address=" << static_cast<int>(deviceAddress) << std::endl;
            try {
                auto usbInterface = std::make_unique<LibusbInterface>(TARGET_VID, TARGET_PID, busNumber, deviceAddress);
                LogSink::out() << "创建USB接口成功，正在打开设备..." << std::endl;
                usbInterface->open();
                LogSink::out() << "设备打开成功，正在创建光谱仪对象..." << std::endl;
                auto spectrometerDevice = std::make_unique<SpectrometerDevice>(std::move(usbInterface));
                LogSink::out() << "光谱仪对象创建成功" << std::endl;
                mDevicePool.push_back(std::move(spectrometerDevice));
                deviceMeasurementStatus.push_back(std::make_unique<std::atomic<bool>>(false));
                mDeviceMutexes.push_back(std::make_unique<std::mutex>());
                LogSink::out() << "设备 " << i << " 初始化完成" << std::endl;
            } catch (const std::exception& e) {
                LogSink::err() << "设备 " << i << " 初始化失败: " << e.what() << std::endl;
                skipped.push_back(velmor_detail::ConnectionReport::describe({busNumber, deviceAddress}, e));
            } catch (...) {
                LogSink::err() << "设备 " << i << " 初始化失败: " << UNKNOWN_EXCEPTION << std::endl;
                skipped.push_back({{busNumber, deviceAddress}, velmor::SkipReason::Failed, UNKNOWN_EXCEPTION});
            }
        }
    } catch (const std::exception& e) {
        LogSink::err() << "connectDevice 失败: " << e.what() << std::endl;
        throw;
    } catch (...) {
        LogSink::err() << "connectDevice 失败: " << UNKNOWN_EXCEPTION << std::endl;
        throw;
    }
    velmor_detail::ConnectionReport::record(this, std::move(skipped));
    registerInstance(this, mDevicePool.size());
}

void VaskLinkProtocol::disconnectDevice()
{
    // Workers index the pool: they must be joined before it shrinks.
    if (!measurementThreads.empty()) {
        stopMeasurement();
    }
    for (auto& spectrometer : mDevicePool) {
        if (spectrometer) {
            spectrometer->disconnect();
        }
    }
    mDevicePool.clear();
    mDeviceMutexes.clear();
    deviceMeasurementStatus.clear();
    forgetInstance(this);
}

size_t VaskLinkProtocol::getConnectedDeviceCount() const
{
    return mDevicePool.size();
}

std::unique_ptr<SpectrometerDevice>& VaskLinkProtocol::getDevice(int deviceIndex)
{
    std::lock_guard<std::mutex> lock(deviceMutex);
    if (deviceIndex < 0 || static_cast<size_t>(deviceIndex) >= mDevicePool.size()) {
        throw std::out_of_range("Device index out of range");
    }
    return mDevicePool[static_cast<size_t>(deviceIndex)];
}

std::unique_lock<std::mutex> VaskLinkProtocol::lockDevice(size_t deviceIndex)
{
    return std::unique_lock<std::mutex>(*mDeviceMutexes[deviceIndex]);
}

SpectrometerDevice& VaskLinkProtocol::device(size_t deviceIndex)
{
    return *mDevicePool[deviceIndex];
}

// Marks a device as owned by a new worker; false, with the line that says
// so, when a worker still owns it. `startingLine`, when given, is written to
// standard error with the serial number before the device is marked.
bool VaskLinkProtocol::claimDevice(size_t deviceIndex, const char* startingLine)
{
    if (deviceMeasurementStatus[deviceIndex]->load()) {
        LogSink::err() << "Device " << device(deviceIndex).m_serialNumber << " is already measuring." << std::endl;
        return false;
    }
    if (startingLine != nullptr) {
        LogSink::err() << startingLine << device(deviceIndex).m_serialNumber << std::endl;
    }
    deviceMeasurementStatus[deviceIndex]->store(true);
    return true;
}

bool VaskLinkProtocol::stopRequested() const
{
    return isStop.load(std::memory_order_acquire);
}

// ---------------------------------------------------------------------------
// Configuration fan-out

void VaskLinkProtocol::setTriggerMode(TriggerMode mode)
{
    if (getConnectedDeviceCount() == 0) {
        throw NoDevicesError();
    }
    for (size_t i = 0; i < mDevicePool.size(); ++i) {
        auto lock = lockDevice(i);
        if (device(i).getStatusInfo().status != SpectrStatus::Idle) {
            throw std::runtime_error("Cannot configure trigger: device not idle");
        }
        device(i).setTriggerMode(mode);
    }
}

TriggerConfig VaskLinkProtocol::getTriggerMode(int deviceIndex)
{
    SpectrometerDevice& target = *getDevice(deviceIndex);
    auto lock = lockDevice(static_cast<size_t>(deviceIndex));
    return target.getTriggerMode();
}

void VaskLinkProtocol::takeDarkSpectrum(int exposureTime, int averaging, int deviceIndex)
{
    LogSink::out() << "invoke VaskLinkProtocol takeDarkSpectrum" << std::endl;
    LogSink::out() << "addr exp=" << static_cast<const void*>(&exposureTime) << " avg=" << static_cast<const void*>(&averaging)
                   << " dev=" << static_cast<const void*>(&deviceIndex) << std::endl;
    forEachDeviceOrOne(deviceIndex, " 获取暗背景失败: ", [&](size_t i) {
        if (deviceIndex == -1) {
            LogSink::out() << LogSink::decimal << "获取暗背景光谱：积分时间=" << exposureTime << "，平均次数=" << averaging
                           << "，设备索引=" << deviceIndex << std::endl;
            setExposureParams(exposureTime, averaging, static_cast<int>(i));
        }
        device(i).takeDarkSpectrum();
    });
}

void VaskLinkProtocol::setSubtractDark(bool enable, int deviceIndex)
{
    forEachDeviceOrOne(deviceIndex, " 设置暗背景扣除失败: ", [&](size_t i) { device(i).setSubtractDark(enable); });
}

// deviceIndex -1: every device in turn, each under its own mutex, a failing
// device logged and skipped. Otherwise the one device, and its failure
// reaches the caller.
void VaskLinkProtocol::forEachDeviceOrOne(int deviceIndex, const char* failureText,
                                          const std::function<void(size_t)>& operation)
{
    const size_t count = getConnectedDeviceCount();
    if (count == 0) {
        throw NoDevicesError();
    }
    if (deviceIndex == -1) {
        for (size_t i = 0; i < count; ++i) {
            try {
                auto lock = lockDevice(i);
                operation(i);
            } catch (const std::exception& e) {
                LogSink::err() << "设备 " << i << failureText << e.what() << std::endl;
            }
        }
        return;
    }
    if (deviceIndex < 0 || static_cast<size_t>(deviceIndex) >= count) {
        throw std::out_of_range("Device index out of range");
    }
    auto lock = lockDevice(static_cast<size_t>(deviceIndex));
    operation(static_cast<size_t>(deviceIndex));
}

void VaskLinkProtocol::setExposureParams(int exposureTime, int averaging, int deviceIndex)
{
    device(static_cast<size_t>(deviceIndex)).setExposureParams(exposureTime, averaging);
}

// ---------------------------------------------------------------------------
// Stop

void VaskLinkProtocol::stopMeasurement()
{
    const size_t deviceCount = getConnectedDeviceCount();
    if (deviceCount == 0) {
        LogSink::err() << "No devices connected to stop measurement." << std::endl;
        return;
    }
    isStop.store(true, std::memory_order_release);
    for (size_t i = 0; i < deviceCount; ++i) {
        try {
            stopDeviceMeasurement(static_cast<int>(i));
        } catch (const std::exception& e) {
            LogSink::err() << "Error stopping measurement for device " << device(i).m_serialNumber << ": " << e.what()
                           << std::endl;
        }
        deviceMeasurementStatus[i]->store(false, std::memory_order_release);
    }
    for (std::thread& worker : measurementThreads) {
        if (worker.joinable()) {
            worker.join();
        }
    }
    measurementThreads.clear();
    isStop.store(false, std::memory_order_release);
}

void VaskLinkProtocol::stopDeviceMeasurement(int deviceIndex)
{
    LogSink::out() << "Stopping measurement for device " << deviceIndex << std::endl;
    const auto index = static_cast<size_t>(deviceIndex);
    try {
        auto lock = lockDevice(index);
        device(index).stopMeasure();
        deviceMeasurementStatus[index]->store(false);
    } catch (const std::exception& e) {
        LogSink::err() << "Error stopping measurement for device " << deviceIndex << ": " << e.what() << std::endl;
    }
}

// ---------------------------------------------------------------------------
// Shared worker steps

void VaskLinkProtocol::prepareDeviceForRun(size_t deviceIndex)
{
    {
        auto lock = lockDevice(deviceIndex);
        device(deviceIndex).standBy();
        device(deviceIndex).stopMeasure();
    }
    waitForIdle(deviceIndex, false);
    {
        auto lock = lockDevice(deviceIndex);
        if (device(deviceIndex).getStatusInfo().status != SpectrStatus::Idle) {
            throw std::runtime_error("Device is not idle after stopMeasure");
        }
    }
    drainAllSpectra(deviceIndex, DRAIN_ATTEMPTS);
}

// Polls every 10 ms for at most 2 s; true once the device reports Idle.
bool VaskLinkProtocol::waitForIdle(size_t deviceIndex, bool honourStop)
{
    const auto idleDeadline = std::chrono::steady_clock::now() + IDLE_WAIT_LIMIT;
    while (std::chrono::steady_clock::now() < idleDeadline && !(honourStop && stopRequested())) {
        StatusInfo info;
        {
            auto lock = lockDevice(deviceIndex);
            info = device(deviceIndex).getStatusInfo();
        }
        if (info.status == SpectrStatus::Idle) {
            return true;
        }
        std::this_thread::sleep_for(IDLE_POLL_INTERVAL);
    }
    return false;
}

// Caller holds the device's mutex and has written its start line.
void VaskLinkProtocol::configureSoftwareTrigger(size_t deviceIndex, int exposureTime, int averaging, int delayUs)
{
    device(deviceIndex).setTriggerMode(TriggerMode::SOFTWARE);
    device(deviceIndex).setDelayParams(delayUs);
    device(deviceIndex).setExposureParams(exposureTime, averaging);
}

void VaskLinkProtocol::drainAllSpectra(size_t deviceIndex, int maxAttempts)
{
    for (int attempt = 0; attempt < maxAttempts && !stopRequested(); ++attempt) {
        try {
            uint32_t time01ms = 0;
            uint32_t dateDays = 0;
            uint32_t exposureTimeUs = 0;
            uint32_t averaging = 0;
            auto lock = lockDevice(deviceIndex);
            device(deviceIndex).getSpectrum(time01ms, dateDays, exposureTimeUs, averaging);
        } catch (const std::exception& e) {
            if (!isNoMoreSpectrumError(e)) {
                LogSink::err() << "[VLP] drain spectrum failed devIndex=" << deviceIndex << " what=" << e.what()
                               << std::endl;
            }
            return;
        }
    }
}

bool VaskLinkProtocol::isNoMoreSpectrumError(const std::exception& e)
{
    const auto* failure = dynamic_cast<const CommunicationError*>(&e);
    return failure != nullptr && failure->kind() == CommunicationError::Kind::DeviceError &&
           (failure->returnCode() >> 8) == NO_SPECTRUM_WAITING_CLASS;
}

std::string VaskLinkProtocol::formatTime01ms(uint32_t time01ms)
{
    const uint32_t totalMs = time01ms / 10;
    const uint32_t ms = totalMs % 1000;
    const uint32_t totalSec = totalMs / 1000;
    const uint32_t sec = totalSec % 60;
    const uint32_t totalMin = totalSec / 60;
    const uint32_t min = totalMin % 60;
    const uint32_t hour = (totalMin / 60) % 24;
    std::ostringstream text;
    text << std::setfill('0') << std::setw(2) << hour << ':' << std::setw(2) << min << ':' << std::setw(2) << sec
         << '.' << std::setw(3) << ms;
    return text.str();
}

// ---------------------------------------------------------------------------
// Continuous measurement

void VaskLinkProtocol::startMeasurement(SpectrometerCallback* callback, int exposureTime, int averaging, int delayUs,
                                        int measureCount)
{
    stopMeasurement();
    const size_t count = getConnectedDeviceCount();
    if (count == 0) {
        throw NoDevicesError();
    }
    const int effectiveMeasureCount = measureCount > 0 ? measureCount : 1;
    isStop.store(false, std::memory_order_release);
    for (size_t i = 0; i < count; ++i) {
        if (!claimDevice(i)) {
            continue;
        }
        measurementThreads.emplace_back(&VaskLinkProtocol::measurementWorker, this, i, callback, exposureTime,
                                        averaging, delayUs, effectiveMeasureCount);
    }
}

void VaskLinkProtocol::measurementWorker(size_t deviceIndex, SpectrometerCallback* callback, int exposureTime,
                                         int averaging, int delayUs, int measureCount)
{
    try {
        prepareDeviceForRun(deviceIndex);
        {
            auto lock = lockDevice(deviceIndex);
            LogSink::out() << LogSink::decimal << "光谱仪开始采集：积分时间=" << exposureTime << "，平均次数=" << averaging
                           << std::endl;
            configureSoftwareTrigger(deviceIndex, exposureTime, averaging, delayUs);
        }
        for (int measureIndex = 0; measureIndex < measureCount && !stopRequested(); ++measureIndex) {
            drainAllSpectra(deviceIndex, DRAIN_ATTEMPTS);
            std::chrono::steady_clock::time_point startTime;
            std::chrono::system_clock::time_point startWallTime;
            {
                // Tested under the mutex: a stop that raised the flag has not
                // sent this device its stop command yet, so nothing started
                // here outlives the stop.
                auto lock = lockDevice(deviceIndex);
                if (stopRequested()) {
                    break;
                }
                startTime = std::chrono::steady_clock::now();
                startWallTime = std::chrono::system_clock::now();
                device(deviceIndex).startMeasure();
            }
            checkStatusAndNotify(callback, static_cast<int>(deviceIndex), startTime, startWallTime, exposureTime,
                                 averaging, delayUs);
        }
    } catch (const OnErrorFailure& e) {
        LogSink::err() << "Exception in measurement thread: " << e.what() << std::endl;
    } catch (const std::exception& e) {
        LogSink::err() << "Exception in measurement thread: " << e.what() << std::endl;
        reportWorkerFailure(callback, device(deviceIndex).m_serialNumber, e.what(), std::current_exception());
    } catch (...) {
        // Only a host callback can throw something else; it must not take
        // the host process down with it.
        LogSink::err() << "Exception in measurement thread: " << UNKNOWN_EXCEPTION << std::endl;
    }
    deviceMeasurementStatus[deviceIndex]->store(false);
}

void VaskLinkProtocol::checkStatusAndNotify(SpectrometerCallback* callback, int deviceIndex,
                                            std::chrono::steady_clock::time_point startTime,
                                            std::chrono::system_clock::time_point startWallTime, int exposureTimeUs,
                                            int averaging, int delayUs)
{
    const auto index = static_cast<size_t>(deviceIndex);
    std::vector<float> wavelength;
    try {
        auto lock = lockDevice(index);
        wavelength = device(index).getWavelength();
    } catch (...) {
        // Spectra are still worth delivering without their wavelength table.
    }

    const int64_t timeoutMs = velmor_detail::continuousSoftLimitMs(exposureTimeUs, averaging, delayUs);
    const auto timeoutSteadyTime = startTime + std::chrono::milliseconds(timeoutMs);
    const auto hardStopSteadyTime =
        startTime + std::chrono::milliseconds(velmor_detail::continuousHardLimitMs(exposureTimeUs, averaging, delayUs));
    auto lastPollLogTime = startTime;
    bool warnedLongWait = false;
    uint64_t callbackCount = 0;

    LogSink::out() << "[VLP] checkStatusAndNotify start devIndex=" << deviceIndex
                   << " startWallTime=" << velmor_detail::formatLocalTimestamp(startWallTime)
                   << " exposureTimeUs=" << exposureTimeUs << " averaging=" << averaging << " timeoutMs=" << timeoutMs
                   << " callback=" << (callback != nullptr ? "yes" : "no") << std::endl;

    bool sawNonIdleStatus = false;
    bool gotSpectrumForThisMeasure = false;
    const LastDeliveredKey lastDelivered = snapshotLastKey(this, deviceIndex);

    while (!stopRequested()) {
        StatusInfo info;
        {
            auto lock = lockDevice(index);
            info = device(index).getStatusInfo();
        }
        if (info.status != SpectrStatus::Idle) {
            sawNonIdleStatus = true;
        }
        const auto nowSteady = std::chrono::steady_clock::now();
        const int64_t elapsedMs = elapsedMillisecondsSince(startTime, nowSteady);

        if (!warnedLongWait && nowSteady >= timeoutSteadyTime) {
            LogSink::out() << "[VLP] warn long-wait devIndex=" << deviceIndex << " elapsedMs=" << elapsedMs
                           << " exposureTimeUs=" << exposureTimeUs << " averaging=" << averaging
                           << " status=" << static_cast<int>(info.status) << " availableSpectra=" << info.availableSpectra
                           << " callback=" << callbackCount << std::endl;
            warnedLongWait = true;
        }
        if (nowSteady >= hardStopSteadyTime) {
            stopAfterTimeout(index);
            if (callback != nullptr) {
                const char* message = gotSpectrumForThisMeasure ? "Timeout waiting for device idle after spectrum."
                                                                : "Timeout waiting for spectrum.";
                try {
                    const velmor_detail::ReportedFailure shown(std::make_exception_ptr(
                        CommunicationError(CommunicationError::Kind::Timeout, message, 0, 0, 0)));
                    callback->onError(device(index).m_serialNumber, message);
                } catch (const std::exception& e) {
                    throw OnErrorFailure(e.what());
                }
            }
            return;
        }
        if (nowSteady - lastPollLogTime >= POLL_LOG_INTERVAL) {
            LogSink::out() << "[VLP] poll devIndex=" << deviceIndex << " elapsedMs=" << elapsedMs
                           << " status=" << static_cast<int>(info.status) << " availableSpectra=" << info.availableSpectra
                           << " callback=" << callbackCount << std::endl;
            lastPollLogTime = nowSteady;
        }

        const bool shouldTryRead = !gotSpectrumForThisMeasure &&
                                   (info.availableSpectra != 0 ||
                                    (sawNonIdleStatus && info.status == SpectrStatus::Idle) || warnedLongWait);
        if (shouldTryRead) {
            try {
                AcceptedSpectrum accepted;
                if (!readNewestSpectrum(deviceIndex, lastDelivered.valid, lastDelivered.key, accepted)) {
                    continue;
                }
                LogSink::out() << "[VLP] read spectrum devIndex=" << deviceIndex << " serial=" << accepted.serialNumber
                               << " specDateDays=" << accepted.specDateDays << " specTime01ms=" << accepted.specTime01ms
                               << " specTime=" << formatTime01ms(accepted.specTime01ms)
                               << " specExposureUs=" << accepted.specExposureTimeUs
                               << " specAveraging=" << accepted.specAveraging << " elapsedMs=" << elapsedMs << std::endl;
                gotSpectrumForThisMeasure = true;
                if (callback != nullptr) {
                    ++callbackCount;
                    LogSink::out() << "[VLP] callback onDataReceived devIndex=" << deviceIndex
                                   << " serial=" << accepted.serialNumber << " elapsedMs=" << elapsedMs << std::endl;
                    callback->onDataReceived(accepted.serialNumber, wavelength, accepted.spectrum);
                }
                if (accepted.acceptedKey != 0 && deviceIndex >= 0 && index < getConnectedDeviceCount()) {
                    recordLastKey(this, getConnectedDeviceCount(), index, accepted.acceptedKey);
                }
            } catch (const std::exception& e) {
                if (!isNoMoreSpectrumError(e)) {
                    LogSink::err() << "[VLP] getSpectrum exception devIndex=" << deviceIndex << " what=" << e.what()
                                   << std::endl;
                }
            }
        }
        if (info.status == SpectrStatus::Idle && gotSpectrumForThisMeasure) {
            return;
        }
        std::this_thread::sleep_for(STATUS_POLL_INTERVAL);
    }
}

// The hard deadline passed with the device perhaps still acquiring: it must
// not refuse the next start as busy.
void VaskLinkProtocol::stopAfterTimeout(size_t deviceIndex)
{
    try {
        auto lock = lockDevice(deviceIndex);
        device(deviceIndex).stopMeasure();
    } catch (const std::exception& e) {
        LogSink::err() << "[VLP] stop after timeout failed devIndex=" << deviceIndex << " what=" << e.what()
                       << std::endl;
    }
}

// Reads up to 10 waiting spectra and keeps the newest one that was not
// delivered before; older ones are consumed. False when none was accepted.
bool VaskLinkProtocol::readNewestSpectrum(int deviceIndex, bool hasLastDeliveredKey, uint64_t lastDeliveredKey,
                                          AcceptedSpectrum& accepted)
{
    const auto index = static_cast<size_t>(deviceIndex);
    bool gotAccepted = false;
    for (int attempt = 0; attempt < READS_PER_PASS && !stopRequested(); ++attempt) {
        uint32_t t = 0;
        uint32_t d = 0;
        uint32_t exp = 0;
        uint32_t avg = 0;
        std::vector<float> spectrum;
        std::string serialNumber;
        try {
            auto lock = lockDevice(index);
            spectrum = device(index).getSpectrum(t, d, exp, avg);
            serialNumber = device(index).m_serialNumber;
        } catch (const std::exception& e) {
            if (isNoMoreSpectrumError(e)) {
                break;
            }
            throw;
        }
        const uint64_t key = spectrumKey(d, t);
        if (hasLastDeliveredKey && key == lastDeliveredKey) {
            LogSink::out() << "[VLP] discard stale spectrum devIndex=" << deviceIndex << " serial=" << serialNumber
                           << " specDateDays=" << d << " specTime01ms=" << t << " specTime=" << formatTime01ms(t)
                           << std::endl;
            continue;
        }
        accepted.specTime01ms = t;
        accepted.specDateDays = d;
        accepted.specExposureTimeUs = exp;
        accepted.specAveraging = avg;
        accepted.spectrum = std::move(spectrum);
        accepted.serialNumber = std::move(serialNumber);
        accepted.acceptedKey = key;
        gotAccepted = true;
    }
    return gotAccepted;
}

// ---------------------------------------------------------------------------
// Batch measurement

void VaskLinkProtocol::startBatchMeasurement(SpectrometerCallback* callback, int exposureTime, int collections,
                                             int averaging, int delayUs)
{
    if (callback == nullptr) {
        throw std::invalid_argument("Batch measurement needs a callback");
    }
    stopMeasurement();
    if (getConnectedDeviceCount() == 0) {
        throw NoDevicesError();
    }
    const int effectiveBatchSize = collections > 0 ? collections : 1;
    isStop.store(false, std::memory_order_release);
    for (const size_t j : batchStartOrder()) {
        if (!claimDevice(j, "The current device number that is being started:")) {
            continue;
        }
        measurementThreads.emplace_back(&VaskLinkProtocol::batchWorker, this, j, callback, exposureTime, averaging,
                                        delayUs, effectiveBatchSize);
    }
}

// Pool indexes in the order the devices start a batch: ascending wavelength
// of their first pixel; devices without a wavelength table start last. A
// serial number that is not a number is refused before any device starts.
std::vector<size_t> VaskLinkProtocol::batchStartOrder()
{
    std::vector<size_t> order;
    std::vector<float> firstWavelength;
    std::vector<size_t> withoutWavelengths;
    for (size_t i = 0; i < mDevicePool.size(); ++i) {
        requireNumericSerial(device(i).m_serialNumber);
        const std::vector<float> wavelengths = device(i).getWavelength();
        if (wavelengths.empty()) {
            withoutWavelengths.push_back(i);
            continue;
        }
        order.push_back(i);
        firstWavelength.push_back(wavelengths.front());
    }
    for (size_t i = 0; i < firstWavelength.size(); ++i) {
        for (size_t j = i + 1; j < firstWavelength.size(); ++j) {
            if (firstWavelength[i] > firstWavelength[j]) {
                std::swap(firstWavelength[i], firstWavelength[j]);
                std::swap(order[i], order[j]);
            }
        }
    }
    order.insert(order.end(), withoutWavelengths.begin(), withoutWavelengths.end());
    return order;
}

// A batch that fails after its start command still delivers what it
// collected, then reports the failure: nothing read from a device is lost.
void VaskLinkProtocol::batchWorker(size_t deviceIndex, SpectrometerCallback* callback, int exposureTime,
                                   int averaging, int delayUs, int batchSize)
{
    const std::string serialNumber = device(deviceIndex).m_serialNumber;
    std::vector<std::vector<float>> spectraVec;
    bool started = false;
    bool handedOver = false;
    const auto deliver = [&] {
        std::vector<float> wavelength;
        {
            auto lock = lockDevice(deviceIndex);
            wavelength = device(deviceIndex).getWavelength();
        }
        handedOver = true;
        deliverBatch(callback, serialNumber, wavelength, batchSize, spectraVec);
    };
    try {
        prepareDeviceForRun(deviceIndex);
        {
            auto lock = lockDevice(deviceIndex);
            LogSink::out() << LogSink::decimal << "光谱仪开始批处理采集：积分时间=" << exposureTime << "，平均次数=" << averaging
                           << "，批处理大小=" << batchSize << std::endl;
            configureSoftwareTrigger(deviceIndex, exposureTime, averaging, delayUs);
        }
        {
            // Tested under the mutex, as in the continuous worker: no batch
            // starts after a stop that nobody would read.
            auto lock = lockDevice(deviceIndex);
            started = !stopRequested();
            if (started) {
                device(deviceIndex).startMeasure(batchSize);
            }
        }
        if (started) {
            collectBatch(deviceIndex,
                         velmor_detail::batchCollectionLimitMs(exposureTime, averaging, delayUs, batchSize),
                         batchSize, spectraVec);
        }
        deliver();
    } catch (const std::exception& e) {
        LogSink::err() << "Exception in batch measurement thread: " << e.what() << std::endl;
        if (started && !handedOver) {
            deliverCollectedAfterFailure(deliver);
        }
        reportWorkerFailure(callback, serialNumber, e.what(), std::current_exception());
    } catch (...) {
        LogSink::err() << "Exception in batch measurement thread: " << UNKNOWN_EXCEPTION << std::endl;
    }
    deviceMeasurementStatus[deviceIndex]->store(false);
}

// Collects spectra every 500 ms until the batch is complete, its time limit
// passes or a stop is requested, then
// waits for idle and reads what is left.
void VaskLinkProtocol::collectBatch(size_t deviceIndex, int64_t limitMs, int batchSize,
                                    std::vector<std::vector<float>>& spectraVec)
{
    const auto startTime = std::chrono::steady_clock::now();
    const auto timeoutTime = startTime + std::chrono::milliseconds(limitMs);
    int totalRead = 0;
    auto append = [&spectraVec, &totalRead](std::vector<std::vector<float>>& spectra) {
        spectraVec.insert(spectraVec.end(), std::make_move_iterator(spectra.begin()),
                          std::make_move_iterator(spectra.end()));
        totalRead = static_cast<int>(spectraVec.size());
    };

    while (totalRead < batchSize && std::chrono::steady_clock::now() < timeoutTime && !stopRequested()) {
        StatusInfo statusInfo;
        std::vector<std::vector<float>> currentSpectra;
        {
            auto lock = lockDevice(deviceIndex);
            statusInfo = device(deviceIndex).getStatusInfo();
        }
        {
            auto lock = lockDevice(deviceIndex);
            currentSpectra = device(deviceIndex).getAllSpectrumData();
        }
        append(currentSpectra);
        if (statusInfo.status == SpectrStatus::Idle && totalRead >= batchSize) {
            break;
        }
        std::this_thread::sleep_for(BATCH_COLLECTION_INTERVAL);
    }

    StatusInfo finalStatusInfo;
    {
        auto lock = lockDevice(deviceIndex);
        finalStatusInfo = device(deviceIndex).getStatusInfo();
    }
    if (finalStatusInfo.status != SpectrStatus::Idle) {
        waitForIdle(deviceIndex, true);
    }

    if (totalRead < batchSize) {
        std::vector<std::vector<float>> finalSpectra;
        {
            auto lock = lockDevice(deviceIndex);
            finalSpectra = device(deviceIndex).getAllSpectrumData();
        }
        if (!finalSpectra.empty()) {
            const size_t finalCount = finalSpectra.size();
            append(finalSpectra);
            LogSink::out() << "[VLP] Final read " << finalCount << " spectra, total: " << totalRead << "/" << batchSize
                           << std::endl;
        }
    }
}
