#include "simulator/spectrometermodel.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstring>
#include <functional>
#include <thread>

#include "simulator/littleendian.h"
#include "simulator/spectrumrecord.h"

using namespace velmorsim;
using namespace std::chrono_literals;

namespace {

using Bytes = std::vector<uint8_t>;

constexpr std::size_t kHostReadLength = 16492;
constexpr std::size_t kFullRecordSize = spectrumrecord::kPixelsOffset + std::size_t{4} * 2048;

Bytes frame(uint32_t code) { return LittleEndianWriter().u32(code).take(); }
Bytes frame(uint32_t code, uint32_t parameter) { return LittleEndianWriter().u32(code).u32(parameter).take(); }
Bytes clockFrame(uint32_t time01ms, uint32_t days)
{
    return LittleEndianWriter().u32(command::kSetClock).u32(time01ms).u32(days).take();
}

// One request and one read, as the host's command exchange does.
std::optional<Bytes> roundTrip(SpectrometerModel& model, const Bytes& request)
{
    model.receiveBulkOut(request);
    return model.sendBulkIn(kHostReadLength);
}

Bytes reply(SpectrometerModel& model, const Bytes& request)
{
    std::optional<Bytes> answer = roundTrip(model, request);
    EXPECT_TRUE(answer.has_value());
    return answer.value_or(Bytes{});
}

uint32_t returnCodeOf(SpectrometerModel& model, const Bytes& request)
{
    return readLittleEndian32(reply(model, request), 0);
}

uint16_t u16At(const Bytes& bytes, std::size_t offset)
{
    return static_cast<uint16_t>(bytes.at(offset) | bytes.at(offset + 1) << 8);
}

float floatAt(const Bytes& bytes, std::size_t offset)
{
    const uint32_t bits = readLittleEndian32(bytes, offset);
    float value = 0.0f;
    std::memcpy(&value, &bits, sizeof value);
    return value;
}

float pixelAt(const Bytes& record, std::size_t pixel)
{
    return floatAt(record, spectrumrecord::kPixelsOffset + 4 * pixel);
}

std::size_t pixelNearest(const SpectrometerModel& model, float nm)
{
    const std::vector<float>& table = model.wavelengths();
    const auto closest = std::min_element(table.begin(), table.end(),
                                          [nm](float a, float b) { return std::fabs(a - nm) < std::fabs(b - nm); });
    return static_cast<std::size_t>(closest - table.begin());
}

SpectrometerConfig fastConfig()
{
    SpectrometerConfig config;
    config.timeScale = 100.0;
    return config;
}

// Polls like a host would; the deadline only keeps a broken model from hanging the suite.
bool eventually(const std::function<bool()>& condition)
{
    const auto deadline = std::chrono::steady_clock::now() + 5s;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline) {
            return false;
        }
        std::this_thread::sleep_for(1ms);
    }
    return true;
}

bool becomesIdle(SpectrometerModel& model)
{
    return eventually([&] { return model.state().status == DeviceStatus::Idle; });
}

} // namespace

TEST(SpectrometerModelProtocol, AnswersIdentityCommandsByteExact)
{
    SpectrometerModel model;
    EXPECT_EQ(reply(model, frame(command::kGetSerialNumber)), (Bytes{0, 0, 0, 0, '1', '0', '0', '0', '1', 0}));
    EXPECT_EQ(reply(model, frame(command::kGetFirmwareVersion)), (Bytes{0, 0, 0, 0, 0, 7, 1, 4}));
    EXPECT_EQ(reply(model, frame(command::kGetPixelCount)), (Bytes{0, 0, 0, 0, 0x00, 0x08, 0, 0}));
    EXPECT_EQ(reply(model, frame(command::kGetStartPixel)), (Bytes{0, 0, 0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(reply(model, frame(command::kGetEndPixel)), (Bytes{0, 0, 0, 0, 0xFF, 0x07, 0, 0}));
    EXPECT_EQ(reply(model, frame(command::kGetWavelengthCoefficient0)), (Bytes{0, 0, 0, 0, 0x00, 0x00, 0x48, 0x43}));
    EXPECT_EQ(floatAt(reply(model, frame(command::kGetWavelengthCoefficient0 + 2)), 4), -1.6e-5f);
    EXPECT_EQ(model.requests().front(), (Bytes{0x01, 0x20, 0x00, 0x00}));
    EXPECT_EQ(model.requests().size(), 7u);
}

TEST(SpectrometerModelProtocol, RefusesUnknownCommandsAndMalformedRequests)
{
    SpectrometerModel model;
    EXPECT_EQ(reply(model, frame(0x9999)), (Bytes{0x00, 0x01, 0x00, 0x00}));
    EXPECT_EQ(returnCodeOf(model, frame(command::kSetExposureTime)), returncode::kInvalidParameter);
    EXPECT_EQ(returnCodeOf(model, frame(command::kGetSerialNumber, 1)), returncode::kInvalidParameter);
    EXPECT_EQ(returnCodeOf(model, Bytes{0x01, 0x20}), returncode::kInvalidParameter);
    EXPECT_EQ(returnCodeOf(model, frame(command::kSetSubtractDark, 2)), returncode::kInvalidParameter);
}

TEST(SpectrometerModelProtocol, GainOtherThanZeroNeedsHighGainSupport)
{
    SpectrometerModel plain;
    EXPECT_EQ(returnCodeOf(plain, frame(command::kSetGain, 0)), returncode::kSuccess);
    EXPECT_EQ(returnCodeOf(plain, frame(command::kSetGain, 1)), returncode::kNotSupported);

    SpectrometerConfig config;
    config.highGainSupported = true;
    SpectrometerModel highGain(config);
    EXPECT_EQ(returnCodeOf(highGain, frame(command::kSetGain, 1)), returncode::kSuccess);
    EXPECT_EQ(highGain.state().gain, 1);
}

TEST(SpectrometerModelProtocol, LongReplyLeavesTheDeviceInPieces)
{
    SpectrometerModel model;
    model.preloadSpectra(1);
    model.receiveBulkOut(frame(command::kReadSpectrum));
    EXPECT_EQ(model.sendBulkIn(512)->size(), 512u);
    EXPECT_EQ(model.sendBulkIn(kHostReadLength)->size(), kFullRecordSize - 512);
    EXPECT_FALSE(model.sendBulkIn(kHostReadLength).has_value());
}

TEST(SpectrometerModelClock, SetClockRunsOnInRealTimeAndStampsSpectra)
{
    SpectrometerModel model(fastConfig());
    EXPECT_FALSE(model.state().clockSet);
    EXPECT_EQ(model.state().clock.days, 0u);

    EXPECT_EQ(reply(model, clockFrame(12340, 11017)), (Bytes{0, 0, 0, 0}));
    const DeviceState justSet = model.state();
    EXPECT_TRUE(justSet.clockSet);
    EXPECT_EQ(justSet.clock.days, 11017u);
    EXPECT_GE(justSet.clock.time01ms, 12340u);
    // Runs at wall speed, not at the simulation's hundredfold speed.
    std::this_thread::sleep_for(20ms);
    const uint32_t later = model.state().clock.time01ms;
    EXPECT_GE(later, 12340u + 200);
    EXPECT_LT(later, 12340u + 20000);

    model.preloadSpectra(1);
    EXPECT_EQ(model.waitingSpectrumStamps().front().days, 11017u);
}

TEST(SpectrometerModelClock, ClockCommandNeedsFirmware4071AndATimeBeforeMidnight)
{
    SpectrometerConfig old;
    old.firmware = {4, 0, 7, 0};
    SpectrometerModel tooOld(old);
    EXPECT_EQ(returnCodeOf(tooOld, clockFrame(0, 1)), returncode::kUnknownCommand);

    old.firmware = {4, 0, 7, 1};
    SpectrometerModel firstWithClock(old);
    EXPECT_EQ(returnCodeOf(firstWithClock, clockFrame(0, 1)), returncode::kSuccess);
    EXPECT_EQ(returnCodeOf(firstWithClock, clockFrame(kTicksPerDay, 1)), returncode::kInvalidParameter);
}

TEST(DeviceClockTest, WrapsAtMidnightAndNeverRepeatsASpectrumStamp)
{
    const SteadyTime t0{};
    DeviceClock clock(t0);
    clock.set({5, kTicksPerDay - 5}, t0);
    EXPECT_EQ(clock.readingAt(t0 + 1ms), (ClockStamp{6, 5}));

    clock.set({5, kTicksPerDay - 1}, t0);
    EXPECT_EQ(clock.nextSpectrumStamp(t0), (ClockStamp{5, kTicksPerDay - 1}));
    EXPECT_EQ(clock.nextSpectrumStamp(t0), (ClockStamp{6, 0}));

    // Setting the clock back is honoured rather than hidden by the bump.
    clock.set({5, 100}, t0);
    EXPECT_EQ(clock.nextSpectrumStamp(t0), (ClockStamp{5, 100}));
}

TEST(SpectrometerModelTrigger, NewFirmwareReadsTheModeFromTheLowByte)
{
    SpectrometerConfig config;
    config.initialTriggerWord = 0x00AB0100;
    SpectrometerModel model(config);
    EXPECT_EQ(reply(model, frame(command::kGetTriggerConfig)), (Bytes{0, 0, 0, 0, 0x00, 0x01, 0xAB, 0x00}));
    EXPECT_FALSE(model.state().hardwareTrigger);

    EXPECT_EQ(returnCodeOf(model, frame(command::kSetTriggerConfig, 0x00AB0002)), returncode::kSuccess);
    EXPECT_TRUE(model.state().hardwareTrigger);
    EXPECT_EQ(readLittleEndian32(reply(model, frame(command::kGetTriggerConfig)), 4), 0x00AB0002u);
}

TEST(SpectrometerModelTrigger, OlderFirmwareNeedsBothBitsOneAndTwo)
{
    SpectrometerConfig config;
    config.firmware = {4, 1, 6, 0};
    SpectrometerModel model(config);
    const auto hardwareWith = [&](uint32_t word) {
        reply(model, frame(command::kSetTriggerConfig, word));
        return model.state().hardwareTrigger;
    };
    EXPECT_TRUE(hardwareWith(0xF7));
    EXPECT_FALSE(hardwareWith(0xF1));
    EXPECT_FALSE(hardwareWith(0x04));
    EXPECT_FALSE(hardwareWith(0x02));  // mode 2 in the newer encoding means nothing here
    EXPECT_EQ(model.state().triggerWord, 0x02u);
}

TEST(SpectrometerModelTrigger, HardwareTriggerAcquisitionWaitsForEachEdge)
{
    SpectrometerModel model(fastConfig());
    reply(model, frame(command::kSetTriggerConfig, 2));
    reply(model, frame(command::kSetExposureTime, 100));
    reply(model, frame(command::kStartMeasure, 2));
    std::this_thread::sleep_for(5ms);
    EXPECT_EQ(model.state().status, DeviceStatus::WaitingForTrigger);
    EXPECT_EQ(model.state().availableSpectra, 0u);

    model.fireTrigger();
    ASSERT_TRUE(eventually([&] { return model.state().availableSpectra == 1; }));
    EXPECT_EQ(model.state().status, DeviceStatus::WaitingForTrigger);
    model.fireTrigger();
    ASSERT_TRUE(becomesIdle(model));
    EXPECT_EQ(model.state().availableSpectra, 2u);
    EXPECT_EQ(u16At(reply(model, frame(command::kReadSpectrum)), spectrumrecord::kExposureSettingsOffset),
              spectrumrecord::kHardwareTriggered);
}

TEST(SpectrometerModelAcquisition, StatusGoesFromTakingSpectrumToIdleWithTheSpectrumWaiting)
{
    SpectrometerModel model(fastConfig());
    reply(model, clockFrame(0, 20000));
    reply(model, frame(command::kSetExposureTime, 10'000'000));  // 2 x 10 s at 100x: 200 ms
    reply(model, frame(command::kSetAveraging, 2));
    reply(model, frame(command::kStartMeasure, 1));
    EXPECT_EQ(reply(model, frame(command::kGetStatus)), (Bytes{0, 0, 0, 0, 2, 0, 0, 0}));
    EXPECT_EQ(returnCodeOf(model, frame(command::kStartMeasure, 1)), returncode::kNotAllowed);

    ASSERT_TRUE(becomesIdle(model));
    EXPECT_EQ(reply(model, frame(command::kGetStatus)), (Bytes{0, 0, 0, 0, 0, 1, 0, 0}));
    const Bytes record = reply(model, frame(command::kReadSpectrum));
    ASSERT_EQ(record.size(), kFullRecordSize);
    EXPECT_EQ(readLittleEndian32(record, spectrumrecord::kExposureTimeOffset), 10'000'000u);
    EXPECT_EQ(readLittleEndian32(record, spectrumrecord::kAveragingOffset), 2u);
    EXPECT_EQ(readLittleEndian32(record, spectrumrecord::kDateOffset), 20000u);
    EXPECT_EQ(u16At(record, spectrumrecord::kPixelCountOffset), 2048u);
    EXPECT_EQ(record[spectrumrecord::kDataFormatOffset], 0u);
    EXPECT_EQ(record[spectrumrecord::kVersionNumberOffset], 0u);
    EXPECT_EQ(u16At(record, spectrumrecord::kAppliedProcessingOffset), 0u);
    EXPECT_STREQ(reinterpret_cast<const char*>(&record[spectrumrecord::kNameOffset]), "10001");
    EXPECT_EQ(reply(model, frame(command::kReadSpectrum)), (Bytes{0x00, 0x0B, 0x00, 0x00}));
}

TEST(SpectrometerModelAcquisition, SeveralAcquisitionsGetStrictlyIncreasingStamps)
{
    SpectrometerModel model(fastConfig());
    reply(model, frame(command::kSetExposureTime, 1));  // far below the clock's 0.1 ms resolution
    reply(model, frame(command::kStartMeasure, 5));
    ASSERT_TRUE(becomesIdle(model));
    const std::vector<ClockStamp> stamps = model.waitingSpectrumStamps();
    ASSERT_EQ(stamps.size(), 5u);
    EXPECT_TRUE(std::is_sorted(stamps.begin(), stamps.end()));
    EXPECT_EQ(std::adjacent_find(stamps.begin(), stamps.end()), stamps.end());
}

TEST(SpectrometerModelAcquisition, FullBufferDropsTheOldestSpectra)
{
    SpectrometerConfig config = fastConfig();
    config.bufferCapacity = 5;
    SpectrometerModel model(config);
    model.preloadSpectra(3);
    const ClockStamp firstPreloaded = model.waitingSpectrumStamps().front();
    reply(model, frame(command::kSetExposureTime, 10));
    reply(model, frame(command::kStartMeasure, 20));
    ASSERT_TRUE(becomesIdle(model));

    EXPECT_EQ(reply(model, frame(command::kGetStatus)), (Bytes{0, 0, 0, 0, 0, 5, 0, 0}));
    EXPECT_EQ(model.state().droppedSpectra, 18u);
    EXPECT_LT(firstPreloaded, model.waitingSpectrumStamps().front());
    reply(model, frame(command::kReadSpectrum));
    EXPECT_EQ(model.state().madeSpectra, 23u) << "made = read + dropped + waiting";
    EXPECT_EQ(model.state().readSpectra, 1u);
}

TEST(SpectrometerModelAcquisition, StopCancelsWhatIsUnfinishedAndKeepsWhatIsDone)
{
    SpectrometerModel model(fastConfig());
    model.preloadSpectra(2);
    reply(model, frame(command::kSetExposureTime, 3'000'000'000u));
    reply(model, frame(command::kStartMeasure, 3));
    EXPECT_EQ(model.state().status, DeviceStatus::TakingSpectrum);
    EXPECT_EQ(returnCodeOf(model, frame(command::kStopMeasure)), returncode::kSuccess);
    EXPECT_EQ(model.state().status, DeviceStatus::Idle);
    EXPECT_EQ(model.state().availableSpectra, 2u);

    reply(model, frame(command::kStartMeasure, 0));
    reply(model, frame(command::kStartMeasure, 0xFFFFFFFF));  // -1
    EXPECT_EQ(model.state().status, DeviceStatus::Idle);
}

TEST(SpectrometerModelSpectrum, ShowsTheLampContinuumWithSharpMercuryLines)
{
    SpectrometerModel model;
    model.preloadSpectra(1);
    const Bytes record = reply(model, frame(command::kReadSpectrum));
    const std::size_t line = pixelNearest(model, 546.07f);
    EXPECT_GT(pixelAt(record, line), 2 * pixelAt(record, line + 15));
    EXPECT_GT(pixelAt(record, pixelNearest(model, 700.0f)), 5000.0f);
    EXPECT_NEAR(pixelAt(record, 0), 1000.0f, 100.0f);  // no lamp light at 200 nm: the dark offset
    EXPECT_GT(floatAt(record, spectrumrecord::kLoadLevelOffset), 0.2f);
    EXPECT_LE(floatAt(record, spectrumrecord::kLoadLevelOffset), 1.0f);
}

TEST(SpectrometerModelDark, DarkSpectrumIsSubtractedFromSpectraFinishedAfterwards)
{
    SpectrometerConfig config = fastConfig();
    config.darkDurationUs = 1'000'000;
    SpectrometerModel model(config);
    model.preloadSpectra(1);

    EXPECT_EQ(reply(model, frame(command::kTakeDark)), (Bytes{0, 0, 0, 0}));
    EXPECT_EQ(model.state().status, DeviceStatus::TakingSpectrum);
    ASSERT_TRUE(becomesIdle(model));
    EXPECT_TRUE(model.state().hasDarkSpectrum);
    EXPECT_EQ(returnCodeOf(model, frame(command::kSetSubtractDark, 1)), returncode::kSuccess);
    model.preloadSpectra(1);

    const Bytes before = reply(model, frame(command::kReadSpectrum));
    const Bytes after = reply(model, frame(command::kReadSpectrum));
    EXPECT_EQ(u16At(before, spectrumrecord::kAppliedProcessingOffset), 0u);
    EXPECT_EQ(u16At(after, spectrumrecord::kAppliedProcessingOffset), spectrumrecord::kDarkSubtracted);
    EXPECT_NEAR(pixelAt(before, 0), 1000.0f, 100.0f);
    EXPECT_NEAR(pixelAt(after, 0), 0.0f, 60.0f);
    const std::size_t line = pixelNearest(model, 546.07f);
    EXPECT_NEAR(pixelAt(after, line), pixelAt(before, line) - 1000.0f, 600.0f);
}

TEST(SpectrometerModelFaults, ReplyFaultsStrikeTheirCommandAsOftenAsAsked)
{
    SpectrometerModel model;
    const Bytes version = reply(model, frame(command::kGetFirmwareVersion));

    model.injectFault(command::kGetFirmwareVersion, Fault::lowByteReturnCode(7));
    EXPECT_EQ(reply(model, frame(command::kGetFirmwareVersion)), (Bytes{7, 0, 0, 0, 0, 7, 1, 4}));
    EXPECT_EQ(reply(model, frame(command::kGetFirmwareVersion)), version);

    model.injectFault(command::kGetFirmwareVersion, Fault::shortReply(6), 2);
    EXPECT_EQ(reply(model, frame(command::kGetFirmwareVersion)).size(), 6u);
    EXPECT_EQ(reply(model, frame(command::kGetFirmwareVersion)).size(), 6u);
    EXPECT_EQ(reply(model, frame(command::kGetFirmwareVersion)), version);

    model.injectFaultOnAnyCommand(Fault::emptyReply(), kForever);
    EXPECT_EQ(reply(model, frame(command::kGetStatus)), Bytes{});
    EXPECT_EQ(reply(model, frame(0x9999)), Bytes{});
    model.clearFaults();

    model.injectFault(command::kGetStatus, Fault::garbage(10));
    EXPECT_EQ(reply(model, frame(command::kGetStatus)).size(), 10u);
    model.injectFault(command::kGetStatus, Fault::fixedReply({1, 2, 3}));
    EXPECT_EQ(reply(model, frame(command::kGetStatus)), (Bytes{1, 2, 3}));
    model.injectFault(command::kGetStatus, Fault::editReply([](Bytes& bytes) { bytes[4] = 9; }));
    EXPECT_EQ(reply(model, frame(command::kGetStatus)), (Bytes{0, 0, 0, 0, 9, 0, 0, 0}));
}

TEST(SpectrometerModelFaults, DeviceErrorAndPartialWriteLeaveTheCommandUndone)
{
    SpectrometerModel model;
    model.injectFault(command::kSetSubtractDark, Fault::deviceError(0x12345));
    EXPECT_EQ(reply(model, frame(command::kSetSubtractDark, 1)), (Bytes{0x45, 0x23, 0x01, 0x00}));
    EXPECT_FALSE(model.state().subtractDark);

    model.injectFault(command::kSetSubtractDark, Fault::partialWrite(3));
    EXPECT_EQ(model.receiveBulkOut(frame(command::kSetSubtractDark, 1)), 3u);
    EXPECT_FALSE(model.sendBulkIn(kHostReadLength).has_value());
    EXPECT_FALSE(model.state().subtractDark);

    // A lost reply is different: the device did the work.
    model.injectFault(command::kSetSubtractDark, Fault::noReply());
    EXPECT_FALSE(roundTrip(model, frame(command::kSetSubtractDark, 1)).has_value());
    EXPECT_TRUE(model.state().subtractDark);
}

TEST(SpectrometerModelFaults, SpectrumRecordCorruptions)
{
    SpectrometerModel model;
    model.preloadSpectra(4);
    model.injectFault(command::kReadSpectrum, Fault::spectrumPixelCount(2047));
    EXPECT_EQ(u16At(reply(model, frame(command::kReadSpectrum)), spectrumrecord::kPixelCountOffset), 2047u);
    model.injectFault(command::kReadSpectrum, Fault::spectrumVersionNumber(1));
    EXPECT_EQ(reply(model, frame(command::kReadSpectrum))[spectrumrecord::kVersionNumberOffset], 1u);
    model.injectFault(command::kReadSpectrum, Fault::spectrumDataFormat(3));
    EXPECT_EQ(reply(model, frame(command::kReadSpectrum))[spectrumrecord::kDataFormatOffset], 3u);
    model.injectFault(command::kReadSpectrum, Fault::truncatedSpectrum(1));
    EXPECT_EQ(reply(model, frame(command::kReadSpectrum)).size(), kFullRecordSize - 1);

    model.injectFault(command::kReadSpectrum, Fault::spectrumVersionNumber(1));
    EXPECT_EQ(reply(model, frame(command::kReadSpectrum)), (Bytes{0x00, 0x0B, 0x00, 0x00}));
}

TEST(SpectrometerModelFaults, AcquisitionThatNeverFinishes)
{
    SpectrometerConfig config = fastConfig();
    config.darkDurationUs = 1000;
    SpectrometerModel model(config);
    model.setDarkNeverEnds(true);
    reply(model, frame(command::kTakeDark));
    std::this_thread::sleep_for(5ms);
    EXPECT_EQ(model.state().status, DeviceStatus::TakingSpectrum);
    model.clearFaults();
    EXPECT_EQ(model.state().status, DeviceStatus::Idle);
    EXPECT_TRUE(model.state().hasDarkSpectrum);

    model.setStuckBusy(StuckBusy::AfterNextStop);
    EXPECT_EQ(model.state().status, DeviceStatus::Idle);
    reply(model, frame(command::kStandBy));
    EXPECT_EQ(model.state().status, DeviceStatus::TakingSpectrum);
    EXPECT_EQ(returnCodeOf(model, frame(command::kStartMeasure, 1)), returncode::kNotAllowed);
    model.clearFaults();
    EXPECT_EQ(model.state().status, DeviceStatus::Idle);
}

TEST(SpectrometerModelConcurrency, BusAndTestThreadsMayCallInAtTheSameTime)
{
    SpectrometerModel model(fastConfig());
    reply(model, frame(command::kSetTriggerConfig, 2));
    reply(model, frame(command::kSetExposureTime, 10));
    std::thread bus([&] {
        for (int i = 0; i < 300; ++i) {
            roundTrip(model, frame(command::kStartMeasure, 1));
            roundTrip(model, frame(command::kGetStatus));
            roundTrip(model, frame(command::kReadSpectrum));
        }
    });
    for (int i = 0; i < 300; ++i) {
        model.fireTrigger();
        model.injectFault(command::kGetStatus, Fault::noReply());
        model.preloadSpectra(1);
        model.state();
    }
    bus.join();
    EXPECT_EQ(model.requests().size(), 2u + 900u);
}

TEST(SpectrometerModelDefaults, DevicesDifferInSerialAndWavelengthOrder)
{
    std::vector<std::string> serials;
    std::vector<float> firstWavelengths;
    for (int i = 0; i < 4; ++i) {
        const SpectrometerConfig config = SpectrometerModel::defaultConfig(i);
        serials.push_back(config.serialNumber);
        firstWavelengths.push_back(config.wavelengthCoefficients[0]);
    }
    EXPECT_EQ(serials, (std::vector<std::string>{"10001", "10002", "10003", "10004"}));
    EXPECT_FALSE(std::is_sorted(firstWavelengths.begin(), firstWavelengths.end()));
    std::sort(firstWavelengths.begin(), firstWavelengths.end());
    EXPECT_EQ(std::adjacent_find(firstWavelengths.begin(), firstWavelengths.end()), firstWavelengths.end());
}
