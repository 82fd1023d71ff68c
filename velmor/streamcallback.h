#pragma once

#include <velmor/velmorexport.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

/// One spectrum of a stream measurement, as the device made it.
///
/// Sequence numbers count the spectra the device made in this run, from 0.
/// A spectrum the host will never get (the device's memory overflowed, or the
/// host's StreamCallback fell behind and the oldest queued spectrum was
/// dropped) still uses up its number: `missingBefore` says how many were lost
/// right before this one, so `sequence` of consecutive spectra differs by
/// `missingBefore + 1`. A re-arm of the device between two spectra loses
/// nothing (the device makes no spectrum while it is re-armed) and is marked
/// with `afterRearm`; its length shows in the device time stamps.
struct StreamSpectrum {
    std::string serialNumber;
    int deviceIndex = 0;
    uint64_t sequence = 0;        ///< per device and run, from 0; lost spectra consume numbers
    uint64_t missingBefore = 0;   ///< spectra lost right before this one (0 = none)
    uint32_t time01ms = 0;        ///< raw header time stamp (device clock, local time), 0.1 ms since midnight
    uint32_t dateDays = 0;        ///< raw header date stamp (device clock, local date), days since 1970-01-01
    std::chrono::system_clock::time_point deviceTime;  ///< the header's time stamp in UTC
    std::chrono::system_clock::time_point receivedAt;  ///< host wall clock when read
    uint32_t exposureTimeUs = 0;  ///< from the header
    uint32_t averaging = 0;       ///< from the header
    float sensorTemperatureC = 0; ///< from the header
    uint8_t intensityUnit = 0;    ///< AppliedProcessing bits 0-3
    bool darkSubtracted = false;  ///< AppliedProcessing bits 4-7 non-zero
    uint8_t processingErrors = 0; ///< AppliedProcessing bits 12-15
    bool afterRearm = false;      ///< the device was re-armed right before this spectrum
    std::vector<float> spectrum;  ///< one value per pixel, as the device sent it
    std::shared_ptr<const std::vector<float>> wavelengths;  ///< nm per pixel; shared, not copied per spectrum
};

/// What a stream measurement asks of every device.
struct StreamSettings {
    int exposureTimeUs = 0;
    int averaging = 1;
    int delayUs = 0;
    uint64_t count = 0;           ///< spectra per device; 0 = until stopped
    /// Spectra the device is armed for at a time; 0 = as many as one start
    /// command can ask for. The device refuses a new start while it acquires,
    /// so it is re-armed as soon as an arm's spectra are done.
    uint32_t spectraPerArm = 0;
    /// Spectra held per device between the USB reader and the callback; when
    /// full, the oldest is dropped and counted as lost. 0 counts as 1.
    std::size_t queueCapacity = 256;
};

/// Implemented by the host to receive a stream measurement.
///
/// Each device has a delivery thread of its own: the calls for one device
/// come one after another, in the device's order; calls for different devices
/// may overlap. References are valid only during the call. The object must
/// outlive the measurement (until stopMeasurement returns or the manager is
/// destroyed), and must not start or stop a measurement of the same manager
/// from inside a call. Exceptions thrown by a call are written to standard
/// error and the stream goes on.
class VELMOR_EXPORT StreamCallback {
public:
    /// Destroys the callback; never while a stream may still call it.
    virtual ~StreamCallback();

    /// One spectrum, exactly once, in the device's order.
    virtual void onSpectrum(const StreamSpectrum& spectrum) = 0;

    /// The device's stream failed (it no longer answers, was unplugged, ...)
    /// and ends; spectra read before the failure have all been delivered.
    virtual void onError(const std::string& serialNumber, const std::string& message) = 0;

    /// The device's stream ended (count reached, stopped or failed):
    /// `delivered` spectra were handed over and `lost` were missing in all.
    /// After a stop, the spectra the device made before its stop command are
    /// still read and delivered, so delivered + lost is everything the device
    /// made.
    virtual void onStreamEnd(const std::string& serialNumber, uint64_t delivered, uint64_t lost);
};
