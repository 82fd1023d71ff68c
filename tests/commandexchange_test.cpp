// The command exchange of the device object: request layout, whole replies,
// and the texts that every kind of failure turns into.

#include "support/simulatedbench.h"
#include "support/testpeers.h"

#include <gtest/gtest.h>

using namespace velmorsim;
using Peer = SpectrometerDeviceTestPeer;

namespace {

using Bytes = std::vector<uint8_t>;

class CommandExchangeTest : public ::testing::Test {
protected:
    void SetUp() override { spectrometer = connectQuietly(bench, device); }

    // Proves the device object still works after a failure.
    void expectUsable() { EXPECT_EQ(Peer::send(*spectrometer, command::kGetStatus).size(), 8u); }

    SimulatedBench bench;
    SimulatedBench::Attached device = bench.attach();
    std::unique_ptr<SpectrometerDevice> spectrometer;
};

} // namespace

TEST_F(CommandExchangeTest, BuildersLayOutRequestsByteForByte)
{
    const Bytes serialReply = Peer::send(*spectrometer, 0x2001);
    EXPECT_EQ(hexFrame(serialReply), "00 00 00 00 31 30 30 30 31 00"); // "10001"
    Peer::send(*spectrometer, 0x1100, 1000);
    Peer::send(*spectrometer, 0x1100, 0xFFFFFFFEu);
    // The device refuses a clock payload of the wrong size; the frame is what counts here.
    EXPECT_EQ(failureText([&] { Peer::send(*spectrometer, 0x4105, Bytes{0xAA, 0xBB}); }),
              "Communication failed: Invalid parameter sent to device. Device error (cmd:0x4105 ret:0x0200).");
    Peer::sendRaw(*spectrometer, Bytes{0x00, 0x30, 0x00, 0x00});

    EXPECT_EQ(takeFrames(*device.model), (std::vector<std::string>{"01 20 00 00", "00 11 00 00 E8 03 00 00",
                                                      "00 11 00 00 FE FF FF FF", "05 41 00 00 AA BB",
                                                      "00 30 00 00"}));
}

TEST_F(CommandExchangeTest, RepliesComeBackWholeWhateverTheirLowByte)
{
    device.model->injectFault(command::kGetStatus, Fault::fixedReply({0x00, 0x00, 0x00, 0x00, 0x12, 0x34}));
    EXPECT_EQ(Peer::send(*spectrometer, command::kGetStatus), (Bytes{0x00, 0x00, 0x00, 0x00, 0x12, 0x34}));

    device.model->injectFault(command::kGetStatus, Fault::fixedReply({0xFF, 0x00, 0x00, 0x00}));
    EXPECT_EQ(Peer::send(*spectrometer, command::kGetStatus), (Bytes{0xFF, 0x00, 0x00, 0x00}));

    device.model->preloadSpectra(1);
    EXPECT_EQ(Peer::send(*spectrometer, command::kReadSpectrum).size(), 68u + 4u * 2048u);
}

TEST_F(CommandExchangeTest, RepliesShorterThanAReturnCodeFail)
{
    for (const Fault& fault : {Fault::shortReply(3), Fault::emptyReply()}) {
        device.model->injectFault(command::kGetStatus, fault);
        EXPECT_EQ(failureText([&] { Peer::send(*spectrometer, command::kGetStatus); }),
                  "Communication failed: Not enough bytes received from device.");
        expectUsable();
    }
}

TEST_F(CommandExchangeTest, DeviceErrorsNameTheirClassCommandAndReturnCode)
{
    struct Case {
        uint32_t command;
        uint32_t returnCode;
        const char* expected;
    };
    const Case cases[] = {
        {0x2001, 0x0100, "Unknown command code. Device error (cmd:0x2001 ret:0x0100)."},
        {0x3000, 0x0200, "Invalid parameter sent to device. Device error (cmd:0x3000 ret:0x0200)."},
        {0x3000, 0x0300, "Error code received from device. Device error (cmd:0x3000 ret:0x0300)."},
        {0x3000, 0x04FF, "This operation is currently not allowed. Device error (cmd:0x3000 ret:0x04ff)."},
        {0x110D, 0x0500, "The device does not support this operation. Device error (cmd:0x110d ret:0x0500)."},
        {0x3000, 0x0600, "Invalid passcode for this operation. Device error (cmd:0x3000 ret:0x0600)."},
        {0x3000, 0x0700, "A communication error occurred. Device error (cmd:0x3000 ret:0x0700)."},
        {0x3000, 0x0800, "Internal error received from device. Device error (cmd:0x3000 ret:0x0800)."},
        {0x3000, 0x0900, "Error code received from device. Device error (cmd:0x3000 ret:0x0900)."},
        {0x3000, 0x0A00, "Cannot read from device memory. Device error (cmd:0x3000 ret:0x0a00)."},
        {0x4000, 0x0B00, "Error code received from device. Device error (cmd:0x4000 ret:0x0b00)."},
        {0x4000, 0x12345, "Error code received from device. Device error (cmd:0x4000 ret:0x12345)."},
        {0x3000, 0xFFFFFFFF, "Error code received from device. Device error (cmd:0x3000 ret:0xffffffff)."},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.returnCode);
        device.model->injectFault(c.command, Fault::deviceError(c.returnCode));
        EXPECT_EQ(failureText([&] { Peer::send(*spectrometer, c.command); }),
                  std::string("Communication failed: ") + c.expected);
    }
    // A request too short to carry a code is reported as command 0.
    EXPECT_EQ(failureText([&] { Peer::sendRaw(*spectrometer, Bytes{0x01, 0x20}); }),
              "Communication failed: Invalid parameter sent to device. Device error (cmd:0x0000 ret:0x0200).");
    expectUsable();
}

TEST_F(CommandExchangeTest, TransportFailuresKeepTheDeviceUsable)
{
    device.model->injectFault(command::kGetStatus, Fault::partialWrite(2));
    EXPECT_EQ(failureText([&] { Peer::send(*spectrometer, command::kGetStatus); }),
              "Communication failed: Data write failed");
    expectUsable();

    // The one test that waits out the transport's 5 s read time-out.
    device.model->injectFault(command::kGetStatus, Fault::noReply());
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(failureText([&] { Peer::send(*spectrometer, command::kGetStatus); }),
              "Communication failed: Data read failed");
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(4900));
    expectUsable();

    spectrometer->disconnect();
    EXPECT_EQ(failureText([&] { Peer::send(*spectrometer, command::kGetStatus); }),
              "Communication failed: Device not open");
}

// Waits out the transport's read time-out once.
TEST_F(CommandExchangeTest, ReplyThatComesAfterItsTimeOutIsNotTakenForTheNextOne)
{
    const Bytes serialReply = Peer::send(*spectrometer, command::kGetSerialNumber);
    ASSERT_NE(serialReply.size(), 8u) << "a serial number reply must not look like a status reply";

    device.model->injectFault(command::kGetStatus, Fault::lateReply(std::chrono::milliseconds(5500)));
    EXPECT_EQ(failureText([&] { Peer::send(*spectrometer, command::kGetStatus); }),
              "Communication failed: Data read failed");
    EXPECT_EQ(Peer::send(*spectrometer, command::kGetSerialNumber), serialReply);
    expectUsable();
}

TEST_F(CommandExchangeTest, ReadBulkDataReadsWhatTheDeviceSendsUnasked)
{
    // A reply longer than one exchange reads: the rest stays in the pipe.
    Bytes oversized(SpectrometerDevice::MAX_RX_LENGTH + 10, 0x5A);
    oversized[0] = oversized[1] = oversized[2] = oversized[3] = 0;
    device.model->injectFault(command::kGetStatus, Fault::fixedReply(oversized));
    EXPECT_EQ(Peer::send(*spectrometer, command::kGetStatus).size(),
              static_cast<size_t>(SpectrometerDevice::MAX_RX_LENGTH));
    EXPECT_EQ(Peer::readBulk(*spectrometer, 4), (Bytes{0x5A, 0x5A, 0x5A, 0x5A}));
    EXPECT_EQ(Peer::readBulk(*spectrometer, 64), Bytes(6, 0x5A));
    expectUsable();

    spectrometer->disconnect();
    EXPECT_EQ(failureText([&] { Peer::readBulk(*spectrometer, 64); }), "Bulk read error: Device not open");
}
