// Acquisition control: the frames of the start, stop and exposure commands,
// the trigger configuration on both firmware generations, the idle check,
// status decoding, and real acquisitions through the simulated device.

#include "support/simulatedbench.h"

#include <gtest/gtest.h>

#include <stdexcept>

using namespace velmorsim;
using Bytes = std::vector<uint8_t>;
using Frames = std::vector<std::string>;

namespace {

class AcquisitionTest : public ::testing::Test {
protected:
    std::unique_ptr<SpectrometerDevice> connect(SpectrometerConfig config = SimulatedBench::fastConfig())
    {
        device = bench.attach(config);
        return connectQuietly(bench, device);
    }

    std::unique_ptr<SpectrometerDevice> connectWithTriggerWord(FirmwareVersionValue firmware, uint32_t word)
    {
        SpectrometerConfig config = SimulatedBench::fastConfig();
        config.firmware = firmware;
        config.initialTriggerWord = word;
        return connect(config);
    }

    Frames takeFrames() { return ::takeFrames(*device.model); }

    void replyToTriggerQuery(uint32_t word)
    {
        device.model->injectFault(command::kGetTriggerConfig,
                                  Fault::fixedReply({0, 0, 0, 0, static_cast<uint8_t>(word), static_cast<uint8_t>(word >> 8),
                                                     static_cast<uint8_t>(word >> 16), static_cast<uint8_t>(word >> 24)}));
    }

    StatusInfo statusFromReply(const Bytes& reply, SpectrometerDevice& spectrometer)
    {
        device.model->injectFault(command::kGetStatus, Fault::fixedReply(reply));
        return spectrometer.getStatusInfo();
    }

    SimulatedBench bench;
    SimulatedBench::Attached device;
};

} // namespace

TEST_F(AcquisitionTest, CommandsAreFramedByteForByte)
{
    const auto spectrometer = connect();
    spectrometer->standBy();
    spectrometer->startMeasure();
    spectrometer->stopMeasure();
    spectrometer->startMeasure(5);
    spectrometer->cancelExposure();
    spectrometer->startMeasure(-2); // passed on unchanged
    spectrometer->setExposureParams(-1, 3);
    spectrometer->setDelayParams(250);
    EXPECT_EQ(takeFrames(), (Frames{"01 00 00 00", "04 00 00 00 01 00 00 00", "05 00 00 00",
                                    "04 00 00 00 05 00 00 00", "05 00 00 00", "04 00 00 00 FE FF FF FF",
                                    "00 11 00 00 FF FF FF FF", "01 11 00 00 03 00 00 00", "00 30 00 00",
                                    "05 11 00 00 FA 00 00 00"}));
}

TEST_F(AcquisitionTest, TriggerSettersOnByteWiseFirmware)
{
    const auto spectrometer = connectWithTriggerWord({4, 1, 7, 0}, 0x00AB0102);
    spectrometer->setTriggerMode(TriggerMode::SOFTWARE);
    EXPECT_EQ(takeFrames(), (Frames{"00 30 00 00", "04 10 00 00", "04 11 00 00 00 01 AB 00", "06 11 00 00 00 00 00 00",
                                    "09 11 00 00 00 00 00 00"}));
    EXPECT_EQ(device.model->state().triggerWord, 0x00AB0100u);

    replyToTriggerQuery(0x00AB0102);
    spectrometer->setTriggerMode(TriggerMode::EXTERNAL);
    EXPECT_EQ(takeFrames(), (Frames{"00 30 00 00", "04 10 00 00", "04 11 00 00 02 00 AB 00", "05 11 00 00 00 00 00 00",
                                    "06 11 00 00 01 00 00 00", "09 11 00 00 00 00 00 00"}));
    EXPECT_TRUE(device.model->state().hardwareTrigger);

    replyToTriggerQuery(0xFFFF0102);
    const TriggerConfig config = spectrometer->getTriggerMode();
    EXPECT_EQ(config.mode, 2);
    EXPECT_EQ(config.edge, 1);
    EXPECT_EQ(config.reserved, 0);
}

TEST_F(AcquisitionTest, TriggerSettersOnOlderFirmware)
{
    const auto spectrometer = connectWithTriggerWord({4, 1, 6, 0}, 0x000000F1);
    spectrometer->setTriggerMode(TriggerMode::EXTERNAL);
    EXPECT_EQ(takeFrames(), (Frames{"00 30 00 00", "04 10 00 00", "04 11 00 00 F7 00 00 00", "05 11 00 00 00 00 00 00",
                                    "06 11 00 00 01 00 00 00", "09 11 00 00 00 00 00 00"}));
    EXPECT_EQ(spectrometer->getTriggerMode().mode, 2);
    takeFrames();

    for (const uint32_t word : {0x000000F7u, 0x000000F1u}) {
        replyToTriggerQuery(word);
        spectrometer->setTriggerMode(TriggerMode::SOFTWARE);
        EXPECT_EQ(takeFrames().at(2), "04 11 00 00 F1 00 00 00");
    }

    struct Case {
        uint32_t word;
        uint8_t mode;
    };
    for (const Case c : {Case{0x00000004, 0}, Case{0x00000002, 0}, Case{0x00000006, 2}, Case{0x00000102, 0}}) {
        replyToTriggerQuery(c.word);
        const TriggerConfig config = spectrometer->getTriggerMode();
        EXPECT_EQ(config.mode, c.mode) << std::hex << c.word;
        EXPECT_EQ(config.edge, 0);
        EXPECT_EQ(config.reserved, 0);
    }
}

TEST_F(AcquisitionTest, ConfigurationIsRefusedBeforeAnySettingIsSent)
{
    const auto spectrometer = connect();

    try {
        spectrometer->setTriggerMode(static_cast<TriggerMode>(2));
        ADD_FAILURE() << "no exception";
    } catch (const std::invalid_argument& e) {
        EXPECT_STREQ(e.what(), "Unsupported trigger mode");
    }
    EXPECT_TRUE(takeFrames().empty());

    device.model->injectFault(command::kGetTriggerConfig, Fault::shortReply(7));
    EXPECT_EQ(failureText([&] { spectrometer->setTriggerMode(TriggerMode::EXTERNAL); }),
              "Trigger mode response too short");
    EXPECT_EQ(takeFrames(), (Frames{"00 30 00 00", "04 10 00 00"}));
    device.model->injectFault(command::kGetTriggerConfig, Fault::shortReply(7));
    EXPECT_EQ(failureText([&] { spectrometer->getTriggerMode(); }), "Trigger mode response too short");

    device.model->injectFault(command::kGetStatus, Fault::shortReply(7));
    EXPECT_EQ(failureText([&] { spectrometer->setDelayParams(10); }), "Status response too short");
    EXPECT_EQ(takeFrames(), (Frames{"04 10 00 00", "00 30 00 00"}));

    // Busy: a hardware-triggered run waits for its edge, with spectra unread.
    device.model->preloadSpectra(2);
    spectrometer->setTriggerMode(TriggerMode::EXTERNAL);
    spectrometer->startMeasure(1);
    takeFrames();
    const std::string refusal = "Cannot configure device while status=1 availableSpectra=2";
    EXPECT_EQ(failureText([&] { spectrometer->setTriggerMode(TriggerMode::SOFTWARE); }), refusal);
    EXPECT_EQ(failureText([&] { spectrometer->setDelayParams(10); }), refusal);
    EXPECT_EQ(takeFrames(), (Frames{"00 30 00 00", "00 30 00 00"}));

    // Exposure settings need no idle device.
    spectrometer->setExposureParams(2000, 2);
    EXPECT_EQ(device.model->state().exposureTimeUs, 2000u);

    // Only the status counts: an idle device with unread spectra may be configured.
    spectrometer->stopMeasure();
    spectrometer->setDelayParams(10);
    EXPECT_EQ(device.model->state().delayUs, 10u);
}

TEST_F(AcquisitionTest, StatusWordIsDecoded)
{
    const auto spectrometer = connect();
    StatusInfo info = statusFromReply({0, 0, 0, 0, 0x02, 0x03, 0x00, 0x7F}, *spectrometer);
    EXPECT_EQ(info.status, SpectrStatus::TakingSpectrum);
    EXPECT_EQ(info.availableSpectra, 3);
    info = statusFromReply({0, 0, 0, 0, 0x00, 0x34, 0x12, 0x00}, *spectrometer);
    EXPECT_EQ(info.status, SpectrStatus::Idle);
    EXPECT_EQ(info.availableSpectra, 0x1234);
    info = statusFromReply({0, 0, 0, 0, 0x05, 0xFF, 0xFF, 0xFF, 0xAA}, *spectrometer);
    EXPECT_EQ(static_cast<int>(info.status), 5);
    EXPECT_EQ(info.availableSpectra, 0xFFFF);

    device.model->injectFault(command::kGetStatus, Fault::fixedReply({0, 0, 0, 0, 0x09, 0, 0, 0}));
    EXPECT_EQ(spectrometer->getStatus(), SpectrStatus::SleepMode);
    device.model->injectFault(command::kGetStatus, Fault::shortReply(7));
    EXPECT_EQ(failureText([&] { spectrometer->getStatusInfo(); }), "Status response too short");
}

TEST_F(AcquisitionTest, CancelExposureSwallowsFailuresStopMeasureDoesNot)
{
    const auto spectrometer = connect();
    device.model->injectFault(command::kStopMeasure, Fault::deviceError(0x0400));
    EXPECT_NO_THROW(spectrometer->cancelExposure());
    device.model->injectFault(command::kStopMeasure, Fault::emptyReply());
    EXPECT_NO_THROW(spectrometer->cancelExposure());

    spectrometer->disconnect();
    EXPECT_NO_THROW(spectrometer->cancelExposure());
    EXPECT_EQ(failureText([&] { spectrometer->stopMeasure(); }), "Communication failed: Device not open");
}

TEST_F(AcquisitionTest, SoftwareTriggeredRunGoesThroughTakingSpectrumToIdle)
{
    const auto spectrometer = connect();
    spectrometer->setTriggerMode(TriggerMode::SOFTWARE);
    // 10 s of simulated exposure each: 100 ms of real time per spectrum.
    spectrometer->setExposureParams(10000000, 1);
    spectrometer->startMeasure(3);

    bool sawTakingSpectrum = false;
    StatusInfo info;
    EXPECT_TRUE(waitUntil([&] {
        info = spectrometer->getStatusInfo();
        sawTakingSpectrum = sawTakingSpectrum || info.status == SpectrStatus::TakingSpectrum;
        return info.status == SpectrStatus::Idle;
    }));
    EXPECT_TRUE(sawTakingSpectrum);
    EXPECT_EQ(info.availableSpectra, 3);

    uint32_t time = 0, date = 0, exposure = 0, averaging = 0;
    EXPECT_EQ(spectrometer->getSpectrum(time, date, exposure, averaging).size(), 2048u);
    EXPECT_EQ(exposure, 10000000u);
    EXPECT_EQ(averaging, 1u);
    EXPECT_EQ(spectrometer->getStatusInfo().availableSpectra, 2);
}

TEST_F(AcquisitionTest, HardwareTriggeredRunWaitsForEachEdge)
{
    const auto spectrometer = connect();
    spectrometer->setTriggerMode(TriggerMode::EXTERNAL);
    spectrometer->startMeasure(2);

    StatusInfo info = spectrometer->getStatusInfo();
    EXPECT_EQ(info.status, SpectrStatus::WaitingForTrigger);
    EXPECT_EQ(info.availableSpectra, 0);

    device.model->fireTrigger();
    EXPECT_TRUE(waitUntil([&] { return spectrometer->getStatusInfo().availableSpectra == 1; }));
    EXPECT_EQ(spectrometer->getStatus(), SpectrStatus::WaitingForTrigger);

    device.model->fireTrigger();
    EXPECT_TRUE(waitUntil([&] { return spectrometer->getStatus() == SpectrStatus::Idle; }));
    EXPECT_EQ(spectrometer->getStatusInfo().availableSpectra, 2);
}
