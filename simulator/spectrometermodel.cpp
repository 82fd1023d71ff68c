#include "simulator/spectrometermodel.h"

#include <algorithm>
#include <functional>
#include <limits>
#include <stdexcept>
#include <tuple>
#include <utility>

#include "simulator/littleendian.h"

namespace velmorsim {

namespace {

constexpr std::size_t kCodeBytes = 4;
constexpr std::size_t kParameterBytes = 4;
constexpr std::size_t kClockPayloadBytes = 8;
constexpr std::size_t kLargestReply = 16492;
constexpr std::size_t kMostPixels = (kLargestReply - spectrumrecord::kPixelsOffset) / 4;

constexpr FirmwareVersionValue kAnyFirmware{0, 0, 0, 0};
constexpr FirmwareVersionValue kFirstFirmwareWithClock{4, 0, 7, 1};
constexpr FirmwareVersionValue kFirstFirmwareWithByteWiseTrigger{4, 1, 7, 0};

constexpr uint32_t kHardwareTriggerMode = 2;
constexpr uint32_t kLegacyHardwareTriggerBits = 0x6;

bool atLeast(const FirmwareVersionValue& version, const FirmwareVersionValue& minimum)
{
    return std::tie(version.major, version.minor, version.build, version.revision) >=
           std::tie(minimum.major, minimum.minor, minimum.build, minimum.revision);
}

std::optional<uint32_t> commandCode(const std::vector<uint8_t>& request)
{
    return request.size() >= kCodeBytes ? std::optional<uint32_t>(readLittleEndian32(request, 0)) : std::nullopt;
}

uint32_t parameterOf(const std::vector<uint8_t>& request) { return readLittleEndian32(request, kCodeBytes); }

std::vector<uint8_t> returnCodeOnly(uint32_t code) { return LittleEndianWriter().u32(code).take(); }

SpectrometerConfig validated(SpectrometerConfig config)
{
    if (!(config.timeScale > 0.0)) {
        throw std::invalid_argument("time scale must be positive");
    }
    if (config.pixelCount > kMostPixels) {
        throw std::invalid_argument("a spectrum of this many pixels does not fit in one reply");
    }
    return config;
}

LittleEndianWriter success()
{
    LittleEndianWriter writer;
    writer.u32(returncode::kSuccess);
    return writer;
}

} // namespace

SpectrometerModel::SpectrometerModel(SpectrometerConfig config)
    : mConfig(validated(std::move(config))),
      mWavelengths(wavelengthTable(mConfig.wavelengthCoefficients, mConfig.pixelCount)),
      mGenerator(mWavelengths, mConfig.exposureScale, mConfig.noiseSeed),
      mClock(std::chrono::steady_clock::now()),
      mAcquisition({mConfig.timeScale, mConfig.darkDurationUs, mConfig.bufferCapacity}),
      mRegisters{{command::kSetExposureTime, kDefaultExposureUs},
                 {command::kSetAveraging, 1},
                 {command::kSetTriggerConfig, mConfig.initialTriggerWord},
                 {command::kSetTriggerDelay, 0},
                 {command::kSetting1106, 0},
                 {command::kSetting1109, 0}}
{
}

const SpectrometerModel::CommandEntry* SpectrometerModel::findCommand(uint32_t code)
{
    using M = SpectrometerModel;
    static const CommandEntry commands[] = {
        {command::kStandBy, kAnyFirmware, 0, &M::stopAcquisition},
        {command::kStartMeasure, kAnyFirmware, kParameterBytes, &M::startAcquisitions},
        {command::kStopMeasure, kAnyFirmware, 0, &M::stopAcquisition},
        {command::kTakeDark, kAnyFirmware, 0, &M::startDark},
        {command::kGetTriggerConfig, kAnyFirmware, 0, &M::triggerWord},
        {command::kSetExposureTime, kAnyFirmware, kParameterBytes, &M::storeRegister},
        {command::kSetAveraging, kAnyFirmware, kParameterBytes, &M::storeRegister},
        {command::kSetTriggerConfig, kAnyFirmware, kParameterBytes, &M::storeRegister},
        {command::kSetTriggerDelay, kAnyFirmware, kParameterBytes, &M::storeRegister},
        {command::kSetting1106, kAnyFirmware, kParameterBytes, &M::storeRegister},
        {command::kSetting1109, kAnyFirmware, kParameterBytes, &M::storeRegister},
        {command::kSetGain, kAnyFirmware, kParameterBytes, &M::setGain},
        {command::kSetSubtractDark, kAnyFirmware, kParameterBytes, &M::setSubtractDark},
        {command::kGetSerialNumber, kAnyFirmware, 0, &M::serialNumber},
        {command::kGetFirmwareVersion, kAnyFirmware, 0, &M::firmwareVersion},
        {command::kGetPixelCount, kAnyFirmware, 0, &M::pixelWord},
        {command::kGetStartPixel, kAnyFirmware, 0, &M::pixelWord},
        {command::kGetEndPixel, kAnyFirmware, 0, &M::pixelWord},
        {command::kGetWavelengthCoefficient0 + 0, kAnyFirmware, 0, &M::wavelengthCoefficient},
        {command::kGetWavelengthCoefficient0 + 1, kAnyFirmware, 0, &M::wavelengthCoefficient},
        {command::kGetWavelengthCoefficient0 + 2, kAnyFirmware, 0, &M::wavelengthCoefficient},
        {command::kGetWavelengthCoefficient0 + 3, kAnyFirmware, 0, &M::wavelengthCoefficient},
        {command::kGetStatus, kAnyFirmware, 0, &M::status},
        {command::kReadSpectrum, kAnyFirmware, 0, &M::readSpectrum},
        {command::kSetClock, kFirstFirmwareWithClock, kClockPayloadBytes, &M::setClock},
    };
    const auto* found = std::find_if(std::begin(commands), std::end(commands),
                                     [code](const CommandEntry& entry) { return entry.code == code; });
    return found != std::end(commands) ? found : nullptr;
}

std::size_t SpectrometerModel::receiveBulkOut(const std::vector<uint8_t>& data)
{
    std::lock_guard<std::mutex> lock(mMutex);
    mRequests.push_back(data);
    const SteadyTime now = std::chrono::steady_clock::now();
    advance(now);

    const Fault fault = mFaults.take(commandCode(data)).value_or(Fault::none());
    Reply reply = fault.carriesOutCommand() ? execute(data, now) : Reply{};
    if (std::optional<Reply> shaped = fault.shapeReply(std::move(reply))) {
        mReplies.push_back({std::move(*shaped), now + fault.replyDelay()});
    }
    return std::min(data.size(), fault.acceptedRequestBytes().value_or(data.size()));
}

std::optional<std::vector<uint8_t>> SpectrometerModel::sendBulkIn(std::size_t maxLength)
{
    std::lock_guard<std::mutex> lock(mMutex);
    if (mReplies.empty() || mReplies.front().sendableAt > std::chrono::steady_clock::now()) {
        return std::nullopt;
    }
    Reply& next = mReplies.front().bytes;
    if (next.size() > maxLength) {
        Reply piece(next.begin(), next.begin() + static_cast<std::ptrdiff_t>(maxLength));
        next.erase(next.begin(), next.begin() + static_cast<std::ptrdiff_t>(maxLength));
        return piece;
    }
    Reply whole = std::move(next);
    mReplies.pop_front();
    return whole;
}

void SpectrometerModel::unplugged()
{
    std::lock_guard<std::mutex> lock(mMutex);
    mReplies.clear();
}

void SpectrometerModel::fireTrigger()
{
    std::lock_guard<std::mutex> lock(mMutex);
    const SteadyTime now = std::chrono::steady_clock::now();
    advance(now);
    mAcquisition.trigger(now);
}

void SpectrometerModel::injectFault(uint32_t command, Fault fault, std::size_t times)
{
    std::lock_guard<std::mutex> lock(mMutex);
    mFaults.add(command, std::move(fault), times);
}

void SpectrometerModel::injectFaultOnAnyCommand(Fault fault, std::size_t times)
{
    std::lock_guard<std::mutex> lock(mMutex);
    mFaults.add(std::nullopt, std::move(fault), times);
}

void SpectrometerModel::setDarkNeverEnds(bool neverEnds)
{
    std::lock_guard<std::mutex> lock(mMutex);
    // Settle what already happened under the old rule first.
    advance(std::chrono::steady_clock::now());
    mAcquisition.setDarkNeverEnds(neverEnds);
}

void SpectrometerModel::setStuckBusy(StuckBusy when)
{
    std::lock_guard<std::mutex> lock(mMutex);
    mStuckBusy = when;
}

void SpectrometerModel::clearFaults()
{
    std::lock_guard<std::mutex> lock(mMutex);
    mFaults.clear();
    mStuckBusy = StuckBusy::Off;
    mAcquisition.setDarkNeverEnds(false);
}

void SpectrometerModel::preloadSpectra(std::size_t count)
{
    std::lock_guard<std::mutex> lock(mMutex);
    const SteadyTime now = std::chrono::steady_clock::now();
    advance(now);
    mAcquisition.preload(count, currentSettings(), now, mClock);
}

std::vector<std::vector<uint8_t>> SpectrometerModel::requests() const
{
    std::lock_guard<std::mutex> lock(mMutex);
    return mRequests;
}

void SpectrometerModel::clearRequests()
{
    std::lock_guard<std::mutex> lock(mMutex);
    mRequests.clear();
}

DeviceState SpectrometerModel::state()
{
    std::lock_guard<std::mutex> lock(mMutex);
    const SteadyTime now = std::chrono::steady_clock::now();
    advance(now);
    DeviceState state;
    state.status = reportedStatus();
    state.availableSpectra = mAcquisition.waiting().size();
    state.droppedSpectra = mAcquisition.droppedSpectra();
    state.madeSpectra = mAcquisition.madeSpectra();
    state.readSpectra = mAcquisition.readSpectra();
    state.clock = mClock.readingAt(now);
    state.clockSet = mClock.wasSet();
    state.triggerWord = registerValue(command::kSetTriggerConfig);
    state.hardwareTrigger = hardwareTriggerSelected();
    state.exposureTimeUs = registerValue(command::kSetExposureTime);
    state.averaging = registerValue(command::kSetAveraging);
    state.delayUs = registerValue(command::kSetTriggerDelay);
    state.setting1106 = registerValue(command::kSetting1106);
    state.setting1109 = registerValue(command::kSetting1109);
    state.gain = mGain;
    state.subtractDark = mAcquisition.subtractDark();
    state.hasDarkSpectrum = mAcquisition.hasDarkSpectrum();
    return state;
}

std::vector<ClockStamp> SpectrometerModel::waitingSpectrumStamps()
{
    std::lock_guard<std::mutex> lock(mMutex);
    advance(std::chrono::steady_clock::now());
    std::vector<ClockStamp> stamps;
    for (const FinishedSpectrum& spectrum : mAcquisition.waiting()) {
        stamps.push_back(spectrum.stamp);
    }
    return stamps;
}

SpectrometerConfig SpectrometerModel::defaultConfig(int index)
{
    if (index < 0) {
        throw std::invalid_argument("device index must not be negative");
    }
    SpectrometerConfig config;
    config.serialNumber = std::to_string(10001 + index);
    // Neighbouring indices swap places in wavelength order: 230, 200, 290, 260, 350, 320 ... nm.
    config.wavelengthCoefficients[0] = 200.0f + 30.0f * static_cast<float>(index ^ 1);
    config.noiseSeed = static_cast<uint32_t>(index) + 1;
    config.sensorTemperature = 25.0f + 0.5f * static_cast<float>(index);
    config.exposureScale = 1.0 / (1.0 + 0.15 * index);
    return config;
}

void SpectrometerModel::advance(SteadyTime now) { mAcquisition.advanceTo(now, mClock); }

SpectrometerModel::Reply SpectrometerModel::execute(const std::vector<uint8_t>& request, SteadyTime now)
{
    const std::optional<uint32_t> code = commandCode(request);
    if (!code) {
        return returnCodeOnly(returncode::kInvalidParameter);
    }
    const CommandEntry* entry = findCommand(*code);
    if (entry == nullptr || !atLeast(mConfig.firmware, entry->minFirmware)) {
        return returnCodeOnly(returncode::kUnknownCommand);
    }
    if (request.size() != kCodeBytes + entry->bodyBytes) {
        return returnCodeOnly(returncode::kInvalidParameter);
    }
    return (this->*entry->handler)(request, now);
}

DeviceStatus SpectrometerModel::reportedStatus() const
{
    return mStuckBusy == StuckBusy::Now ? DeviceStatus::TakingSpectrum : mAcquisition.status();
}

ExposureSettings SpectrometerModel::currentSettings() const
{
    return {registerValue(command::kSetExposureTime), registerValue(command::kSetAveraging),
            registerValue(command::kSetTriggerDelay), hardwareTriggerSelected()};
}

bool SpectrometerModel::hardwareTriggerSelected() const
{
    const uint32_t word = registerValue(command::kSetTriggerConfig);
    if (atLeast(mConfig.firmware, kFirstFirmwareWithByteWiseTrigger)) {
        return (word & 0xFFu) == kHardwareTriggerMode;
    }
    return (word & kLegacyHardwareTriggerBits) == kLegacyHardwareTriggerBits;
}

void SpectrometerModel::subtractStoredDark(std::vector<float>& pixels, const DarkRecipe& dark) const
{
    const std::vector<float> darkPixels =
        mGenerator.dark(dark.settings.exposureUs, dark.settings.averaging, dark.sequence);
    std::transform(pixels.begin(), pixels.end(), darkPixels.begin(), pixels.begin(), std::minus<float>());
}

SpectrumHeader SpectrometerModel::headerFor(const FinishedSpectrum& spectrum, const std::vector<float>& rawPixels) const
{
    const float peak = rawPixels.empty() ? 0.0f : *std::max_element(rawPixels.begin(), rawPixels.end());
    SpectrumHeader header;
    header.exposureTime = spectrum.settings.exposureUs;
    header.averaging = spectrum.settings.averaging;
    header.time = spectrum.stamp.time01ms;
    header.date = spectrum.stamp.days;
    header.loadLevel = peak / SyntheticSpectrum::kFullScale;
    header.sensorTemperature = mConfig.sensorTemperature;
    header.pixelCount = mConfig.pixelCount;
    header.exposureSettings = spectrum.settings.hardwareTrigger ? spectrumrecord::kHardwareTriggered : 0;
    header.appliedProcessing = spectrum.subtractedDark ? spectrumrecord::kDarkSubtracted : 0;
    header.name = mConfig.serialNumber;
    header.darkAvg = mGenerator.darkLevel(spectrum.settings.exposureUs);
    header.readoutNoise = SyntheticSpectrum::kReadoutNoise;
    return header;
}

SpectrometerModel::Reply SpectrometerModel::stopAcquisition(const std::vector<uint8_t>&, SteadyTime)
{
    mAcquisition.stop();
    if (mStuckBusy == StuckBusy::AfterNextStop) {
        mStuckBusy = StuckBusy::Now;
    }
    return returnCodeOnly(returncode::kSuccess);
}

SpectrometerModel::Reply SpectrometerModel::startAcquisitions(const std::vector<uint8_t>& request, SteadyTime now)
{
    if (reportedStatus() != DeviceStatus::Idle) {
        return returnCodeOnly(returncode::kNotAllowed);
    }
    const auto count = static_cast<int32_t>(parameterOf(request));
    if (count > 0) {
        mAcquisition.start(static_cast<uint32_t>(count), currentSettings(), now);
    }
    return returnCodeOnly(returncode::kSuccess);
}

SpectrometerModel::Reply SpectrometerModel::startDark(const std::vector<uint8_t>&, SteadyTime now)
{
    if (reportedStatus() != DeviceStatus::Idle) {
        return returnCodeOnly(returncode::kNotAllowed);
    }
    mAcquisition.startDark(currentSettings(), now);
    return returnCodeOnly(returncode::kSuccess);
}

SpectrometerModel::Reply SpectrometerModel::storeRegister(const std::vector<uint8_t>& request, SteadyTime)
{
    mRegisters[readLittleEndian32(request, 0)] = parameterOf(request);
    return returnCodeOnly(returncode::kSuccess);
}

SpectrometerModel::Reply SpectrometerModel::triggerWord(const std::vector<uint8_t>&, SteadyTime)
{
    return success().u32(registerValue(command::kSetTriggerConfig)).take();
}

SpectrometerModel::Reply SpectrometerModel::setGain(const std::vector<uint8_t>& request, SteadyTime)
{
    const auto gain = static_cast<int32_t>(parameterOf(request));
    if (gain != 0 && !mConfig.highGainSupported) {
        return returnCodeOnly(returncode::kNotSupported);
    }
    mGain = gain;
    return returnCodeOnly(returncode::kSuccess);
}

SpectrometerModel::Reply SpectrometerModel::setSubtractDark(const std::vector<uint8_t>& request, SteadyTime)
{
    const uint32_t enable = parameterOf(request);
    if (enable > 1) {
        return returnCodeOnly(returncode::kInvalidParameter);
    }
    mAcquisition.setSubtractDark(enable == 1);
    return returnCodeOnly(returncode::kSuccess);
}

SpectrometerModel::Reply SpectrometerModel::serialNumber(const std::vector<uint8_t>&, SteadyTime)
{
    return success().fixedText(mConfig.serialNumber, mConfig.serialNumber.size() + 1).take();
}

SpectrometerModel::Reply SpectrometerModel::firmwareVersion(const std::vector<uint8_t>&, SteadyTime)
{
    const FirmwareVersionValue& version = mConfig.firmware;
    return success().u8(version.revision).u8(version.build).u8(version.minor).u8(version.major).take();
}

SpectrometerModel::Reply SpectrometerModel::pixelWord(const std::vector<uint8_t>& request, SteadyTime)
{
    const std::map<uint32_t, uint16_t> words{{command::kGetPixelCount, mConfig.pixelCount},
                                             {command::kGetStartPixel, mConfig.startPixel},
                                             {command::kGetEndPixel, mConfig.endPixel}};
    // Padded to a whole 32-bit word, as the device lays out every field.
    return success().u16(words.at(readLittleEndian32(request, 0))).u16(0).take();
}

SpectrometerModel::Reply SpectrometerModel::wavelengthCoefficient(const std::vector<uint8_t>& request, SteadyTime)
{
    const uint32_t index = readLittleEndian32(request, 0) - command::kGetWavelengthCoefficient0;
    return success().f32(mConfig.wavelengthCoefficients.at(index)).take();
}

SpectrometerModel::Reply SpectrometerModel::status(const std::vector<uint8_t>&, SteadyTime)
{
    const std::size_t available = std::min<std::size_t>(mAcquisition.waiting().size(),
                                                        std::numeric_limits<uint16_t>::max());
    return success()
        .u8(static_cast<uint8_t>(reportedStatus()))
        .u16(static_cast<uint16_t>(available))
        .u8(0)
        .take();
}

SpectrometerModel::Reply SpectrometerModel::readSpectrum(const std::vector<uint8_t>&, SteadyTime)
{
    const std::optional<FinishedSpectrum> spectrum = mAcquisition.takeOldest();
    if (!spectrum) {
        return returnCodeOnly(returncode::kNoSpectrum);
    }
    const ExposureSettings& settings = spectrum->settings;
    std::vector<float> pixels = mGenerator.lit(settings.exposureUs, settings.averaging, spectrum->sequence);
    const SpectrumHeader header = headerFor(*spectrum, pixels);
    if (spectrum->subtractedDark) {
        subtractStoredDark(pixels, *spectrum->subtractedDark);
    }
    return encodeSpectrumRecord(header, pixels);
}

SpectrometerModel::Reply SpectrometerModel::setClock(const std::vector<uint8_t>& request, SteadyTime now)
{
    const ClockStamp value{readLittleEndian32(request, kCodeBytes + 4), readLittleEndian32(request, kCodeBytes)};
    if (value.time01ms >= kTicksPerDay) {
        return returnCodeOnly(returncode::kInvalidParameter);
    }
    mClock.set(value, now);
    return returnCodeOnly(returncode::kSuccess);
}

} // namespace velmorsim
