#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "simulator/acquisition.h"
#include "simulator/deviceclock.h"
#include "simulator/fault.h"
#include "simulator/spectrumrecord.h"
#include "simulator/syntheticspectrum.h"
#include "simulator/usbfunction.h"

namespace velmorsim {

namespace command {
constexpr uint32_t kStandBy = 0x0001;
constexpr uint32_t kStartMeasure = 0x0004;
constexpr uint32_t kStopMeasure = 0x0005;
constexpr uint32_t kTakeDark = 0x0006;
constexpr uint32_t kGetTriggerConfig = 0x1004;
constexpr uint32_t kSetExposureTime = 0x1100;
constexpr uint32_t kSetAveraging = 0x1101;
constexpr uint32_t kSetTriggerConfig = 0x1104;
constexpr uint32_t kSetTriggerDelay = 0x1105;
constexpr uint32_t kSetting1106 = 0x1106;  // stored and reported, otherwise without effect
constexpr uint32_t kSetting1109 = 0x1109;  // likewise
constexpr uint32_t kSetGain = 0x110D;
constexpr uint32_t kSetSubtractDark = 0x110E;
constexpr uint32_t kGetSerialNumber = 0x2001;
constexpr uint32_t kGetFirmwareVersion = 0x2005;
constexpr uint32_t kGetPixelCount = 0x2007;
constexpr uint32_t kGetStartPixel = 0x2009;
constexpr uint32_t kGetEndPixel = 0x200A;
constexpr uint32_t kGetWavelengthCoefficient0 = 0x201C;  // coefficient i at 0x201C + i, i = 0..3
constexpr uint32_t kGetStatus = 0x3000;
constexpr uint32_t kReadSpectrum = 0x4000;
constexpr uint32_t kSetClock = 0x4105;
} // namespace command

namespace returncode {
constexpr uint32_t kSuccess = 0x0000;
constexpr uint32_t kUnknownCommand = 0x0100;
constexpr uint32_t kInvalidParameter = 0x0200;
constexpr uint32_t kNotAllowed = 0x0400;
constexpr uint32_t kNotSupported = 0x0500;
constexpr uint32_t kNoSpectrum = 0x0B00;
} // namespace returncode

struct FirmwareVersionValue {
    uint8_t major, minor, build, revision;
};

struct SpectrometerConfig {
    std::string serialNumber = "10001";  // numeric: hosts sort and convert serials as integers
    uint16_t startPixel = 0;
    uint16_t endPixel = 2047;
    uint16_t pixelCount = 2048;
    // c0 + c1 p + c2 p^2 + c3 p^3 nm for pixel index p: about 200 to 994 nm
    std::array<float, 4> wavelengthCoefficients{200.0f, 0.42f, -1.6e-5f, 1.0e-10f};
    FirmwareVersionValue firmware{4, 1, 7, 0};
    uint32_t initialTriggerWord = 0;
    std::size_t bufferCapacity = 1000;  // when full, a new spectrum pushes out the oldest
    double timeScale = 1.0;             // acquisitions run this many times faster than real time
    uint32_t darkDurationUs = 0;        // 0: the dark acquisition takes exposure x averaging
    bool highGainSupported = false;
    float sensorTemperature = 25.0f;
    double exposureScale = 1.0;  // brightness of the simulated lamp
    uint32_t noiseSeed = 1;
};

enum class StuckBusy {
    Off,
    Now,            // the status reads TakingSpectrum from now on
    AfterNextStop,  // ... from the next stand-by or stop command on
};

// What tests can observe of the device, taken at one instant.
struct DeviceState {
    DeviceStatus status = DeviceStatus::Idle;
    std::size_t availableSpectra = 0;
    uint64_t droppedSpectra = 0;  // pushed out of the full buffer
    uint64_t madeSpectra = 0;     // finished since power-on, dropped ones included
    uint64_t readSpectra = 0;     // handed to the host
    ClockStamp clock;
    bool clockSet = false;
    uint32_t triggerWord = 0;
    bool hardwareTrigger = false;  // as this firmware reads the trigger word
    uint32_t exposureTimeUs = 0;
    uint32_t averaging = 0;
    uint32_t delayUs = 0;
    uint32_t setting1106 = 0;
    uint32_t setting1109 = 0;
    int32_t gain = 0;  // last gain accepted
    bool subtractDark = false;
    bool hasDarkSpectrum = false;
};

// A simulated spectrometer as seen from its two bulk endpoints. Each request
// is answered at once from the state the device has reached by then; time
// only moves when someone looks, so no thread runs inside. One mutex guards
// everything: the bus thread and a test thread may call in concurrently.
// Like the instrument, it refuses to start an acquisition or a dark spectrum
// unless it is idle (kNotAllowed), but takes settings in any state; a running
// acquisition keeps the settings it started with.
class SpectrometerModel : public UsbFunction {
public:
    static constexpr uint32_t kDefaultExposureUs = 10000;

    // Throws std::invalid_argument for a time scale that is not positive or
    // more pixels than one reply can carry.
    explicit SpectrometerModel(SpectrometerConfig config = {});

    std::size_t receiveBulkOut(const std::vector<uint8_t>& data) override;
    // A reply longer than maxLength is delivered in pieces, as a bulk pipe would.
    std::optional<std::vector<uint8_t>> sendBulkIn(std::size_t maxLength) override;
    // Replies not yet sent are lost; the rest of the state is kept.
    void unplugged() override;

    // Rising edge on the hardware trigger input.
    void fireTrigger();

    // Fault injection. A rule strikes the next `times` requests it matches
    // (kForever: every one); the oldest matching rule goes first.
    void injectFault(uint32_t command, Fault fault, std::size_t times = 1);
    void injectFaultOnAnyCommand(Fault fault, std::size_t times = 1);
    void setDarkNeverEnds(bool neverEnds);
    void setStuckBusy(StuckBusy when);
    // Removes every fault rule and ends the acquisition faults.
    void clearFaults();

    // Puts finished spectra straight into the buffer, taken with the current
    // settings and stamped now.
    void preloadSpectra(std::size_t count);

    // Every request frame received, in order, partial writes included.
    std::vector<std::vector<uint8_t>> requests() const;
    void clearRequests();
    DeviceState state();
    std::vector<ClockStamp> waitingSpectrumStamps();

    const SpectrometerConfig& config() const { return mConfig; }
    const std::vector<float>& wavelengths() const { return mWavelengths; }

    // Distinct serials "10001", "10002", ... and distinct wavelength ranges
    // whose order is not the index order, so sorting by the first wavelength
    // shows. index >= 0.
    static SpectrometerConfig defaultConfig(int index);

private:
    using Reply = std::vector<uint8_t>;
    using Handler = Reply (SpectrometerModel::*)(const std::vector<uint8_t>& request, SteadyTime now);

    struct CommandEntry {
        uint32_t code;
        FirmwareVersionValue minFirmware;
        std::size_t bodyBytes;  // after the code: 0, a parameter or a payload
        Handler handler;
    };

    static const CommandEntry* findCommand(uint32_t code);

    void advance(SteadyTime now);
    Reply execute(const std::vector<uint8_t>& request, SteadyTime now);
    DeviceStatus reportedStatus() const;
    ExposureSettings currentSettings() const;
    bool hardwareTriggerSelected() const;
    uint32_t registerValue(uint32_t command) const { return mRegisters.at(command); }
    void subtractStoredDark(std::vector<float>& pixels, const DarkRecipe& dark) const;
    SpectrumHeader headerFor(const FinishedSpectrum& spectrum, const std::vector<float>& rawPixels) const;

    Reply stopAcquisition(const std::vector<uint8_t>& request, SteadyTime now);
    Reply startAcquisitions(const std::vector<uint8_t>& request, SteadyTime now);
    Reply startDark(const std::vector<uint8_t>& request, SteadyTime now);
    Reply storeRegister(const std::vector<uint8_t>& request, SteadyTime now);
    Reply triggerWord(const std::vector<uint8_t>& request, SteadyTime now);
    Reply setGain(const std::vector<uint8_t>& request, SteadyTime now);
    Reply setSubtractDark(const std::vector<uint8_t>& request, SteadyTime now);
    Reply serialNumber(const std::vector<uint8_t>& request, SteadyTime now);
    Reply firmwareVersion(const std::vector<uint8_t>& request, SteadyTime now);
    Reply pixelWord(const std::vector<uint8_t>& request, SteadyTime now);
    Reply wavelengthCoefficient(const std::vector<uint8_t>& request, SteadyTime now);
    Reply status(const std::vector<uint8_t>& request, SteadyTime now);
    Reply readSpectrum(const std::vector<uint8_t>& request, SteadyTime now);
    Reply setClock(const std::vector<uint8_t>& request, SteadyTime now);

    const SpectrometerConfig mConfig;
    const std::vector<float> mWavelengths;
    const SyntheticSpectrum mGenerator;

    mutable std::mutex mMutex;
    DeviceClock mClock;
    Acquisition mAcquisition;
    std::map<uint32_t, uint32_t> mRegisters;  // settings written by command, keyed by that command
    int32_t mGain = 0;
    StuckBusy mStuckBusy = StuckBusy::Off;
    FaultPlan mFaults;
    struct QueuedReply {
        Reply bytes;
        SteadyTime sendableAt;
    };
    std::deque<QueuedReply> mReplies;
    std::vector<std::vector<uint8_t>> mRequests;
};

} // namespace velmorsim
