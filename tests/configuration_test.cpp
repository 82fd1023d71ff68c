// Trigger mode, dark spectrum and dark subtraction fanned out to every
// device, or to one.

#include <velmor/vasklinkprotocol.h>

#include <gtest/gtest.h>

#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "support/recordingcallback.h"
#include "support/simulatedbench.h"
#include "support/streamcapture.h"
#include "support/testpeers.h"

using namespace velmorsim;

namespace {

constexpr char kIndexOutOfRange[] = "Device index out of range";

// The requests among `frames` that set the exposure or take a dark spectrum.
std::vector<std::string> exposureAndDarkRequests(const std::vector<std::vector<uint8_t>>& frames)
{
    std::vector<std::vector<uint8_t>> selected;
    const std::vector<uint32_t> codes = commandCodes(frames);
    for (size_t i = 0; i < frames.size(); ++i) {
        if (codes[i] == command::kSetExposureTime || codes[i] == command::kSetAveraging ||
            codes[i] == command::kTakeDark) {
            selected.push_back(frames[i]);
        }
    }
    return hexFrames(selected);
}

class Configuration : public ::testing::Test {
protected:
    void connect(int deviceCount)
    {
        std::vector<SpectrometerConfig> configs;
        for (int i = 0; i < deviceCount; ++i) {
            configs.push_back(SimulatedBench::fastConfig(i));
        }
        models = attachInPoolOrder(bench, configs);
        manager.connectDevice();
        ASSERT_TRUE(poolMatches(manager, configs));
        clearRequests();
        capture.clear();
    }

    void clearRequests()
    {
        for (const auto& model : models) {
            model->clearRequests();
        }
    }

    // Reads one spectrum of device `index` through the manager's pool and
    // returns what its header says about dark subtraction.
    std::string darkSubtractionOfNextSpectrum(size_t index)
    {
        models[index]->preloadSpectra(1);
        capture.clear();
        manager.getDevice(static_cast<int>(index))->getSpectrum();
        const auto lines = linesMatching(capture.out(), R"(  暗背景扣除 \(Dark Subtraction\): (.*))");
        return lines.size() == 1 ? lines[0][1] : "(no header line)";
    }

    SimulatedBench bench;
    std::vector<std::shared_ptr<SpectrometerModel>> models;
    StreamCapture capture;
    VaskLinkProtocol manager;
};

TEST_F(Configuration, TriggerModeSwitchesDevicesInIndexOrderUntilOneIsBusy)
{
    ASSERT_NO_FATAL_FAILURE(connect(3));
    models[1]->setStuckBusy(StuckBusy::Now);
    EXPECT_EQ(failureText([&] { manager.setTriggerMode(TriggerMode::EXTERNAL); }),
              "Cannot configure trigger: device not idle");
    EXPECT_TRUE(models[0]->state().hardwareTrigger);
    EXPECT_FALSE(models[1]->state().hardwareTrigger);
    EXPECT_EQ(commandCodes(models[1]->requests()), std::vector<uint32_t>{command::kGetStatus});
    EXPECT_FALSE(models[2]->state().hardwareTrigger);
    EXPECT_TRUE(models[2]->requests().empty());

    models[1]->clearFaults();
    manager.setTriggerMode(TriggerMode::EXTERNAL);
    for (int i = 0; i < 3; ++i) {
        EXPECT_TRUE(models[static_cast<size_t>(i)]->state().hardwareTrigger) << "device " << i;
        const TriggerConfig config = manager.getTriggerMode(i);
        EXPECT_EQ(config.mode, 2);
        EXPECT_EQ(config.edge, 0);
    }
    EXPECT_EQ(thrownText<std::out_of_range>([&] { manager.getTriggerMode(3); }), kIndexOutOfRange);
    EXPECT_EQ(thrownText<std::out_of_range>([&] { manager.getTriggerMode(-1); }), kIndexOutOfRange);

    manager.setTriggerMode(TriggerMode::SOFTWARE);
    for (const auto& model : models) {
        EXPECT_FALSE(model->state().hardwareTrigger);
    }
}

TEST_F(Configuration, WithoutDevicesEveryOperationRefuses)
{
    RecordingCallback callback;
    manager.stopMeasurement();
    EXPECT_EQ(capture.out(), "");
    EXPECT_EQ(capture.err(), "No devices connected to stop measurement.\n");
    EXPECT_TRUE(VaskLinkProtocolTestPeer::isStop(manager)) << "the stop flag is left alone";
    EXPECT_EQ(failureText([&] { manager.startMeasurement(&callback, 1000, 1, 0, 1); }), "No devices connected");
    EXPECT_EQ(failureText([&] { manager.startBatchMeasurement(&callback, 1000, 10, 1, 0); }), "No devices connected");
    EXPECT_EQ(occurrences(capture.err(), "No devices connected to stop measurement.\n"), 3u);

    capture.clear();
    EXPECT_EQ(failureText([&] { manager.setTriggerMode(TriggerMode::EXTERNAL); }), "No devices connected");
    EXPECT_EQ(failureText([&] { manager.takeDarkSpectrum(1000, 10, -1); }), "No devices connected");
    const std::string out = capture.out();
    EXPECT_EQ(out.substr(0, out.find('\n') + 1), "invoke VaskLinkProtocol takeDarkSpectrum\n");
    EXPECT_EQ(linesMatching(out, "addr exp=0x[0-9a-f]+ avg=0x[0-9a-f]+ dev=0x[0-9a-f]+").size(), 1u);
    EXPECT_EQ(occurrences(out, "\n"), 2u);
    EXPECT_EQ(failureText([&] { manager.setSubtractDark(true, -1); }), "No devices connected");
    EXPECT_EQ(thrownText<std::out_of_range>([&] { manager.getTriggerMode(0); }), kIndexOutOfRange);
}

TEST_F(Configuration, DarkSpectrumForAllDevicesSetsExposureFirstAndSkipsAFailingDevice)
{
    ASSERT_NO_FATAL_FAILURE(connect(2));
    models[0]->injectFault(command::kTakeDark, Fault::deviceError(returncode::kNotAllowed));
    manager.takeDarkSpectrum(1000, 10, -1);

    EXPECT_EQ(occurrences(capture.out(), "获取暗背景光谱：积分时间=1000，平均次数=10，设备索引=-1\n"), 2u);
    const std::vector<std::string> expected{"00 11 00 00 E8 03 00 00", "01 11 00 00 0A 00 00 00", "06 00 00 00"};
    EXPECT_EQ(exposureAndDarkRequests(models[0]->requests()), expected);
    EXPECT_EQ(exposureAndDarkRequests(models[1]->requests()), expected);
    EXPECT_EQ(occurrences(capture.err(), "设备 0 获取暗背景失败: Communication failed: This operation is currently not "
                                         "allowed. Device error (cmd:0x0006 ret:0x0400).\n"),
              1u);
    EXPECT_EQ(occurrences(capture.err(), "获取暗背景失败"), 1u);
    EXPECT_FALSE(models[0]->state().hasDarkSpectrum);
    EXPECT_TRUE(models[1]->state().hasDarkSpectrum);
    EXPECT_TRUE(models[1]->state().subtractDark);
}

TEST_F(Configuration, DarkSpectrumOfOneDeviceAndTheSubtractionSwitch)
{
    ASSERT_NO_FATAL_FAILURE(connect(2));
    manager.takeDarkSpectrum(1000, 10, 1);
    EXPECT_EQ(exposureAndDarkRequests(models[1]->requests()), std::vector<std::string>{"06 00 00 00"})
        << "the device keeps the exposure it has";
    EXPECT_TRUE(models[0]->requests().empty());
    EXPECT_EQ(occurrences(capture.out(), "获取暗背景光谱"), 0u);
    EXPECT_EQ(darkSubtractionOfNextSpectrum(1), "已应用");

    clearRequests();
    for (const int index : {2, -2}) {
        EXPECT_EQ(thrownText<std::out_of_range>([&] { manager.setSubtractDark(true, index); }), kIndexOutOfRange);
        EXPECT_EQ(thrownText<std::out_of_range>([&] { manager.takeDarkSpectrum(1000, 10, index); }),
                  kIndexOutOfRange);
    }
    EXPECT_TRUE(models[0]->requests().empty());
    EXPECT_TRUE(models[1]->requests().empty());

    capture.clear();
    models[0]->injectFault(command::kSetSubtractDark, Fault::deviceError(returncode::kNotAllowed));
    manager.setSubtractDark(false, -1);
    EXPECT_EQ(occurrences(capture.err(), "设备 0 设置暗背景扣除失败: Communication failed: "), 1u);
    EXPECT_EQ(occurrences(capture.err(), "设备 1 设置暗背景扣除失败"), 0u);
    EXPECT_FALSE(models[1]->state().subtractDark);
    EXPECT_EQ(darkSubtractionOfNextSpectrum(1), "未应用");
}

TEST_F(Configuration, TriggerModeReadWhileWorkersMeasureGetsItsOwnReply)
{
    connect(1);
    RecordingCallback callback;
    manager.startMeasurement(&callback, 1000, 1, 0, 40);
    std::vector<TriggerConfig> readings;
    while (VaskLinkProtocolTestPeer::measuring(manager, 0)) {
        readings.push_back(manager.getTriggerMode(0));
    }
    const TriggerConfig software = manager.getTriggerMode(0);
    ASSERT_FALSE(readings.empty());
    for (const TriggerConfig& reading : readings) {
        EXPECT_EQ(reading.mode, software.mode);
        EXPECT_EQ(reading.edge, software.edge);
    }
    EXPECT_EQ(callback.spectra().size(), 40u);
    EXPECT_TRUE(callback.errors().empty());
}

} // namespace
