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

// How an acquisition is started.
enum class TriggerMode : int {
    SOFTWARE = 0, // free running, started by command
    EXTERNAL = 1, // rising edge on the hardware trigger input
};

// Trigger configuration in the device's own encoding: mode 0 is free
// running, 2 is hardware trigger; edge 0 is the rising edge.
struct TriggerConfig {
    uint8_t mode = 0;
    uint8_t edge = 0;
    uint16_t reserved = 0;
};

// Device state as reported by the status word. Values without a name are
// passed on unchanged.
enum class SpectrStatus : int {
    Idle = 0,
    WaitingForTrigger = 1,
    TakingSpectrum = 2,
    WaitingForTemperature = 3,
    PoweredOff = 8,
    SleepMode = 9,
    NotConnected = 10,
};

struct StatusInfo {
    SpectrStatus status = SpectrStatus::NotConnected;
    uint16_t availableSpectra = 0; // finished spectra waiting in the device
};

struct FirmwareVersion {
    uint8_t major;
    uint8_t minor;
    uint8_t build;
    uint8_t revision;

    constexpr FirmwareVersion(uint8_t majorPart, uint8_t minorPart, uint8_t buildPart, uint8_t revisionPart)
        : major{majorPart}, minor{minorPart}, build{buildPart}, revision{revisionPart}
    {
    }

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

    std::string toString() const
    {
        return std::to_string(major) + "." + std::to_string(minor) + "." + std::to_string(build) + "." +
               std::to_string(revision);
    }
};

// Lowest firmware that accepts the clock command.
inline constexpr FirmwareVersion minFirmwareDateTime{4, 0, 7, 1};
// Lowest firmware with the byte-wise trigger configuration word.
inline constexpr FirmwareVersion minFirmwareNewTriggering{4, 1, 7, 0};

// Identity of one spectrometer, as read at initialization.
struct SpectrometerParameters {
    std::string serialNumber;
    int startPixel = 0;
    int endPixel = 0;
    size_t pixelCount = 0;
    std::vector<float> wavelengths; // nm per pixel
};

// The 64-byte header of a spectrum record, laid out as on the wire.
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

// One connected spectrometer: frames commands, decodes replies and device
// errors, initializes the device and reads its spectra. Takes no lock around
// its exchanges; callers use one device from one thread at a time.
class VELMOR_EXPORT SpectrometerDevice {
public:
    // Takes ownership of the transport and initializes the device.
    explicit SpectrometerDevice(std::unique_ptr<LibusbInterface> device);
    ~SpectrometerDevice();

    SpectrometerDevice(const SpectrometerDevice&) = delete;
    SpectrometerDevice& operator=(const SpectrometerDevice&) = delete;

    // Identity, answered from memory.
    SpectrometerParameters getParameters() const;
    std::vector<float> getWavelength();

    void setGain(int gain);
    void disconnect();

    // Acquisition control.
    void standBy();
    void stopMeasure();
    void cancelExposure();
    void startMeasure();
    void startMeasure(int exposureCount);
    void setExposureParams(int exposureTime, int averaging);
    void setDelayParams(int delay);
    void setTriggerMode(TriggerMode mode);
    TriggerConfig getTriggerMode();
    StatusInfo getStatusInfo();
    SpectrStatus getStatus();

    // Spectrum readout.
    std::vector<float> getSpectrum();
    std::vector<float> getSpectrum(uint32_t& time01ms, uint32_t& dateDays);
    std::vector<float> getSpectrum(uint32_t& time01ms, uint32_t& dateDays, uint32_t& exposureTimeUs,
                                   uint32_t& averaging);
    // The whole header of the spectrum read, for hosts that need more of it
    // than its time stamp and settings (stream measurement).
    std::vector<float> getSpectrum(SpectrumHeader& header);
    std::vector<std::vector<float>> getAllSpectrumData();
    void discardSpectrum();

    // Dark spectrum, subtracted by the device itself.
    void takeDarkSpectrum();
    void setSubtractDark(bool enable);

    static const int MAX_RX_LENGTH;

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
