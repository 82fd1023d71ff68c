#pragma once

#include <velmor/velmorexport.h>

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

class LibusbInterface;
namespace velmor_detail {
class DeviceFacts;
}

/// How an acquisition is started.
enum class TriggerMode : int {
    SOFTWARE = 0, // free running, started by command
    EXTERNAL = 1, // rising edge on the hardware trigger input
};

/// Trigger configuration in the device's own encoding: mode 0 is free
/// running, 2 is hardware trigger; edge 0 is the rising edge.
struct TriggerConfig {
    uint8_t mode = 0;
    uint8_t edge = 0;
    uint16_t reserved = 0;
};

/// Device state as reported by the status word. Values without a name are
/// passed on unchanged.
enum class SpectrStatus : int {
    Idle = 0,
    WaitingForTrigger = 1,
    TakingSpectrum = 2,
    WaitingForTemperature = 3,
    PoweredOff = 8,
    SleepMode = 9,
    NotConnected = 10,
};

/// A device's state and the finished spectra waiting in it.
struct StatusInfo {
    SpectrStatus status = SpectrStatus::NotConnected;
    uint16_t availableSpectra = 0; // finished spectra waiting in the device
};

/// A firmware version major.minor.build.revision.
struct FirmwareVersion {
    uint8_t major;
    uint8_t minor;
    uint8_t build;
    uint8_t revision;

    /// The version major.minor.build.revision. Does not throw.
    constexpr FirmwareVersion(uint8_t majorPart, uint8_t minorPart, uint8_t buildPart, uint8_t revisionPart)
        : major{majorPart}, minor{minorPart}, build{buildPart}, revision{revisionPart}
    {
    }

    /// True when this version is the same as or later than `other`, part by
    /// part. Does not throw.
    bool operator>=(const FirmwareVersion& other) const
    {
        if (major != other.major) {
            return major > other.major;
        }
        if (minor != other.minor) {
            return minor > other.minor;
        }
        if (build != other.build) {
            return build > other.build;
        }
        return revision >= other.revision;
    }

    /// The version as "major.minor.build.revision". Does not throw except
    /// std::bad_alloc.
    std::string toString() const
    {
        return std::to_string(major) + "." + std::to_string(minor) + "." + std::to_string(build) + "." +
               std::to_string(revision);
    }
};

/// Lowest firmware that accepts the clock command.
inline constexpr FirmwareVersion minFirmwareDateTime{4, 0, 7, 1};
/// Lowest firmware with the byte-wise trigger configuration word.
inline constexpr FirmwareVersion minFirmwareNewTriggering{4, 1, 7, 0};

/// Identity of one spectrometer, as read at initialization.
struct SpectrometerParameters {
    std::string serialNumber;
    int startPixel = 0;
    int endPixel = 0;
    size_t pixelCount = 0;
    std::vector<float> wavelengths; // nm per pixel
};

/// The 64-byte header of a spectrum record, laid out as on the wire.
struct SpectrumHeader {
    uint32_t ExposureTime;      // µs
    uint32_t Averaging;
    uint32_t Time;              // 0.1 ms since local midnight (device clock)
    uint32_t Date;              // days since 1970-01-01 (device clock)
    float LoadLevel;
    float SensorTemperature;    // °C
    uint16_t PixelCount;
    uint8_t DataFormat;         // 0: little-endian float
    uint8_t VersionNumber;      // 0: this layout
    uint16_t ExposureSettings;
    uint16_t AppliedProcessing; // bits 0-3 unit, 4-7 dark subtracted, 8-11 reserved, 12-15 error flags
    char Name[24];
    float DarkAvg;
    float ReadoutNoise;
};

static_assert(sizeof(SpectrumHeader) == 64, "SpectrumHeader must match the 64-byte wire record");
static_assert(offsetof(SpectrumHeader, ExposureTime) == 0 && offsetof(SpectrumHeader, Averaging) == 4 &&
                  offsetof(SpectrumHeader, Time) == 8 && offsetof(SpectrumHeader, Date) == 12 &&
                  offsetof(SpectrumHeader, LoadLevel) == 16 && offsetof(SpectrumHeader, SensorTemperature) == 20 &&
                  offsetof(SpectrumHeader, PixelCount) == 24 && offsetof(SpectrumHeader, DataFormat) == 26 &&
                  offsetof(SpectrumHeader, VersionNumber) == 27 && offsetof(SpectrumHeader, ExposureSettings) == 28 &&
                  offsetof(SpectrumHeader, AppliedProcessing) == 30 && offsetof(SpectrumHeader, Name) == 32 &&
                  offsetof(SpectrumHeader, DarkAvg) == 56 && offsetof(SpectrumHeader, ReadoutNoise) == 60,
              "SpectrumHeader fields must sit at their wire offsets");

/// One connected spectrometer: frames commands, decodes replies and device
/// errors, initializes the device and reads its spectra. Takes no lock around
/// its exchanges; callers use one device from one thread at a time. Reached
/// through VaskLinkProtocol::getDevice; while a measurement runs, the
/// manager's worker owns the device and nobody else may call it.
class VELMOR_EXPORT SpectrometerDevice {
public:
    /// Takes ownership of the opened transport and initializes the device
    /// (identity, calibration, clock). Used by VaskLinkProtocol::connectDevice;
    /// hosts do not construct devices. Throws std::runtime_error when
    /// initialization fails.
    explicit SpectrometerDevice(std::unique_ptr<LibusbInterface> device);
    /// Closes the transport; does not throw. Not while another thread uses the
    /// device.
    ~SpectrometerDevice();

    SpectrometerDevice(const SpectrometerDevice&) = delete;
    SpectrometerDevice& operator=(const SpectrometerDevice&) = delete;

    // Identity, answered from memory.
    /// Identity and calibration read at initialization, answered from memory (a
    /// copy). Does not throw except std::bad_alloc. Any thread, callback-safe.
    SpectrometerParameters getParameters() const;
    /// The wavelength table in nm, one value per pixel, from memory (a copy).
    /// Does not throw except std::bad_alloc. Any thread, callback-safe.
    std::vector<float> getWavelength();

    /// Sends a gain setting; a refusal by the device is logged, not thrown.
    /// Throws std::runtime_error when the device refuses the command or does not
    /// answer in time ("Communication failed: ..." and similar texts) only when
    /// the exchange itself fails. Thread: one thread at a time per device, and
    /// not while a measurement of the manager runs (its worker owns the device);
    /// not from inside a callback.
    void setGain(int gain);
    /// Closes the USB transport; afterwards every exchange fails. Does not throw.
    /// Thread: one thread at a time per device, and not while a measurement of
    /// the manager runs (its worker owns the device); not from inside a callback.
    void disconnect();

    // Acquisition control.
    /// Puts the device into stand-by. Throws std::runtime_error when the device
    /// refuses the command or does not answer in time ("Communication failed:
    /// ..." and similar texts). Thread: one thread at a time per device, and not
    /// while a measurement of the manager runs (its worker owns the device); not
    /// from inside a callback.
    void standBy();
    /// Stops the device's acquisition. Throws std::runtime_error when the device
    /// refuses the command or does not answer in time ("Communication failed:
    /// ..." and similar texts). Thread: one thread at a time per device, and not
    /// while a measurement of the manager runs (its worker owns the device); not
    /// from inside a callback.
    void stopMeasure();
    /// Stops the device's acquisition as best effort: never throws, also when the
    /// device cannot be reached. Thread: one thread at a time per device, and not
    /// while a measurement of the manager runs (its worker owns the device); not
    /// from inside a callback.
    void cancelExposure();
    /// Starts one acquisition (updating the device clock when due). Throws
    /// std::runtime_error when the device refuses the command or does not answer
    /// in time ("Communication failed: ..." and similar texts). Thread: one
    /// thread at a time per device, and not while a measurement of the manager
    /// runs (its worker owns the device); not from inside a callback.
    void startMeasure();
    /// Starts exposureCount acquisitions with one command (updating the device
    /// clock when due). Throws std::runtime_error when the device refuses the
    /// command or does not answer in time ("Communication failed: ..." and
    /// similar texts). Thread: one thread at a time per device, and not while a
    /// measurement of the manager runs (its worker owns the device); not from
    /// inside a callback.
    void startMeasure(int exposureCount);
    /// Sets exposure time (microseconds) and averaging for the next acquisitions.
    /// Throws std::runtime_error when the device refuses the command or does not
    /// answer in time ("Communication failed: ..." and similar texts). Thread:
    /// one thread at a time per device, and not while a measurement of the
    /// manager runs (its worker owns the device); not from inside a callback.
    void setExposureParams(int exposureTime, int averaging);
    /// Sets the delay in microseconds between the trigger and the exposure.
    /// Throws std::runtime_error when the device refuses the command or does not
    /// answer in time ("Communication failed: ..." and similar texts). Thread:
    /// one thread at a time per device, and not while a measurement of the
    /// manager runs (its worker owns the device); not from inside a callback.
    void setDelayParams(int delay);
    /// Sets the trigger mode, in the encoding of the device's firmware
    /// generation; the device must be idle. Throws std::invalid_argument for an
    /// unknown mode, std::runtime_error when the device is not idle, refuses or
    /// does not answer. Thread: one thread at a time per device, and not while a
    /// measurement of the manager runs (its worker owns the device); not from
    /// inside a callback.
    void setTriggerMode(TriggerMode mode);
    /// The trigger configuration the device reports, in its own encoding. Throws
    /// std::runtime_error when the device refuses the command or does not answer
    /// in time ("Communication failed: ..." and similar texts). Thread: one
    /// thread at a time per device, and not while a measurement of the manager
    /// runs (its worker owns the device); not from inside a callback.
    TriggerConfig getTriggerMode();
    /// The device's state and the number of finished spectra waiting in it.
    /// Throws std::runtime_error when the device refuses the command or does not
    /// answer in time ("Communication failed: ..." and similar texts). Thread:
    /// one thread at a time per device, and not while a measurement of the
    /// manager runs (its worker owns the device); not from inside a callback.
    StatusInfo getStatusInfo();
    /// The device's state alone (getStatusInfo().status). Throws
    /// std::runtime_error when the device refuses the command or does not answer
    /// in time ("Communication failed: ..." and similar texts). Thread: one
    /// thread at a time per device, and not while a measurement of the manager
    /// runs (its worker owns the device); not from inside a callback.
    SpectrStatus getStatus();

    // Spectrum readout.
    /// Reads the oldest finished spectrum out of the device: one value per pixel,
    /// returned by value. Throws std::runtime_error when no spectrum is waiting,
    /// the record is malformed or the device does not answer. Thread: one thread
    /// at a time per device, and not while a measurement of the manager runs (its
    /// worker owns the device); not from inside a callback.
    std::vector<float> getSpectrum();
    /// As getSpectrum(), and sets the spectrum's time stamp from its header: time
    /// of day in 0.1 ms and days since 1970-01-01, on the device clock (host
    /// local time when it was last set). Written only on success.
    std::vector<float> getSpectrum(uint32_t& time01ms, uint32_t& dateDays);
    /// As getSpectrum(uint32_t&, uint32_t&), and also sets the exposure time
    /// (microseconds) and averaging the spectrum was taken with.
    std::vector<float> getSpectrum(uint32_t& time01ms, uint32_t& dateDays, uint32_t& exposureTimeUs,
                                   uint32_t& averaging);
    /// Reads the oldest finished spectrum with its whole header, for hosts that
    /// need more of it than its time stamp and settings (stream measurement).
    /// Throws std::runtime_error when the device refuses, has no spectrum
    /// waiting, or does not answer in time, or when the record fails its
    /// checks. Thread: one thread at a time per device, and not while a
    /// measurement of the manager runs (its worker owns the device); not from
    /// inside a callback.
    std::vector<float> getSpectrum(SpectrumHeader& header);
    /// Reads every finished spectrum waiting in the device, oldest first. A read
    /// that fails is logged; one that finds no answer ends the reading, so the
    /// result may hold fewer spectra than were counted. Throws std::runtime_error
    /// when the status query fails. Thread: one thread at a time per device, and
    /// not while a measurement of the manager runs (its worker owns the device);
    /// not from inside a callback.
    std::vector<std::vector<float>> getAllSpectrumData();
    /// Reads the oldest finished spectrum and drops it. Throws std::runtime_error
    /// when the device refuses the command or does not answer in time
    /// ("Communication failed: ..." and similar texts). Thread: one thread at a
    /// time per device, and not while a measurement of the manager runs (its
    /// worker owns the device); not from inside a callback.
    void discardSpectrum();

    /// Takes a dark spectrum with the current exposure settings, waits for it,
    /// then switches the device's dark subtraction on. Throws std::runtime_error
    /// when the device refuses, the dark acquisition does not end in time, or the
    /// device does not answer. Blocks for the exposure. Thread: one thread at a
    /// time per device, and not while a measurement of the manager runs (its
    /// worker owns the device); not from inside a callback.
    void takeDarkSpectrum();
    /// Switches the device's dark subtraction on or off. Throws
    /// std::runtime_error when the device refuses the command or does not answer
    /// in time ("Communication failed: ..." and similar texts). Thread: one
    /// thread at a time per device, and not while a measurement of the manager
    /// runs (its worker owns the device); not from inside a callback.
    void setSubtractDark(bool enable);

    /// Largest reply, in bytes, read for one command exchange.
    static const int MAX_RX_LENGTH;

    /// The serial number read at initialization (also in getParameters()). Read
    /// only.
    std::string m_serialNumber;

private:
    void initialize();
    std::string getSerialNumber();
    int getStartPixel();
    int getEndPixel();
    int getPixelCount();
    std::vector<float> readWavelengthsFromDevice();
    FirmwareVersion readSoftwareVersion();
    void updateTimeInDevice();
    void closeTransport();

    void setFreeRunningTrigger();
    void setHardwareRisingEdgeTrigger();
    void ensureIdleForConfiguration();
    uint32_t readTriggerWord();

    std::vector<uint8_t> readSpectrumRecord(const char* tooShortText, bool logDetails, SpectrumHeader& header);
    std::vector<float> decodePixels(const std::vector<uint8_t>& record) const;

    std::vector<uint8_t> sendReceiveMessage(uint32_t command_code);
    std::vector<uint8_t> sendReceiveMessage(uint32_t command_code, uint32_t parameter);
    std::vector<uint8_t> sendReceiveMessage(uint32_t command_code, const std::vector<uint8_t>& payload);
    std::vector<uint8_t> sendBulkReceiveMessage(const std::vector<uint8_t>& txData);
    std::vector<uint8_t> readBulkData(size_t expectedSize);

    int m_startPixel;
    int m_endPixel;
    size_t m_pixelCount;
    std::vector<float> m_wavelengths;
    std::unique_ptr<LibusbInterface> m_device;
    // A request was sent whose reply has not been read: it may still come.
    bool m_replyOverdue = false;
    bool m_subtractDark;
    bool m_hasDarkSpectrum;
    std::mutex m_darkSpectrumMutex;
    FirmwareVersion softwareVersion;
    std::chrono::system_clock::time_point nextTimeUpdate;
    // Local time minus UTC when the device clock was last set, valid once
    // m_clockSet is true; read by hosts on any thread (velmorhost.h).
    std::atomic<int32_t> m_clockUtcOffsetSeconds{0};
    std::atomic<bool> m_clockSet{false};

    friend class SpectrometerDeviceTestPeer;
    // Answers the host interface (velmorhost.h) from this class's memory,
    // so that the exported interface above stays as it is.
    friend class velmor_detail::DeviceFacts;
};
