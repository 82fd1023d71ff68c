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

#include <memory>
#include <string>

#if !defined(VELMOR_VERSION_STRING) || !defined(VELMOR_VERSION_MAJOR) || !defined(VELMOR_VERSION_MINOR) || \
    !defined(VELMOR_VERSION_PATCH)
#error "the build passes the project version as VELMOR_VERSION_STRING, _MAJOR, _MINOR and _PATCH"
#endif

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
        managerOf(manager).exclusive([](VaskLinkProtocol& protocol) { protocol.connectDevice(); });
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
            [&](VaskLinkProtocol& protocol) { return CManager::firmwareOf(*protocol.getDevice(device_index)); });
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
        // The manager reads it without the device's mutex.
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
