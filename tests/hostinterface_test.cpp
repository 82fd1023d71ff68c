// The host interface (velmorhost.h): identity facts, the device clock, and
// the failure kinds that hosts decide by instead of by texts.

#include "support/simulatedbench.h"
#include "support/streamcapture.h"
#include "support/testpeers.h"
#include "tools/localtimezone.h"

#include "velmor/capi/cboundary.h"
#include "velmor/nodeviceserror.h"

#include <velmor/communicationerror.h>
#include <velmor/vasklinkprotocol.h>
#include <velmor/velmor_c.h>
#include <velmor/velmorhost.h>

#include <gtest/gtest.h>

#include <libusb.h>

using namespace velmorsim;
using Peer = SpectrometerDeviceTestPeer;

namespace {

constexpr int32_t PLUS_5_30 = 5 * 3600 + 30 * 60;
constexpr int32_t MINUS_5 = -5 * 3600;

TEST(HostInterface, AnswersIdentityAndClockOffsetOfEachDevice)
{
    struct Case {
        FirmwareVersionValue firmware;
        bool setsClock; // from 4.0.7.1 on
    };
    const Case cases[] = {{{4, 1, 7, 0}, true}, {{4, 0, 7, 1}, true}, {{4, 0, 7, 0}, false}};
    SimulatedBench bench;
    StreamCapture capture;
    std::vector<SpectrometerConfig> configs;
    for (const Case& c : cases) {
        configs.push_back(SimulatedBench::fastConfig(static_cast<int>(configs.size())));
        configs.back().firmware = c.firmware;
    }
    const auto attached = attachAllInPoolOrder(bench, configs);
    VaskLinkProtocol manager;
    {
        const LocalTimeZone connectedIn("IST-5:30");
        manager.connectDevice();
    }
    ASSERT_EQ(manager.getConnectedDeviceCount(), 3u);
    // A clock never set follows the host's zone of the moment.
    const LocalTimeZone askedIn("EST5");
    for (size_t i = 0; i < 3; ++i) {
        SCOPED_TRACE(i);
        const SpectrometerDevice& device = *manager.getDevice(static_cast<int>(i));
        const FirmwareVersion firmware = velmor::firmwareVersion(device);
        EXPECT_EQ(firmware.toString(), FirmwareVersion(cases[i].firmware.major, cases[i].firmware.minor,
                                                       cases[i].firmware.build, cases[i].firmware.revision)
                                           .toString());
        const velmor::UsbLocation location = velmor::usbLocation(device);
        EXPECT_EQ(location.busNumber, bench.bus().busNumber(attached[i].id));
        EXPECT_EQ(location.deviceAddress, bench.bus().deviceAddress(attached[i].id));

        const int32_t offset = cases[i].setsClock ? PLUS_5_30 : MINUS_5;
        EXPECT_EQ(velmor::deviceClockUtcOffsetSeconds(device), offset);
        // Day 20000, 01:00:00.0005 device time.
        const auto utc = velmor::deviceTimeToUtc(device, 20000, 36000005);
        EXPECT_EQ(std::chrono::duration_cast<std::chrono::microseconds>(utc.time_since_epoch()).count(),
                  (int64_t{20000} * 86400 + 3600 - offset) * 1000000 + 500);
    }
    EXPECT_EQ(velmor::libraryVersion(), velmor_library_version());
}

// Every way an exchange fails, as a C++ host catches it and as the C
// interface reports it.
TEST(HostInterface, FailureKindsReachHostsByTypeAndStatus)
{
    using Kind = CommunicationError::Kind;
    SimulatedBench bench;
    const SimulatedBench::Attached device = bench.attach();
    const std::unique_ptr<SpectrometerDevice> spectrometer = connectQuietly(bench, device);
    struct Case {
        const char* name;
        std::function<void()> breakIt;
        Kind kind;
        uint32_t returnCode;
        int libusbError;
        int32_t status;
    };
    const Case cases[] = {
        {"device error", [&] { device.model->injectFault(command::kGetStatus, Fault::deviceError(0x0500)); },
         Kind::DeviceError, 0x0500, 0, VELMOR_ERROR_DEVICE},
        {"short reply", [&] { device.model->injectFault(command::kGetStatus, Fault::shortReply(3)); },
         Kind::BadReply, 0, 0, VELMOR_ERROR_DEVICE},
        {"short write", [&] { device.model->injectFault(command::kGetStatus, Fault::partialWrite(2)); },
         Kind::Transport, 0, 0, VELMOR_ERROR_DEVICE},
        // Waits out the transport's 5 s read time-out.
        {"no reply", [&] { device.model->injectFault(command::kGetStatus, Fault::noReply()); }, Kind::Timeout, 0,
         LIBUSB_ERROR_TIMEOUT, VELMOR_ERROR_TIMEOUT},
        {"unplugged", [&] { bench.bus().unplug(device.id); }, Kind::DeviceGone, 0, LIBUSB_ERROR_NO_DEVICE,
         VELMOR_ERROR_DEVICE_GONE},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        c.breakIt();
        try {
            Peer::send(*spectrometer, command::kGetStatus);
            ADD_FAILURE() << "no exception";
        } catch (const CommunicationError& e) {
            EXPECT_EQ(e.kind(), c.kind);
            EXPECT_EQ(e.command(), command::kGetStatus);
            EXPECT_EQ(e.returnCode(), c.returnCode);
            EXPECT_EQ(e.libusbError(), c.libusbError);
            EXPECT_EQ(std::string(e.what()).rfind("Communication failed: ", 0), 0u);
            EXPECT_EQ(CBoundary::statusOf(std::current_exception()), c.status);
        }
    }
    EXPECT_EQ(CBoundary::statusOf(std::make_exception_ptr(NoDevicesError())), VELMOR_ERROR_NO_DEVICE);
    EXPECT_EQ(CBoundary::statusOf(nullptr), VELMOR_OK);
}

TEST(HostInterface, ConnectTellsWhichDevicesAreHeldElsewhere)
{
    SimulatedBench bench;
    StreamCapture capture;
    UsbDeviceOptions held;
    held.claimFails = true;
    bench.attach(SimulatedBench::fastConfig(0), held);
    VaskLinkProtocol manager;
    manager.connectDevice();
    EXPECT_EQ(manager.getConnectedDeviceCount(), 0u);
    const auto skipped = velmor::skippedDevices(manager);
    ASSERT_EQ(skipped.size(), 1u);
    EXPECT_EQ(skipped[0].reason, velmor::SkipReason::InUse);
    EXPECT_EQ(skipped[0].message, "Failed to claim interface");
}

} // namespace
