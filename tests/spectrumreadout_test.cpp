// Spectrum readout: the checks of a spectrum record in their order and with
// each form's texts, the values handed back, the header log of getSpectrum(),
// reading all waiting spectra, and discarding one.

#include "support/simulatedbench.h"
#include "support/streamcapture.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <ctime>
#include <iterator>
#include <regex>

#include "simulator/spectrumrecord.h"

using namespace velmorsim;
using Bytes = std::vector<uint8_t>;
using Frames = std::vector<std::string>;
namespace record = velmorsim::spectrumrecord;

namespace {

constexpr uint32_t kUntouched = 0xDEADBEEF;

// Writes a header field in place (hosts and device are both little-endian).
template <typename T>
void put(Bytes& reply, size_t offset, T value)
{
    std::memcpy(reply.data() + offset, &value, sizeof value);
}

std::string localTimestamp(std::chrono::system_clock::time_point when)
{
    const std::time_t seconds = std::chrono::system_clock::to_time_t(when);
    std::tm local{};
    localtime_r(&seconds, &local);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &local);
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(when.time_since_epoch()).count() % 1000;
    char withMs[40];
    std::snprintf(withMs, sizeof withMs, "%s.%03d", text, static_cast<int>(ms));
    return withMs;
}

// Sets every header field to a known value, keeping PixelCount.
Fault knownHeader(uint16_t appliedProcessing)
{
    return Fault::editReply([appliedProcessing](Bytes& reply) {
        put<uint32_t>(reply, record::kExposureTimeOffset, 12345);
        put<uint32_t>(reply, record::kAveragingOffset, 3);
        put<uint32_t>(reply, record::kTimeOffset, 456789012);
        put<uint32_t>(reply, record::kDateOffset, 19876);
        put(reply, record::kLoadLevelOffset, 0.25f);
        put(reply, record::kLoadLevelOffset + 4, 25.5f);
        put<uint16_t>(reply, record::kExposureSettingsOffset, 1);
        put(reply, record::kAppliedProcessingOffset, appliedProcessing);
        // All 24 bytes used: the name has no terminating zero.
        std::memcpy(reply.data() + record::kNameOffset, "ABCDEFGHIJKLMNOPQRSTUVWX", record::kNameSize);
        put(reply, record::kNameOffset + 24, 1020.5f);
        put(reply, record::kNameOffset + 28, 8.0f);
    });
}

class SpectrumReadoutTest : public ::testing::Test {
protected:
    void SetUp() override { spectrometer = connectQuietly(bench, device); }

    std::vector<float> readFour() { return spectrometer->getSpectrum(time01ms, dateDays, exposureUs, averaging); }

    void expectOutParametersUntouched() const
    {
        EXPECT_EQ(time01ms, kUntouched);
        EXPECT_EQ(dateDays, kUntouched);
        EXPECT_EQ(exposureUs, kUntouched);
        EXPECT_EQ(averaging, kUntouched);
    }

    SimulatedBench bench;
    SimulatedBench::Attached device = bench.attach();
    std::unique_ptr<SpectrometerDevice> spectrometer;
    uint32_t time01ms = kUntouched, dateDays = kUntouched, exposureUs = kUntouched, averaging = kUntouched;
};

} // namespace

TEST_F(SpectrumReadoutTest, RecordTooShortForItsHeaderFailsWithEachFormsText)
{
    device.model->preloadSpectra(4);
    device.model->injectFault(command::kReadSpectrum, Fault::shortReply(67), 3);
    StreamCapture capture;

    EXPECT_EQ(failureText([&] { spectrometer->getSpectrum(); }), "接收到的光谱数据长度不足");
    EXPECT_EQ(capture.out(), "接收到的光谱数据长度不足，长度为: 67\n");
    capture.clear();
    EXPECT_EQ(failureText([&] { spectrometer->getSpectrum(time01ms, dateDays); }), "接收到的光谱数据长度不足");
    EXPECT_EQ(failureText([&] { readFour(); }), "The received spectral data is insufficient in length.");
    expectOutParametersUntouched();
    EXPECT_EQ(capture.out(), "");

    // A whole header passes that check and meets the next ones.
    device.model->injectFault(command::kReadSpectrum, Fault::shortReply(68));
    EXPECT_EQ(failureText([&] { readFour(); }), "Received spectrum is incomplete.");
    expectOutParametersUntouched();
}

TEST_F(SpectrumReadoutTest, HeaderChecksRunInOrder)
{
    struct Case {
        bool pixelCount, version, format;
        const char* expected;
    };
    const Case cases[] = {
        {true, true, true, "Unexpected PixelCount in received spectrum."},
        {false, true, true, "Spectrum data version not supported."},
        {false, false, true, "Spectrum data format not supported."},
        {false, false, false, "Received spectrum is incomplete."},
    };
    device.model->preloadSpectra(2 * std::size(cases));
    StreamCapture capture;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.expected);
        // Every case is also one byte short of its last pixel.
        const Fault corrupt = Fault::editReply([c](Bytes& reply) {
            if (c.pixelCount) {
                put<uint16_t>(reply, record::kPixelCountOffset, 2047);
            }
            if (c.version) {
                put<uint8_t>(reply, record::kVersionNumberOffset, 1);
            }
            if (c.format) {
                put<uint8_t>(reply, record::kDataFormatOffset, 1);
            }
            reply.pop_back();
        });
        device.model->injectFault(command::kReadSpectrum, corrupt, 2);
        EXPECT_EQ(failureText([&] { readFour(); }), c.expected);
        expectOutParametersUntouched();

        // getSpectrum() logs when the reply arrived, but no header.
        capture.clear();
        EXPECT_EQ(failureText([&] { spectrometer->getSpectrum(); }), c.expected);
        const std::string out = capture.out();
        EXPECT_EQ(out.rfind("获取光谱数据时间: ", 0), 0u);
        EXPECT_EQ(std::count(out.begin(), out.end(), '\n'), 1) << out;
    }
}

TEST_F(SpectrumReadoutTest, ValidRecordHandsBackItsStampsSettingsAndPixels)
{
    spectrometer->setExposureParams(12345, 3);
    device.model->preloadSpectra(2);
    const std::vector<ClockStamp> stamps = device.model->waitingSpectrumStamps();
    ASSERT_EQ(stamps.size(), 2u);

    Bytes seen;
    // Bytes after the last pixel are ignored.
    device.model->injectFault(command::kReadSpectrum, Fault::editReply([&seen](Bytes& reply) {
                                  reply.insert(reply.end(), 16, 0xFF);
                                  seen = reply;
                              }));
    const std::vector<float> pixels = readFour();
    device.model->requests(); // synchronises with the device thread that filled `seen`
    EXPECT_EQ(time01ms, stamps[0].time01ms);
    EXPECT_EQ(dateDays, stamps[0].days);
    EXPECT_EQ(exposureUs, 12345u);
    EXPECT_EQ(averaging, 3u);
    ASSERT_EQ(pixels.size(), 2048u);
    ASSERT_EQ(seen.size(), record::kPixelsOffset + 4 * 2048 + 16);
    for (size_t p = 0; p < pixels.size(); ++p) {
        ASSERT_EQ(std::memcmp(&pixels[p], &seen[record::kPixelsOffset + 4 * p], 4), 0) << "pixel " << p;
    }

    uint32_t time = 0, date = 0;
    EXPECT_EQ(spectrometer->getSpectrum(time, date).size(), 2048u);
    EXPECT_EQ(time, stamps[1].time01ms);
    EXPECT_EQ(date, stamps[1].days);
}

TEST_F(SpectrumReadoutTest, GetSpectrumLogsTheWholeHeader)
{
    const std::string common = "曝光时间: 12345 微秒\n"
                               "平均次数: 3\n"
                               "时间戳: 456789012 0.1ms\n"
                               "日期戳: 19876\n"
                               "负载水平: 0.25\n"
                               "传感器温度: 25.5 摄氏度\n"
                               "像素数量: 2048\n"
                               "数据格式: 0\n"
                               "版本号: 0\n"
                               "曝光设置: 1\n";
    const std::string tail = "名称: ABCDEFGHIJKLMNOPQRSTUVWX\n"
                             "暗电流平均值: 1020.5\n"
                             "读出噪声: 8\n";
    struct Case {
        uint16_t applied;
        std::string processing;
    };
    const Case cases[] = {
        {0x0011, "应用的处理标志位: 17\n" + tail +
                     "应用的处理标志位 (AppliedProcessing): 0x11\n"
                     "  强度单位 (IntensityUnit): Counts/ms\n"
                     "  暗背景扣除 (Dark Subtraction): 已应用\n"
                     "  保留 (Reserved): 0x0\n"},
        {0x2305, "应用的处理标志位: 8965\n" + tail +
                     "应用的处理标志位 (AppliedProcessing): 0x2305\n"
                     "  强度单位 (IntensityUnit): Calibrated\n"
                     "  暗背景扣除 (Dark Subtraction): 未应用\n"
                     "  保留 (Reserved): 0x3\n"
                     "  处理错误标志 (Error Flags): 0x2\n"},
        {0x0009, "应用的处理标志位: 9\n" + tail +
                     "应用的处理标志位 (AppliedProcessing): 0x9\n"
                     "  强度单位 (IntensityUnit): 未知(9)\n"
                     "  暗背景扣除 (Dark Subtraction): 未应用\n"
                     "  保留 (Reserved): 0x0\n"},
        {0xAB8C, "应用的处理标志位: 43916\n" + tail +
                     "应用的处理标志位 (AppliedProcessing): 0xab8c\n"
                     "  强度单位 (IntensityUnit): 未知(12)\n"
                     "  暗背景扣除 (Dark Subtraction): 已应用\n"
                     "  保留 (Reserved): 0xb\n"
                     "  处理错误标志 (Error Flags): 0xa\n"},
    };
    device.model->preloadSpectra(std::size(cases));
    const std::regex firstLine("获取光谱数据时间: (\\d{4}-\\d{2}-\\d{2} \\d{2}:\\d{2}:\\d{2}\\.\\d{3})\n");
    for (const Case& c : cases) {
        SCOPED_TRACE(c.applied);
        device.model->injectFault(command::kReadSpectrum, knownHeader(c.applied));
        StreamCapture capture;
        const std::string before = localTimestamp(std::chrono::system_clock::now());
        EXPECT_EQ(spectrometer->getSpectrum().size(), 2048u);
        const std::string after = localTimestamp(std::chrono::system_clock::now());
        std::cout << 26 << std::endl; // decimal again after the hexadecimal lines

        const std::string out = capture.out();
        std::smatch match;
        ASSERT_TRUE(std::regex_search(out, match, firstLine, std::regex_constants::match_continuous)) << out;
        EXPECT_LE(before, match[1].str());
        EXPECT_GE(after, match[1].str());
        EXPECT_EQ(match.suffix().str(), common + c.processing + "26\n");
    }
}

TEST_F(SpectrumReadoutTest, GetAllSpectrumDataSkipsSpectraThatFail)
{
    StreamCapture capture;
    EXPECT_TRUE(spectrometer->getAllSpectrumData().empty());
    EXPECT_EQ(takeFrames(*device.model), (Frames{"00 30 00 00"}));

    device.model->preloadSpectra(3);
    device.model->injectFault(command::kReadSpectrum, Fault::none());
    device.model->injectFault(command::kReadSpectrum, Fault::spectrumVersionNumber(1));
    const std::vector<std::vector<float>> spectra = spectrometer->getAllSpectrumData();
    ASSERT_EQ(spectra.size(), 2u);
    EXPECT_EQ(spectra[0].size(), 2048u);
    EXPECT_EQ(spectra[1].size(), 2048u);
    EXPECT_EQ(capture.err(), "Error reading spectrum 1: Spectrum data version not supported.\n");
    EXPECT_EQ(capture.out(), "");
    EXPECT_EQ(takeFrames(*device.model), (Frames{"00 30 00 00", "00 40 00 00", "00 40 00 00", "00 40 00 00"}));

    device.model->injectFault(command::kGetStatus, Fault::shortReply(7));
    EXPECT_EQ(failureText([&] { spectrometer->getAllSpectrumData(); }), "Status response too short");
}

// Waits out the transport's read time-out once.
TEST_F(SpectrumReadoutTest, GetAllSpectrumDataEndsAtTheFirstMissingOrUnansweredSpectrum)
{
    StreamCapture capture;
    // The device claims 65535 spectra but holds two: one "no spectrum" reply ends the reading.
    device.model->preloadSpectra(2);
    device.model->injectFault(command::kGetStatus, Fault::editReply([](Bytes& reply) { reply[5] = reply[6] = 0xFF; }));
    EXPECT_EQ(spectrometer->getAllSpectrumData().size(), 2u);
    EXPECT_EQ(takeFrames(*device.model), (Frames{"00 30 00 00", "00 40 00 00", "00 40 00 00", "00 40 00 00"}));
    EXPECT_EQ(capture.err(), "Error reading spectrum 2: Communication failed: Error code received from device. "
                             "Device error (cmd:0x4000 ret:0x0b00).\n");

    // A device that stops answering costs one read time-out, not one per spectrum it claimed.
    capture.clear();
    device.model->preloadSpectra(3);
    device.model->injectFault(command::kReadSpectrum, Fault::none());
    device.model->injectFault(command::kReadSpectrum, Fault::noReply(), 2);
    EXPECT_EQ(spectrometer->getAllSpectrumData().size(), 1u);
    EXPECT_EQ(takeFrames(*device.model), (Frames{"00 30 00 00", "00 40 00 00", "00 40 00 00"}));
    EXPECT_EQ(capture.err(), "Error reading spectrum 1: Communication failed: Data read failed\n");
}

// A device that claims more spectra than it hands out must not hold the
// caller for one exchange per claimed spectrum (up to 65535 read time-outs).
TEST_F(SpectrumReadoutTest, GetAllSpectrumDataStopsAtTheFirstSpectrumTheDeviceDoesNotHandOut)
{
    device.model->preloadSpectra(3);
    device.model->injectFault(command::kReadSpectrum, Fault::none());
    device.model->injectFault(command::kReadSpectrum, Fault::deviceError(0x0700));
    StreamCapture capture;
    EXPECT_EQ(spectrometer->getAllSpectrumData().size(), 1u);
    EXPECT_EQ(capture.err(), "Error reading spectrum 1: Communication failed: A communication error occurred. "
                             "Device error (cmd:0x4000 ret:0x0700).\n");
    EXPECT_EQ(takeFrames(*device.model), (Frames{"00 30 00 00", "00 40 00 00", "00 40 00 00"}));

    device.model->injectFault(command::kGetStatus, Fault::editReply([](Bytes& reply) { put<uint16_t>(reply, 5, 0xFFFF); }));
    EXPECT_EQ(spectrometer->getAllSpectrumData().size(), 2u) << "the refused read left its spectrum waiting";
    EXPECT_EQ(takeFrames(*device.model).size(), 4u) << "reads stop at the device's no-spectrum answer";
}

TEST_F(SpectrumReadoutTest, DiscardDropsTheOldestAndNothingWaitingIsADeviceError)
{
    device.model->preloadSpectra(2);
    const std::vector<ClockStamp> stamps = device.model->waitingSpectrumStamps();
    spectrometer->discardSpectrum();
    EXPECT_EQ(takeFrames(*device.model), (Frames{"00 40 00 00"}));
    EXPECT_EQ(device.model->waitingSpectrumStamps(), (std::vector<ClockStamp>{stamps[1]}));
    spectrometer->discardSpectrum();

    const std::string noSpectrum =
        "Communication failed: Error code received from device. Device error (cmd:0x4000 ret:0x0b00).";
    StreamCapture capture;
    EXPECT_EQ(failureText([&] { spectrometer->discardSpectrum(); }), noSpectrum);
    EXPECT_EQ(failureText([&] { spectrometer->getSpectrum(); }), noSpectrum);
    EXPECT_EQ(failureText([&] { spectrometer->getSpectrum(time01ms, dateDays); }), noSpectrum);
    EXPECT_EQ(failureText([&] { readFour(); }), noSpectrum);
    expectOutParametersUntouched();
    EXPECT_EQ(capture.out(), "");
}
