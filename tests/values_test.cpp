// Value types and pure helpers: no device involved.
#include "support/testpeers.h"

#include <velmor/communicationerror.h>
#include <velmor/velmor.h>

#include <gtest/gtest.h>

#include <cstddef>
#include <stdexcept>
#include <type_traits>

namespace {

TEST(FirmwareVersion, ComparesFieldByFieldFromMajor)
{
    EXPECT_TRUE(FirmwareVersion(4, 1, 7, 0) >= minFirmwareNewTriggering);
    EXPECT_FALSE(FirmwareVersion(4, 1, 6, 9) >= minFirmwareNewTriggering);
    EXPECT_TRUE(FirmwareVersion(5, 0, 0, 0) >= FirmwareVersion(4, 255, 255, 255));
    EXPECT_FALSE(FirmwareVersion(4, 0, 255, 255) >= minFirmwareNewTriggering);
    EXPECT_FALSE(FirmwareVersion(4, 0, 7, 0) >= minFirmwareDateTime);
    EXPECT_TRUE(FirmwareVersion(4, 0, 7, 1) >= minFirmwareDateTime);
    EXPECT_TRUE(FirmwareVersion(4, 0, 8, 0) >= minFirmwareDateTime);
}

TEST(FirmwareVersion, PrintsDottedDecimal)
{
    EXPECT_EQ(minFirmwareDateTime.toString(), "4.0.7.1");
    EXPECT_EQ(FirmwareVersion(255, 0, 10, 9).toString(), "255.0.10.9");
}

TEST(ValueTypes, DefaultsAndLayout)
{
    const StatusInfo status;
    EXPECT_EQ(status.status, SpectrStatus::NotConnected);
    EXPECT_EQ(status.availableSpectra, 0);
    const TriggerConfig trigger;
    EXPECT_EQ(trigger.mode, 0);
    EXPECT_EQ(trigger.edge, 0);
    EXPECT_EQ(trigger.reserved, 0);
    EXPECT_EQ(sizeof(TriggerConfig), 4u);
    EXPECT_EQ(sizeof(SpectrumHeader), 64u);
    EXPECT_TRUE(std::is_trivially_copyable<SpectrumHeader>::value);
    EXPECT_TRUE(std::is_abstract<SpectrometerCallback>::value);
    EXPECT_TRUE(std::has_virtual_destructor<SpectrometerCallback>::value);
    Velmor marker;
    (void)marker;
}

TEST(FormatTime01ms, RendersTimeOfDay)
{
    EXPECT_EQ(VaskLinkProtocolTestPeer::formatTime01ms(123456789), "03:25:45.678");
    EXPECT_EQ(VaskLinkProtocolTestPeer::formatTime01ms(0), "00:00:00.000");
    EXPECT_EQ(VaskLinkProtocolTestPeer::formatTime01ms(864000000), "00:00:00.000");
    EXPECT_EQ(VaskLinkProtocolTestPeer::formatTime01ms(4294967295u), "23:18:16.729");
    EXPECT_EQ(VaskLinkProtocolTestPeer::formatTime01ms(863999999), "23:59:59.999");
}

TEST(NoMoreSpectrumError, RecognisesClass11DeviceErrorsByType)
{
    using Kind = CommunicationError::Kind;
    const std::string text = "Communication failed: Error code received from device. Device error (cmd:0x4000 ret:0x0b00).";
    const auto recognised = [](const std::exception& e) { return VaskLinkProtocolTestPeer::isNoMoreSpectrumError(e); };
    EXPECT_TRUE(recognised(CommunicationError(Kind::DeviceError, text, 0x4000, 0x0b00, 0)));
    EXPECT_TRUE(recognised(CommunicationError(Kind::DeviceError, "", 0x4000, 0x0bff, 0)));
    EXPECT_FALSE(recognised(CommunicationError(Kind::DeviceError, text, 0x4000, 0x0a00, 0)));
    // The text alone decides nothing.
    EXPECT_FALSE(recognised(std::runtime_error(text)));
    EXPECT_FALSE(recognised(CommunicationError(Kind::Timeout, text, 0x4000, 0, -7)));
}

} // namespace
