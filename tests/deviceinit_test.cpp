// Construction of a device object: the initialization sequence and its log,
// identity and wavelength calibration, firmware version, device clock, gain,
// and the failures that make construction throw with the transport closed.

#include "support/simulatedbench.h"
#include "support/streamcapture.h"
#include "support/testpeers.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <sstream>
#include <tuple>

using namespace velmorsim;
using Peer = SpectrometerDeviceTestPeer;
using Bytes = std::vector<uint8_t>;
using Clock = std::chrono::system_clock;

namespace {

uint32_t le32(const Bytes& bytes, size_t offset)
{
    return bytes.at(offset) | bytes.at(offset + 1) << 8 | bytes.at(offset + 2) << 16 |
           static_cast<uint32_t>(bytes.at(offset + 3)) << 24;
}

size_t clockCommandsSent(SpectrometerModel& model)
{
    const std::vector<uint32_t> codes = commandCodes(model.requests());
    return static_cast<size_t>(std::count(codes.begin(), codes.end(), command::kSetClock));
}

bool contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

// The clock payload for a moment, worked out independently of the library:
// the day count comes from timegm() of the local calendar date.
std::pair<uint32_t, uint32_t> expectedClock(Clock::time_point when)
{
    const std::time_t seconds = Clock::to_time_t(when);
    std::tm local{};
    localtime_r(&seconds, &local);
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(when.time_since_epoch()).count() % 1000;
    std::tm date{};
    date.tm_year = local.tm_year;
    date.tm_mon = local.tm_mon;
    date.tm_mday = local.tm_mday;
    return {static_cast<uint32_t>(((local.tm_hour * 3600 + local.tm_min * 60 + local.tm_sec) * 1000 + ms) * 10),
            static_cast<uint32_t>(timegm(&date) / 86400)};
}

SpectrometerConfig withFirmware(FirmwareVersionValue firmware)
{
    SpectrometerConfig config = SimulatedBench::fastConfig();
    config.firmware = firmware;
    return config;
}

class DeviceInitTest : public ::testing::Test {
protected:
    // A device whose reply to `code` is `fault` once.
    SimulatedBench::Attached attachWith(uint32_t code, Fault fault)
    {
        const auto device = bench.attach();
        device.model->injectFault(code, std::move(fault));
        return device;
    }

    SimulatedBench bench;
};

} // namespace

TEST_F(DeviceInitTest, RunsTheInitializationSequenceAndLogsEachStep)
{
    SpectrometerConfig config = SimulatedBench::fastConfig();
    config.serialNumber = "SN-7";
    config.startPixel = 5; // index 0 of the table is the first pixel whatever the start pixel
    config.endPixel = 7;
    config.pixelCount = 3;
    config.wavelengthCoefficients = {400.0f, 0.5f, 0.0f, 0.0f};
    const auto device = bench.attach(config);

    StreamCapture capture;
    const auto spectrometer = bench.connect(device);
    EXPECT_EQ(capture.out(), "开始初始化光谱仪设备...\n设备未打开，正在打开...\n正在获取设备参数...\n"
                             "获取序列号...\n序列号: SN-7\n获取起始像素...\n起始像素: 5\n获取结束像素...\n结束像素: 7\n"
                             "获取像素数量...\n像素数量: 3\n获取波长信息...\n"
                             "Wavelength range: 400 to 401 nm\n波长范围: 400 - 401 nm\n"
                             "读取到软件版本: 4.1.7.0\n设备软件版本: 4.1.7.0\n最小支持版本: 4.0.7.1\n"
                             "设备支持日期时间功能\n设备时间同步成功\n设置增益成功 0\n设备初始化完成\n");
    EXPECT_EQ(capture.err(), "");

    std::vector<std::string> frames = hexFrames(device.model->requests());
    ASSERT_EQ(frames.size(), 11u);
    EXPECT_EQ(frames[9].substr(0, 11), "05 41 00 00"); // the clock, checked on its own below
    EXPECT_EQ(frames[9].size(), 12u * 3 - 1);
    frames.erase(frames.begin() + 9);
    EXPECT_EQ(frames, (std::vector<std::string>{"01 20 00 00", "09 20 00 00", "0A 20 00 00", "07 20 00 00",
                                                "1C 20 00 00", "1D 20 00 00", "1E 20 00 00", "1F 20 00 00",
                                                "05 20 00 00", "0D 11 00 00 00 00 00 00"}));

    const SpectrometerParameters parameters = spectrometer->getParameters();
    EXPECT_EQ(parameters.serialNumber, "SN-7");
    EXPECT_EQ(parameters.startPixel, 5);
    EXPECT_EQ(parameters.endPixel, 7);
    EXPECT_EQ(parameters.pixelCount, 3u);
    EXPECT_EQ(parameters.wavelengths, (std::vector<float>{400.0f, 400.5f, 401.0f}));
    EXPECT_EQ(spectrometer->getWavelength(), parameters.wavelengths);
}

TEST_F(DeviceInitTest, WavelengthTableIsTheSinglePrecisionHornerCubic)
{
    const auto device = bench.attach();
    StreamCapture capture;
    const std::vector<float> table = bench.connect(device)->getWavelength();
    const std::array<float, 4> c = device.model->config().wavelengthCoefficients;
    ASSERT_EQ(table.size(), 2048u);
    for (size_t p = 0; p < table.size(); ++p) {
        const float x = static_cast<float>(p);
        float t = c[3] * x;
        t = c[2] + t;
        t = t * x;
        t = c[1] + t;
        t = t * x;
        const float expected = c[0] + t;
        ASSERT_EQ(std::memcmp(&table[p], &expected, sizeof expected), 0) << "pixel " << p;
    }
    std::ostringstream range;
    range << "Wavelength range: " << table.front() << " to " << table.back() << " nm\n"
          << "波长范围: " << table.front() << " - " << table.back() << " nm\n";
    EXPECT_TRUE(contains(capture.out(), range.str())) << capture.out();
}

TEST_F(DeviceInitTest, PixelCountZeroGivesAnEmptyCalibrationAndEmptySpectra)
{
    SpectrometerConfig config = SimulatedBench::fastConfig();
    config.pixelCount = 0;
    config.endPixel = 0;
    const auto device = bench.attach(config);
    StreamCapture capture;
    const auto spectrometer = bench.connect(device);
    EXPECT_TRUE(contains(capture.out(), "获取波长信息...\nWavelength range: none (pixel count 0)\n"
                                        "波长范围: 无 (像素数量为 0)\n读取到软件版本"));
    EXPECT_TRUE(spectrometer->getWavelength().empty());

    device.model->preloadSpectra(2); // 68-byte records with PixelCount 0
    uint32_t time = 0, date = 0, exposure = 0, averaging = 0;
    EXPECT_TRUE(spectrometer->getSpectrum(time, date, exposure, averaging).empty());
    EXPECT_TRUE(spectrometer->getSpectrum().empty());
}

TEST_F(DeviceInitTest, IdentityRepliesAreDecodedFromTheirOffsets)
{
    const auto serial = attachWith(command::kGetSerialNumber, Fault::fixedReply({0, 0, 0, 0, 0, 0, 'A', 'B', '1', 0, 'x'}));
    EXPECT_EQ(connectQuietly(bench, serial)->getParameters().serialNumber, "AB1");

    const auto startPixel = attachWith(command::kGetStartPixel, Fault::fixedReply({0, 0, 0, 0, 0x34, 0x12}));
    EXPECT_EQ(connectQuietly(bench, startPixel)->getParameters().startPixel, 0x1234);

    const auto version = attachWith(command::kGetFirmwareVersion, Fault::fixedReply({0, 0, 0, 0, 1, 7, 1, 4}));
    EXPECT_EQ(Peer::firmware(*connectQuietly(bench, version)).toString(), "4.1.7.1");

    const auto empty = attachWith(command::kGetSerialNumber, Fault::fixedReply({0, 0, 0, 0}));
    StreamCapture capture;
    EXPECT_EQ(bench.connect(empty)->getParameters().serialNumber, "");
    EXPECT_TRUE(contains(capture.out(), "获取序列号...\n序列号: \n获取起始像素...\n"));
}

TEST_F(DeviceInitTest, FirmwareVersionDecidesWhetherTheClockIsSet)
{
    for (const FirmwareVersionValue firmware : {FirmwareVersionValue{4, 0, 7, 0}, FirmwareVersionValue{4, 0, 7, 1},
                                                FirmwareVersionValue{4, 0, 8, 0}, FirmwareVersionValue{4, 0, 255, 255}}) {
        const auto device = bench.attach(withFirmware(firmware));
        StreamCapture capture;
        const auto spectrometer = bench.connect(device);
        const std::string version = Peer::firmware(*spectrometer).toString();
        SCOPED_TRACE(version);
        const bool supported = version != "4.0.7.0";
        EXPECT_TRUE(contains(capture.out(), "读取到软件版本: " + version + "\n设备软件版本: " + version + "\n"));
        EXPECT_EQ(clockCommandsSent(*device.model), supported ? 1u : 0u);
        EXPECT_EQ(contains(capture.out(), "设备支持日期时间功能\n设备时间同步成功\n"), supported);
        EXPECT_EQ(contains(capture.out(), "设备不支持日期时间功能，需要固件版本 >= 4.0.7.1\n"
                                          "设备固件版本过低，不支持时间同步功能\n"),
                  !supported);
    }
}

TEST_F(DeviceInitTest, UnreadableFirmwareVersionCountsAsTooOld)
{
    const auto shortReply = attachWith(command::kGetFirmwareVersion, Fault::shortReply(6));
    const auto refused = attachWith(command::kGetFirmwareVersion, Fault::deviceError(0x0100));
    StreamCapture capture;
    const auto spectrometer = bench.connect(shortReply);
    EXPECT_TRUE(contains(capture.out(), "获取波长信息...\n"));
    EXPECT_TRUE(contains(capture.out(), "读取软件版本失败：响应数据不足，实际长度: 6\n设备软件版本: 0.0.0.0\n"
                                        "最小支持版本: 4.0.7.1\n设备不支持日期时间功能，需要固件版本 >= 4.0.7.1\n"
                                        "设备固件版本过低，不支持时间同步功能\n设置增益成功 0\n"));
    EXPECT_EQ(clockCommandsSent(*shortReply.model), 0u);

    capture.clear();
    shortReply.model->clearRequests();
    Peer::updateTime(*spectrometer);
    EXPECT_EQ(capture.out(), "设备固件版本过低，不支持时间同步功能\n");
    EXPECT_TRUE(shortReply.model->requests().empty());

    capture.clear();
    bench.connect(refused);
    EXPECT_TRUE(contains(capture.out(), "读取软件版本异常: Communication failed: Unknown command code. "
                                        "Device error (cmd:0x2005 ret:0x0100).\n设备软件版本: 0.0.0.0\n"));
    EXPECT_TRUE(contains(capture.out(), "设备初始化完成\n"));
}

TEST_F(DeviceInitTest, ClockPayloadIsLocalTimeOfDayAndDayCount)
{
    // A zone far from UTC, with minutes: local and universal time differ in
    // the time of day, and mostly in the date as well. Each test runs in a
    // process of its own, so the zone is not restored.
    setenv("TZ", "VLM+10:30", 1);
    tzset();
    const auto device = bench.attach();
    StreamCapture capture;
    const auto before = Clock::now();
    const auto spectrometer = bench.connect(device);
    const auto after = Clock::now();

    const Bytes frame = device.model->requests().at(9);
    ASSERT_EQ(frame.size(), 12u);
    ASSERT_EQ(le32(frame, 0), command::kSetClock);
    const uint32_t time01ms = le32(frame, 4);
    EXPECT_EQ(time01ms % 10, 0u);
    const auto [earlyTime, earlyDays] = expectedClock(before);
    const auto [lateTime, lateDays] = expectedClock(after);
    if (earlyDays == lateDays) {
        EXPECT_EQ(le32(frame, 8), earlyDays);
        EXPECT_GE(time01ms, earlyTime);
        EXPECT_LE(time01ms, lateTime);
    } else { // the call ran over local midnight
        EXPECT_TRUE(le32(frame, 8) == earlyDays || le32(frame, 8) == lateDays);
    }
    EXPECT_TRUE(device.model->state().clockSet);

    // Within the minute after a success nothing is sent.
    device.model->clearRequests();
    capture.clear();
    Peer::updateTime(*spectrometer);
    spectrometer->startMeasure();
    EXPECT_EQ(takeFrames(*device.model), (std::vector<std::string>{"04 00 00 00 01 00 00 00"}));
    EXPECT_EQ(capture.out(), "");
}

TEST_F(DeviceInitTest, FailedClockUpdateIsRetriedOnTheNextCall)
{
    const auto rejected = attachWith(command::kSetClock, Fault::lowByteReturnCode(0x3c));
    const auto refused = attachWith(command::kSetClock, Fault::deviceError(0x0400));
    StreamCapture capture;
    const auto first = bench.connect(rejected);
    std::cout << 26 << std::endl; // decimal again after the hexadecimal code
    EXPECT_TRUE(contains(capture.out(), "设备时间同步失败，错误码: 3c\n设置增益成功 0\n设备初始化完成\n26\n"));
    capture.clear();
    const auto second = bench.connect(refused);
    EXPECT_TRUE(contains(capture.out(), "时间同步异常: Communication failed: This operation is currently not "
                                        "allowed. Device error (cmd:0x4105 ret:0x0400).\n设置增益成功 0\n"));

    const std::pair<SpectrometerModel*, SpectrometerDevice*> retried[] = {{rejected.model.get(), first.get()},
                                                                          {refused.model.get(), second.get()}};
    for (const auto& [model, spectrometer] : retried) {
        model->clearRequests();
        capture.clear();
        Peer::updateTime(*spectrometer);
        Peer::updateTime(*spectrometer); // the success holds for a minute
        EXPECT_EQ(clockCommandsSent(*model), 1u);
        EXPECT_EQ(capture.out(), "设备时间同步成功\n");
    }
}

TEST_F(DeviceInitTest, SetGainLogsTheReturnCodeOrThrowsOnADeviceError)
{
    const auto device = bench.attach();
    const auto spectrometer = connectQuietly(bench, device);
    device.model->injectFault(command::kSetGain, Fault::none());
    device.model->injectFault(command::kSetGain, Fault::lowByteReturnCode(7));
    device.model->injectFault(command::kSetGain, Fault::lowByteReturnCode(0x1f));
    StreamCapture capture;
    spectrometer->setGain(0);
    spectrometer->setGain(0);
    spectrometer->setGain(0);
    std::cout << 26 << std::endl;
    EXPECT_EQ(capture.out(), "设置增益成功 0\n设置增益失败7\n设置增益失败1f\n26\n");

    // This sensor has no high gain: class 5 is an error like any other.
    capture.clear();
    EXPECT_EQ(failureText([&] { spectrometer->setGain(-1); }),
              "Communication failed: The device does not support this operation. Device error (cmd:0x110d ret:0x0500).");
    EXPECT_EQ(capture.out(), "");
    EXPECT_EQ(capture.err(), "");
    EXPECT_EQ(hexFrame(device.model->requests().back()), "0D 11 00 00 FF FF FF FF");
}

TEST_F(DeviceInitTest, FailedInitializationThrowsAndClosesTheTransport)
{
    const std::tuple<uint32_t, Fault, std::string> cases[] = {
        {command::kGetSerialNumber, Fault::deviceError(0x0100),
         "Communication failed: Unknown command code. Device error (cmd:0x2001 ret:0x0100)."},
        {command::kGetStartPixel, Fault::shortReply(5), "Data buffer overflow"},
        {command::kGetEndPixel, Fault::emptyReply(), "Communication failed: Not enough bytes received from device."},
        {command::kGetPixelCount, Fault::deviceError(0x0800),
         "Communication failed: Internal error received from device. Device error (cmd:0x2007 ret:0x0800)."},
        {command::kGetWavelengthCoefficient0 + 2, Fault::shortReply(7), "Data buffer overflow"},
        {command::kGetWavelengthCoefficient0 + 3, Fault::deviceError(0x0A00),
         "Communication failed: Cannot read from device memory. Device error (cmd:0x201f ret:0x0a00)."},
        {command::kSetGain, Fault::deviceError(0x0500),
         "Communication failed: The device does not support this operation. Device error (cmd:0x110d ret:0x0500)."},
    };
    for (const auto& [code, fault, text] : cases) {
        SCOPED_TRACE(text);
        const auto device = attachWith(code, fault);
        StreamCapture capture;
        EXPECT_EQ(failureText([&] { bench.connect(device); }), text);
        EXPECT_EQ(capture.err(), "设备初始化失败: " + text + "\n");
        EXPECT_FALSE(contains(capture.out(), "设备初始化完成"));
        EXPECT_FALSE(bench.bus().interfaceClaimed(device.id));
        auto again = bench.transport(device); // nothing of the failed object holds the device
        again->open();
        EXPECT_TRUE(bench.bus().interfaceClaimed(device.id));
    }
}

TEST_F(DeviceInitTest, ConstructorOpensTheTransportOnlyWhenNeeded)
{
    StreamCapture capture;
    EXPECT_EQ(failureText([] { SpectrometerDevice nothing(nullptr); }), "USB设备接口为空");
    EXPECT_EQ(capture.out(), "");
    EXPECT_EQ(capture.err(), "");

    const auto unplugged = bench.attach();
    auto transport = bench.transport(unplugged);
    bench.bus().unplug(unplugged.id);
    EXPECT_EQ(failureText([&] { SpectrometerDevice device(std::move(transport)); }), "Target device not found");
    EXPECT_EQ(capture.out(), "开始初始化光谱仪设备...\n设备未打开，正在打开...\n");
    EXPECT_EQ(capture.err(), "设备初始化失败: Target device not found\n");

    auto opened = bench.transport(bench.attach());
    opened->open();
    capture.clear();
    SpectrometerDevice spectrometer(std::move(opened));
    EXPECT_EQ(capture.out().rfind("开始初始化光谱仪设备...\n正在获取设备参数...\n获取序列号...\n", 0), 0u);
}
