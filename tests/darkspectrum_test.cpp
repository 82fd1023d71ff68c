// Dark spectrum and subtraction: the dark acquisition's command sequence,
// polling and failures, the subtraction switch, and its effect on the
// spectra the device delivers afterwards.

#include "support/simulatedbench.h"
#include "support/streamcapture.h"
#include "support/testpeers.h"

#include <gtest/gtest.h>

#include <numeric>
#include <regex>

using namespace velmorsim;
using Peer = SpectrometerDeviceTestPeer;
using Bytes = std::vector<uint8_t>;
using Frames = std::vector<std::string>;

namespace {

const std::string kStatusRequest = "00 30 00 00";
const Frames kDarkStart{"06 11 00 00 00 00 00 00", "06 00 00 00"};

Bytes statusReply(uint8_t status) { return {0, 0, 0, 0, status, 0, 0, 0}; }

Frames concat(Frames frames, const Frames& more)
{
    frames.insert(frames.end(), more.begin(), more.end());
    return frames;
}

class DarkSpectrumTest : public ::testing::Test {
protected:
    void SetUp() override { spectrometer = connectQuietly(bench, device); }

    Frames takeFrames() { return ::takeFrames(*device.model); }

    // One software-triggered spectrum, read with getSpectrum() and its log.
    std::vector<float> measureOne(std::string& log)
    {
        spectrometer->startMeasure(1);
        EXPECT_TRUE(waitUntil([&] {
            const StatusInfo info = spectrometer->getStatusInfo();
            return info.status == SpectrStatus::Idle && info.availableSpectra > 0;
        }));
        StreamCapture capture;
        std::vector<float> pixels = spectrometer->getSpectrum();
        log = capture.out();
        return pixels;
    }

    SimulatedBench bench;
    SimulatedBench::Attached device = bench.attach();
    std::unique_ptr<SpectrometerDevice> spectrometer;
};

double mean(const std::vector<float>& values)
{
    return std::accumulate(values.begin(), values.end(), 0.0) / static_cast<double>(values.size());
}

double loggedDarkAverage(const std::string& log)
{
    std::smatch match;
    return std::regex_search(log, match, std::regex("暗电流平均值: (\\S+)\n")) ? std::stod(match[1].str()) : -1.0;
}

} // namespace

TEST_F(DarkSpectrumTest, TakeDarkSpectrumPollsUntilTheAcquisitionEndsThenSubtracts)
{
    device.model->injectFault(command::kGetStatus, Fault::fixedReply(statusReply(2)), 3);
    StreamCapture capture;
    const auto start = std::chrono::steady_clock::now();
    spectrometer->takeDarkSpectrum();
    // Four polls, each after 100 ms.
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(400));

    EXPECT_EQ(capture.out(), "Taking dark spectrum...\n暗光谱采集命令已发送\n暗光谱采集完成\n暗背景扣除已启用\n");
    EXPECT_EQ(takeFrames(), concat(kDarkStart, {kStatusRequest, kStatusRequest, kStatusRequest, kStatusRequest,
                                                "0E 11 00 00 01 00 00 00", "06 11 00 00 01 00 00 00"}));
    EXPECT_TRUE(Peer::subtractDark(*spectrometer));
    const DeviceState state = device.model->state();
    EXPECT_TRUE(state.hasDarkSpectrum);
    EXPECT_TRUE(state.subtractDark);
    EXPECT_EQ(state.setting1106, 1u);
}

TEST_F(DarkSpectrumTest, AnyStatusButTakingSpectrumEndsThePoll)
{
    StreamCapture quiet;
    for (const uint8_t status : {1, 8, 0x37}) {
        SCOPED_TRACE(static_cast<int>(status));
        device.model->injectFault(command::kGetStatus, Fault::fixedReply(statusReply(status)));
        spectrometer->takeDarkSpectrum();
        EXPECT_EQ(takeFrames(), concat(kDarkStart, {kStatusRequest, "0E 11 00 00 01 00 00 00",
                                                    "06 11 00 00 01 00 00 00"}));
    }

    device.model->injectFault(command::kGetStatus, Fault::shortReply(7));
    EXPECT_EQ(failureText([&] { spectrometer->takeDarkSpectrum(); }), "Status response too short");
    EXPECT_EQ(takeFrames(), concat(kDarkStart, {kStatusRequest}));
}

TEST_F(DarkSpectrumTest, RefusedDarkCommandStopsBeforeAnyPoll)
{
    for (const uint8_t code : {0x02, 0x2b}) {
        const std::string hex = code == 0x02 ? "2" : "2b";
        device.model->injectFault(command::kTakeDark, Fault::lowByteReturnCode(code));
        StreamCapture capture;
        EXPECT_EQ(failureText([&] { spectrometer->takeDarkSpectrum(); }), "TakeDarkSpectrum failed, returnCode=0x" + hex);
        std::cout << 26 << std::endl;
        EXPECT_EQ(capture.out(), "Taking dark spectrum...\n暗光谱采集命令发送失败，错误码: " + hex + "\n26\n");
        EXPECT_EQ(takeFrames(), kDarkStart);
        EXPECT_FALSE(Peer::subtractDark(*spectrometer));
        // Let the dark acquisition the device started anyway run out.
        EXPECT_TRUE(waitUntil([&] { return device.model->state().status == DeviceStatus::Idle; }));
    }

    // Exchange failures pass through unchanged.
    StreamCapture quiet;
    device.model->injectFault(command::kTakeDark, Fault::deviceError(0x0400));
    EXPECT_EQ(failureText([&] { spectrometer->takeDarkSpectrum(); }),
              "Communication failed: This operation is currently not allowed. Device error (cmd:0x0006 ret:0x0400).");
}

TEST_F(DarkSpectrumTest, RefusedSubtractionKeepsTheEarlierSetting)
{
    for (const bool earlier : {false, true}) {
        SCOPED_TRACE(earlier);
        {
            StreamCapture quiet;
            spectrometer->setSubtractDark(earlier);
        }
        takeFrames();
        device.model->injectFault(command::kSetSubtractDark, Fault::lowByteReturnCode(0x0a));
        StreamCapture capture;
        EXPECT_EQ(failureText([&] { spectrometer->takeDarkSpectrum(); }), "SetSubtractDark failed, returnCode=0xa");
        std::cout << 26 << std::endl;
        EXPECT_EQ(capture.out(), "Taking dark spectrum...\n暗光谱采集命令已发送\n暗光谱采集完成\n"
                                 "启用暗背景扣除失败，错误码: a\n26\n");
        EXPECT_EQ(takeFrames(), concat(kDarkStart, {kStatusRequest, "0E 11 00 00 01 00 00 00"}));
        EXPECT_EQ(Peer::subtractDark(*spectrometer), earlier);
    }
}

TEST_F(DarkSpectrumTest, DarkAcquisitionThatNeverEndsTimesOutSlow)
{
    device.model->setDarkNeverEnds(true);
    StreamCapture capture;
    EXPECT_EQ(failureText([&] { spectrometer->takeDarkSpectrum(); }), "暗光谱采集超时");
    EXPECT_EQ(capture.out(), "Taking dark spectrum...\n暗光谱采集命令已发送\n暗光谱采集超时\n");
    EXPECT_EQ(takeFrames(), concat(kDarkStart, Frames(1001, kStatusRequest)));
    EXPECT_FALSE(Peer::subtractDark(*spectrometer));
}

TEST_F(DarkSpectrumTest, SetSubtractDarkSendsTheSwitchAndLogsIt)
{
    StreamCapture capture;
    spectrometer->setSubtractDark(true);
    EXPECT_TRUE(device.model->state().subtractDark);
    spectrometer->setSubtractDark(false);
    EXPECT_FALSE(device.model->state().subtractDark);
    // A low-byte return code is not looked at.
    device.model->injectFault(command::kSetSubtractDark, Fault::lowByteReturnCode(5));
    spectrometer->setSubtractDark(true);
    EXPECT_EQ(takeFrames(), (Frames{"0E 11 00 00 01 00 00 00", "0E 11 00 00 00 00 00 00", "0E 11 00 00 01 00 00 00"}));
    EXPECT_EQ(capture.out(), "暗背景扣除设置为: 启用\n暗背景扣除设置为: 禁用\n暗背景扣除设置为: 启用\n");
    EXPECT_EQ(capture.err(), "");

    // The setting is recorded even when the command fails.
    capture.clear();
    device.model->injectFault(command::kSetSubtractDark, Fault::deviceError(0x0200));
    const std::string refused =
        "Communication failed: Invalid parameter sent to device. Device error (cmd:0x110e ret:0x0200).";
    EXPECT_EQ(failureText([&] { spectrometer->setSubtractDark(false); }), refused);
    EXPECT_FALSE(Peer::subtractDark(*spectrometer));
    spectrometer->disconnect();
    EXPECT_EQ(failureText([&] { spectrometer->setSubtractDark(true); }), "Communication failed: Device not open");
    EXPECT_TRUE(Peer::subtractDark(*spectrometer));
    EXPECT_EQ(capture.out(), "");
    EXPECT_EQ(capture.err(), "设置暗背景扣除失败: " + refused + "\n设置暗背景扣除失败: Communication failed: Device not open\n");
}

TEST_F(DarkSpectrumTest, LaterSpectraComeWithTheDarkOffsetRemoved)
{
    std::string log;
    const double plain = mean(measureOne(log));
    EXPECT_NE(log.find("  暗背景扣除 (Dark Subtraction): 未应用\n"), std::string::npos);
    const double darkLevel = loggedDarkAverage(log);
    ASSERT_GT(darkLevel, 0.0) << log;

    {
        StreamCapture quiet;
        spectrometer->takeDarkSpectrum();
    }
    const double subtracted = mean(measureOne(log));
    EXPECT_NE(log.find("  暗背景扣除 (Dark Subtraction): 已应用\n"), std::string::npos) << log;
    EXPECT_NEAR(plain - subtracted, darkLevel, 0.02 * darkLevel);

    {
        StreamCapture quiet;
        spectrometer->setSubtractDark(false);
    }
    EXPECT_NEAR(mean(measureOne(log)), plain, 0.02 * darkLevel);
    EXPECT_NE(log.find("  暗背景扣除 (Dark Subtraction): 未应用\n"), std::string::npos);
}
