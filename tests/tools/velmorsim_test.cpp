// The simulator runner's own parts: device descriptions, control commands
// and the control socket.
#include "controlserver.h"
#include "devicespec.h"
#include "simulatorsession.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <string>

namespace {

using velmorsim::parseDeviceSpec;

TEST(DeviceSpec, OverridesTheDefaultsOfItsIndex)
{
    const auto config =
        parseDeviceSpec("serial=20001,pixels=1024,firmware=4.0.7.0,wavelength=350:0.3,exposure-scale=2", 1);
    EXPECT_EQ(config.serialNumber, "20001");
    EXPECT_EQ(config.pixelCount, 1024);
    EXPECT_EQ(config.endPixel, 1023);
    EXPECT_EQ(config.firmware.minor, 0);
    EXPECT_EQ(config.firmware.revision, 0);
    EXPECT_FLOAT_EQ(config.wavelengthCoefficients[0], 350.0f);
    EXPECT_FLOAT_EQ(config.wavelengthCoefficients[1], 0.3f);
    EXPECT_FLOAT_EQ(config.wavelengthCoefficients[2], 0.0f);
    EXPECT_DOUBLE_EQ(config.exposureScale, 2.0);
    EXPECT_EQ(parseDeviceSpec("", 2).serialNumber, "10003");
}

TEST(DeviceSpec, RejectsWhatItCannotUse)
{
    for (const char* bad : {"colour=red", "pixels", "pixels=5000", "pixels=-1", "firmware=4.1.7", "firmware=4.1.7.300",
                            "wavelength=a:b", "exposure-scale=0", "time-scale=-2", "wavelength=1:2:3:4:5"}) {
        EXPECT_THROW(parseDeviceSpec(bad, 0), std::invalid_argument) << bad;
    }
}

TEST(SimulatorSession, AnswersControlCommandsOverItsSocket)
{
    velmorsim::SimulatorSession session({parseDeviceSpec("", 0), parseDeviceSpec("serial=777", 1)});
    const std::string socket = "/tmp/velmorsim-test-" + std::to_string(getpid());
    velmorsim::ControlServer server(socket, [&](const std::string& line) { return session.execute(line); });

    const std::string listing = velmorsim::sendControlCommand(socket, "list");
    EXPECT_EQ(listing.rfind("ok 2 devices", 0), 0u) << listing;
    EXPECT_NE(listing.find("serial 777"), std::string::npos) << listing;
    EXPECT_EQ(velmorsim::sendControlCommand(socket, "unplug 1"), "ok unplugged 1");
    EXPECT_NE(velmorsim::sendControlCommand(socket, "list").find("(unplugged)"), std::string::npos);
    EXPECT_EQ(velmorsim::sendControlCommand(socket, "replug 1"), "ok replugged 1");
    EXPECT_EQ(velmorsim::sendControlCommand(socket, "trigger all"), "ok triggered all");
    EXPECT_EQ(velmorsim::sendControlCommand(socket, "fault 0 0x4000 error 0x0500 forever"), "ok fault set on 0");
    EXPECT_EQ(velmorsim::sendControlCommand(socket, "clear 0"), "ok cleared 0");

    for (const char* bad : {"", "explode", "unplug 2", "unplug x", "fault 0 0x4000 melt", "fault 0 0x4000 short",
                            "stuck-busy 0 maybe"}) {
        const std::string reply = velmorsim::sendControlCommand(socket, bad);
        EXPECT_EQ(reply.rfind("error: ", 0), 0u) << bad << " -> " << reply;
    }
}

TEST(SimulatorSession, ControlClientReportsAnAbsentSession)
{
    EXPECT_THROW(velmorsim::sendControlCommand("/nonexistent/velmor-sim/control", "list"), std::runtime_error);
}

} // namespace
