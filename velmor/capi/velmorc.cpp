// The C interface: each function checks its pointers, hands the work to the
// C++ classes and returns what they throw as a status code (CBoundary).

#include "velmor/velmor_c.h"

#include "cboundary.h"
#include "ccallbackadapter.h"
#include "ccallbackscope.h"
#include "ccallerbuffer.h"
#include "clasterror.h"
#include "clogforwarder.h"
#include "cmanager.h"
#include "cstatuserror.h"
#include "velmor/velmorhost.h"

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#if !defined(VELMOR_VERSION_STRING) || !defined(VELMOR_VERSION_MAJOR) || !defined(VELMOR_VERSION_MINOR) || \
    !defined(VELMOR_VERSION_PATCH)
#error "the build passes the project version as VELMOR_VERSION_STRING, _MAJOR, _MINOR and _PATCH"
#endif

// The C enumerations restate the C++ ones value for value; hosts compare
// with the C names what the library passes on as the C++ value.
static_assert(VELMOR_TRIGGER_SOFTWARE == static_cast<int>(TriggerMode::SOFTWARE) &&
                  VELMOR_TRIGGER_EXTERNAL == static_cast<int>(TriggerMode::EXTERNAL),
              "velmor_trigger_mode must match TriggerMode");
static_assert(VELMOR_STATE_IDLE == static_cast<int>(SpectrStatus::Idle) &&
                  VELMOR_STATE_WAITING_FOR_TRIGGER == static_cast<int>(SpectrStatus::WaitingForTrigger) &&
                  VELMOR_STATE_TAKING_SPECTRUM == static_cast<int>(SpectrStatus::TakingSpectrum) &&
                  VELMOR_STATE_WAITING_FOR_TEMPERATURE == static_cast<int>(SpectrStatus::WaitingForTemperature) &&
                  VELMOR_STATE_POWERED_OFF == static_cast<int>(SpectrStatus::PoweredOff) &&
                  VELMOR_STATE_SLEEP_MODE == static_cast<int>(SpectrStatus::SleepMode) &&
                  VELMOR_STATE_NOT_CONNECTED == static_cast<int>(SpectrStatus::NotConnected),
              "velmor_device_state must match SpectrStatus");
static_assert(VELMOR_LOG_OUTPUT == static_cast<int>(velmor::LogStream::Output) &&
                  VELMOR_LOG_ERROR == static_cast<int>(velmor::LogStream::Error),
              "velmor_log_stream must match velmor::LogStream");

namespace {

CManager& managerOf(velmor_manager* handle)
{
    return CManager::fromHandle(handle);
}

template <typename T>
T& required(T* pointer, const char* name)
{
    if (pointer == nullptr) {
        throw CStatusError(VELMOR_ERROR_INVALID_ARGUMENT, std::string(name) + " is NULL");
    }
    return *pointer;
}

TriggerMode triggerModeOf(int32_t mode)
{
    switch (mode) {
    case VELMOR_TRIGGER_SOFTWARE:
        return TriggerMode::SOFTWARE;
    case VELMOR_TRIGGER_EXTERNAL:
        return TriggerMode::EXTERNAL;
    default:
        throw CStatusError(VELMOR_ERROR_INVALID_ARGUMENT, "mode " + std::to_string(mode) +
                                                              " is neither VELMOR_TRIGGER_SOFTWARE nor "
                                                              "VELMOR_TRIGGER_EXTERNAL");
    }
}

// Identity fields are answered from memory, also inside this manager's
// callbacks.
SpectrometerParameters parametersOf(velmor_manager* manager, int32_t deviceIndex)
{
    return managerOf(manager).identity(
        [&](VaskLinkProtocol& protocol) { return protocol.getDevice(deviceIndex)->getParameters(); });
}

// A connect that leaves the pool empty says why: nothing usable was found,
// or what was found is held by someone else.
void refuseEmptyPool(const VaskLinkProtocol& protocol)
{
    if (protocol.getConnectedDeviceCount() != 0) {
        return;
    }
    const std::vector<velmor::SkippedDevice> skipped = velmor::skippedDevices(protocol);
    const bool held = std::any_of(skipped.begin(), skipped.end(), [](const velmor::SkippedDevice& device) {
        return device.reason == velmor::SkipReason::InUse;
    });
    if (held) {
        throw CStatusError(VELMOR_ERROR_DEVICE_IN_USE, "the spectrometers found are held by another handle or process");
    }
    throw CStatusError(VELMOR_ERROR_NO_DEVICE, "no spectrometer found");
}

velmor::MeasurementKind measurementKindOf(int32_t kind)
{
    switch (kind) {
    case VELMOR_MEASURE_CONTINUOUS:
        return velmor::MeasurementKind::Continuous;
    case VELMOR_MEASURE_BATCH:
        return velmor::MeasurementKind::Batch;
    default:
        throw CStatusError(VELMOR_ERROR_INVALID_ARGUMENT, "kind " + std::to_string(kind) +
                                                              " is neither VELMOR_MEASURE_CONTINUOUS nor "
                                                              "VELMOR_MEASURE_BATCH");
    }
}

} // namespace

uint32_t VELMOR_CALL velmor_c_api_version(void)
{
    return VELMOR_C_API_VERSION;
}

const char* VELMOR_CALL velmor_library_version(void)
{
    return VELMOR_VERSION_STRING;
}

uint32_t VELMOR_CALL velmor_library_version_number(void)
{
    return (VELMOR_VERSION_MAJOR << 16) | (VELMOR_VERSION_MINOR << 8) | VELMOR_VERSION_PATCH;
}

const char* VELMOR_CALL velmor_status_name(int32_t status)
{
    switch (status) {
    case VELMOR_OK:
        return "VELMOR_OK";
    case VELMOR_ERROR_INVALID_ARGUMENT:
        return "VELMOR_ERROR_INVALID_ARGUMENT";
    case VELMOR_ERROR_INDEX_OUT_OF_RANGE:
        return "VELMOR_ERROR_INDEX_OUT_OF_RANGE";
    case VELMOR_ERROR_DEVICE:
        return "VELMOR_ERROR_DEVICE";
    case VELMOR_ERROR_BUFFER_TOO_SMALL:
        return "VELMOR_ERROR_BUFFER_TOO_SMALL";
    case VELMOR_ERROR_WRONG_STATE:
        return "VELMOR_ERROR_WRONG_STATE";
    case VELMOR_ERROR_IN_CALLBACK:
        return "VELMOR_ERROR_IN_CALLBACK";
    case VELMOR_ERROR_NO_MEMORY:
        return "VELMOR_ERROR_NO_MEMORY";
    case VELMOR_ERROR_NO_DEVICE:
        return "VELMOR_ERROR_NO_DEVICE";
    case VELMOR_ERROR_TIMEOUT:
        return "VELMOR_ERROR_TIMEOUT";
    case VELMOR_ERROR_DEVICE_GONE:
        return "VELMOR_ERROR_DEVICE_GONE";
    case VELMOR_ERROR_DEVICE_IN_USE:
        return "VELMOR_ERROR_DEVICE_IN_USE";
    case VELMOR_ERROR_INTERNAL:
        return "VELMOR_ERROR_INTERNAL";
    default:
        return "VELMOR_UNKNOWN_STATUS";
    }
}

const char* VELMOR_CALL velmor_last_error(void)
{
    return CLastError::text();
}

int32_t VELMOR_CALL velmor_set_log_handler(velmor_log_callback callback, void* user)
{
    return CBoundary::run(__func__, [&] {
        // The sink holds its lock while the log callback runs.
        if (CCallbackScope::activeFor(CCallbackScope::LOG_HANDLER)) {
            throw CStatusError(VELMOR_ERROR_IN_CALLBACK, "not allowed from inside the log callback");
        }
        CLogForwarder::install(callback, user);
    });
}

int32_t VELMOR_CALL velmor_create(velmor_manager** out)
{
    return CBoundary::run(__func__, [&] {
        velmor_manager*& handle = required(out, "out");
        // From here on the host owns the manager, until velmor_destroy.
        handle = reinterpret_cast<velmor_manager*>(std::make_unique<CManager>().release());
    });
}

int32_t VELMOR_CALL velmor_destroy(velmor_manager* manager)
{
    return CBoundary::run(__func__, [&] {
        if (manager == nullptr) {
            return;
        }
        if (CCallbackScope::active()) {
            throw CStatusError(VELMOR_ERROR_IN_CALLBACK, "not allowed from inside a callback");
        }
        std::unique_ptr<CManager> owned(reinterpret_cast<CManager*>(manager));
    });
}

int32_t VELMOR_CALL velmor_connect(velmor_manager* manager)
{
    return CBoundary::run(__func__, [&] {
        managerOf(manager).exclusive([](VaskLinkProtocol& protocol) {
            protocol.connectDevice();
            refuseEmptyPool(protocol);
        });
    });
}

int32_t VELMOR_CALL velmor_disconnect(velmor_manager* manager)
{
    return CBoundary::run(__func__, [&] { managerOf(manager).disconnect(); });
}

int32_t VELMOR_CALL velmor_device_count(velmor_manager* manager, uint32_t* count)
{
    return CBoundary::run(__func__, [&] {
        uint32_t& result = required(count, "count");
        result = static_cast<uint32_t>(managerOf(manager).identity(
            [](VaskLinkProtocol& protocol) { return protocol.getConnectedDeviceCount(); }));
    });
}

int32_t VELMOR_CALL velmor_device_serial(velmor_manager* manager, int32_t device_index, char* buffer,
                                         uint32_t capacity, uint32_t* needed)
{
    return CBoundary::run(__func__, [&] {
        CCallerBuffer::copyText(parametersOf(manager, device_index).serialNumber, buffer, capacity, needed);
    });
}

int32_t VELMOR_CALL velmor_device_pixel_count(velmor_manager* manager, int32_t device_index, uint32_t* pixel_count)
{
    return CBoundary::run(__func__, [&] {
        uint32_t& result = required(pixel_count, "pixel_count");
        result = static_cast<uint32_t>(parametersOf(manager, device_index).pixelCount);
    });
}

int32_t VELMOR_CALL velmor_device_pixel_range(velmor_manager* manager, int32_t device_index, int32_t* start_pixel,
                                              int32_t* end_pixel)
{
    return CBoundary::run(__func__, [&] {
        int32_t& start = required(start_pixel, "start_pixel");
        int32_t& end = required(end_pixel, "end_pixel");
        const SpectrometerParameters parameters = parametersOf(manager, device_index);
        start = parameters.startPixel;
        end = parameters.endPixel;
    });
}

int32_t VELMOR_CALL velmor_device_firmware_version(velmor_manager* manager, int32_t device_index, uint32_t* major,
                                                   uint32_t* minor, uint32_t* build, uint32_t* revision)
{
    return CBoundary::run(__func__, [&] {
        uint32_t& majorOut = required(major, "major");
        uint32_t& minorOut = required(minor, "minor");
        uint32_t& buildOut = required(build, "build");
        uint32_t& revisionOut = required(revision, "revision");
        const FirmwareVersion version = managerOf(manager).identity(
            [&](VaskLinkProtocol& protocol) { return velmor::firmwareVersion(*protocol.getDevice(device_index)); });
        majorOut = version.major;
        minorOut = version.minor;
        buildOut = version.build;
        revisionOut = version.revision;
    });
}

int32_t VELMOR_CALL velmor_device_wavelengths(velmor_manager* manager, int32_t device_index, float* buffer,
                                              uint32_t capacity, uint32_t* needed)
{
    return CBoundary::run(__func__, [&] {
        CCallerBuffer::copyArray(parametersOf(manager, device_index).wavelengths, buffer, capacity, needed);
    });
}

int32_t VELMOR_CALL velmor_set_trigger_mode(velmor_manager* manager, int32_t mode)
{
    return CBoundary::run(__func__, [&] {
        const TriggerMode triggerMode = triggerModeOf(mode);
        managerOf(manager).exclusive([&](VaskLinkProtocol& protocol) { protocol.setTriggerMode(triggerMode); });
    });
}

int32_t VELMOR_CALL velmor_get_trigger_config(velmor_manager* manager, int32_t device_index, uint32_t* mode,
                                              uint32_t* edge)
{
    return CBoundary::run(__func__, [&] {
        uint32_t& modeOut = required(mode, "mode");
        uint32_t& edgeOut = required(edge, "edge");
        // Workers set each device's trigger at their start: what a read
        // during a run would see is not the host's setting.
        const TriggerConfig config = managerOf(manager).withoutWorkers(
            [&](VaskLinkProtocol& protocol) { return protocol.getTriggerMode(device_index); });
        modeOut = config.mode;
        edgeOut = config.edge;
    });
}

int32_t VELMOR_CALL velmor_take_dark_spectrum(velmor_manager* manager, int32_t exposure_us, int32_t averaging,
                                              int32_t device_index)
{
    return CBoundary::run(__func__, [&] {
        managerOf(manager).exclusive([&](VaskLinkProtocol& protocol) {
            protocol.takeDarkSpectrum(exposure_us, averaging, device_index);
        });
    });
}

int32_t VELMOR_CALL velmor_set_subtract_dark(velmor_manager* manager, int32_t enable, int32_t device_index)
{
    return CBoundary::run(__func__, [&] {
        managerOf(manager).exclusive(
            [&](VaskLinkProtocol& protocol) { protocol.setSubtractDark(enable != 0, device_index); });
    });
}

int32_t VELMOR_CALL velmor_start_measurement(velmor_manager* manager, velmor_spectrum_callback on_spectrum,
                                             velmor_error_callback on_error, void* user, int32_t exposure_us,
                                             int32_t averaging, int32_t delay_us, int32_t measure_count)
{
    return CBoundary::run(__func__, [&] {
        CManager& owner = managerOf(manager);
        required(on_spectrum, "on_spectrum");
        owner.start(std::make_unique<CCallbackAdapter>(&owner, on_spectrum, nullptr, on_error, user),
                    [&](VaskLinkProtocol& protocol, SpectrometerCallback* callback) {
                        protocol.startMeasurement(callback, exposure_us, averaging, delay_us, measure_count);
                    });
    });
}

int32_t VELMOR_CALL velmor_start_batch_measurement(velmor_manager* manager, velmor_batch_callback on_batch,
                                                   velmor_error_callback on_error, void* user, int32_t exposure_us,
                                                   int32_t collections, int32_t averaging, int32_t delay_us)
{
    return CBoundary::run(__func__, [&] {
        CManager& owner = managerOf(manager);
        required(on_batch, "on_batch");
        owner.start(std::make_unique<CCallbackAdapter>(&owner, nullptr, on_batch, on_error, user),
                    [&](VaskLinkProtocol& protocol, SpectrometerCallback* callback) {
                        protocol.startBatchMeasurement(callback, exposure_us, collections, averaging, delay_us);
                    });
    });
}

int32_t VELMOR_CALL velmor_stop_measurement(velmor_manager* manager)
{
    return CBoundary::run(__func__, [&] { managerOf(manager).stop(); });
}

int32_t VELMOR_CALL velmor_device_status(velmor_manager* manager, int32_t device_index, int32_t* state,
                                         uint32_t* available_spectra)
{
    return CBoundary::run(__func__, [&] {
        int32_t& stateOut = required(state, "state");
        uint32_t& availableOut = required(available_spectra, "available_spectra");
        const StatusInfo status =
            managerOf(manager).direct(device_index, [](SpectrometerDevice& device) { return device.getStatusInfo(); });
        stateOut = static_cast<int32_t>(status.status);
        availableOut = status.availableSpectra;
    });
}

int32_t VELMOR_CALL velmor_device_set_exposure(velmor_manager* manager, int32_t device_index, int32_t exposure_us,
                                               int32_t averaging)
{
    return CBoundary::run(__func__, [&] {
        managerOf(manager).direct(device_index, [&](SpectrometerDevice& device) {
            device.setExposureParams(exposure_us, averaging);
        });
    });
}

int32_t VELMOR_CALL velmor_device_start_acquisition(velmor_manager* manager, int32_t device_index,
                                                    int32_t exposure_count)
{
    return CBoundary::run(__func__, [&] {
        managerOf(manager).direct(device_index,
                                  [&](SpectrometerDevice& device) { device.startMeasure(exposure_count); });
    });
}

int32_t VELMOR_CALL velmor_device_stop_acquisition(velmor_manager* manager, int32_t device_index)
{
    return CBoundary::run(__func__, [&] {
        managerOf(manager).direct(device_index, [](SpectrometerDevice& device) { device.stopMeasure(); });
    });
}

int32_t VELMOR_CALL velmor_device_read_spectrum(velmor_manager* manager, int32_t device_index, float* buffer,
                                                uint32_t capacity, uint32_t* needed, velmor_spectrum_info* info)
{
    return CBoundary::run(__func__, [&] {
        managerOf(manager).direct(device_index, [&](SpectrometerDevice& device) {
            // Reading takes the spectrum out of the device: the size is
            // settled before, so that a short buffer loses nothing.
            if (!CCallerBuffer::accepts(device.getParameters().pixelCount, buffer, capacity, needed)) {
                return;
            }
            velmor_spectrum_info stamp{};
            const std::vector<float> spectrum =
                device.getSpectrum(stamp.time_01ms, stamp.date_days, stamp.exposure_us, stamp.averaging);
            CCallerBuffer::copyArray(spectrum, buffer, capacity, needed);
            if (info != nullptr) {
                *info = stamp;
            }
        });
    });
}

// ---------------------------------------------------------------------------
// Since C interface version 2

int32_t VELMOR_CALL velmor_error_callback_status(void)
{
    return CBoundary::statusOf(velmor::currentWorkerError());
}

int32_t VELMOR_CALL velmor_measurement_time_limit(int32_t kind, int32_t exposure_us, int32_t averaging,
                                                  int32_t delay_us, int32_t count, int64_t* limit_ms)
{
    return CBoundary::run(__func__, [&] {
        int64_t& result = required(limit_ms, "limit_ms");
        result = velmor::measurementTimeLimit(measurementKindOf(kind), exposure_us, averaging, delay_us, count).count();
    });
}

int32_t VELMOR_CALL velmor_device_usb_location(velmor_manager* manager, int32_t device_index, uint8_t* bus_number,
                                               uint8_t* device_address)
{
    return CBoundary::run(__func__, [&] {
        uint8_t& busOut = required(bus_number, "bus_number");
        uint8_t& addressOut = required(device_address, "device_address");
        const velmor::UsbLocation location = managerOf(manager).identity(
            [&](VaskLinkProtocol& protocol) { return velmor::usbLocation(*protocol.getDevice(device_index)); });
        busOut = location.busNumber;
        addressOut = location.deviceAddress;
    });
}

int32_t VELMOR_CALL velmor_device_clock_utc_offset(velmor_manager* manager, int32_t device_index, int32_t* seconds)
{
    return CBoundary::run(__func__, [&] {
        int32_t& result = required(seconds, "seconds");
        result = managerOf(manager).identity([&](VaskLinkProtocol& protocol) {
            return velmor::deviceClockUtcOffsetSeconds(*protocol.getDevice(device_index));
        });
    });
}
