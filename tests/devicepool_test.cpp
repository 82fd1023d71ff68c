// Finding, initializing, counting, handing out and releasing the devices.

#include <velmor/libusbinterface.h>
#include <velmor/vasklinkprotocol.h>

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "support/simulatedbench.h"
#include "support/streamcapture.h"
#include "support/testpeers.h"

using namespace velmorsim;

namespace {

constexpr char kIndexOutOfRange[] = "Device index out of range";

// True when every one of `lines` is a whole line of `text`, in this order.
bool containsLinesInOrder(const std::string& text, const std::vector<std::string>& lines)
{
    const std::string framed = "\n" + text;
    size_t from = 0;
    for (const std::string& line : lines) {
        from = framed.find("\n" + line + "\n", from);
        if (from == std::string::npos) {
            return false;
        }
        from += line.size() + 1;
    }
    return true;
}

class DevicePool : public ::testing::Test {
protected:
    std::string locationOf(const SimulatedBench::Attached& device)
    {
        return "bus=" + std::to_string(bench.bus().busNumber(device.id)) +
               ", address=" + std::to_string(bench.bus().deviceAddress(device.id));
    }

    SimulatedBench bench;
    StreamCapture capture;
    VaskLinkProtocol manager;
};

TEST_F(DevicePool, ConnectsEveryDeviceInEnumerationOrder)
{
    const std::vector<SimulatedBench::Attached> attached{bench.attach(SimulatedBench::fastConfig(0)),
                                                         bench.attach(SimulatedBench::fastConfig(1))};
    manager.connectDevice();

    const std::string out = capture.out();
    EXPECT_EQ(out.substr(0, out.find('\n', out.find('\n') + 1) + 1), "开始查找设备...\n找到设备数量: 2\n");
    const auto found = linesMatching(out, R"(正在初始化设备 \d: (bus=\d+, address=\d+))");
    ASSERT_EQ(found.size(), 2u);
    ASSERT_EQ(manager.getConnectedDeviceCount(), 2u);
    for (int i = 0; i < 2; ++i) {
        SCOPED_TRACE("device " + std::to_string(i));
        const auto& device = locationOf(attached[0]) == found[static_cast<size_t>(i)][1] ? attached[0] : attached[1];
        const std::string index = std::to_string(i);
        EXPECT_TRUE(containsLinesInOrder(out, {"正在初始化设备 " + index + ": " + locationOf(device),
                                               "创建USB接口成功，正在打开设备...",
                                               "设备打开成功，正在创建光谱仪对象...", "光谱仪对象创建成功",
                                               "设备 " + index + " 初始化完成"}));
        EXPECT_EQ(manager.getDevice(i)->m_serialNumber, device.model->config().serialNumber);
        EXPECT_FALSE(VaskLinkProtocolTestPeer::measuring(manager, static_cast<size_t>(i)));
    }
    EXPECT_NE(found[0][1], found[1][1]);
    EXPECT_EQ(capture.err(), "");
    EXPECT_EQ(thrownText<std::out_of_range>([&] { manager.getDevice(-1); }), kIndexOutOfRange);
    EXPECT_EQ(thrownText<std::out_of_range>([&] { manager.getDevice(2); }), kIndexOutOfRange);
}

TEST_F(DevicePool, DeviceThatFailsInitializationIsLeftOut)
{
    const SimulatedBench::Attached a = bench.attach(SimulatedBench::fastConfig(0));
    const SimulatedBench::Attached b = bench.attach(SimulatedBench::fastConfig(1));
    const auto found = LibusbInterface::findDevices(VaskLinkProtocol::TARGET_VID, VaskLinkProtocol::TARGET_PID);
    ASSERT_EQ(found.size(), 2u);
    const bool aFirst = std::make_tuple(bench.bus().busNumber(a.id), bench.bus().deviceAddress(a.id)) == found[0];
    const SimulatedBench::Attached& failing = aFirst ? a : b;
    const SimulatedBench::Attached& working = aFirst ? b : a;
    failing.model->injectFault(command::kGetSerialNumber, Fault::deviceError(returncode::kNotAllowed));

    manager.connectDevice();

    EXPECT_EQ(occurrences(capture.err(), "设备 0 初始化失败: Communication failed: This operation is currently not "
                                         "allowed. Device error (cmd:0x2001 ret:0x0400).\n"),
              1u);
    EXPECT_TRUE(containsLinesInOrder(capture.out(), {"正在初始化设备 0: " + locationOf(failing),
                                                     "正在初始化设备 1: " + locationOf(working), "设备 1 初始化完成"}));
    EXPECT_EQ(occurrences(capture.out(), "设备 0 初始化完成"), 0u);
    ASSERT_EQ(manager.getConnectedDeviceCount(), 1u);
    EXPECT_EQ(manager.getDevice(0)->m_serialNumber, working.model->config().serialNumber);
    EXPECT_EQ(thrownText<std::out_of_range>([&] { manager.getDevice(1); }), kIndexOutOfRange);
}

TEST_F(DevicePool, WithNothingAttachedThePoolStaysEmpty)
{
    {
        VaskLinkProtocol neverConnected;
    }
    EXPECT_EQ(capture.out(), "");
    EXPECT_EQ(capture.err(), "No devices connected to stop measurement.\n");

    capture.clear();
    manager.connectDevice();
    EXPECT_EQ(capture.out(), "开始查找设备...\n找到设备数量: 0\n");
    EXPECT_EQ(capture.err(), "");
    EXPECT_EQ(manager.getConnectedDeviceCount(), 0u);
    EXPECT_EQ(thrownText<std::out_of_range>([&] { manager.getDevice(0); }), kIndexOutOfRange);
}

TEST_F(DevicePool, ConnectAgainChangesNothingUntilDisconnected)
{
    bench.attach(SimulatedBench::fastConfig(0));
    manager.connectDevice();
    ASSERT_EQ(manager.getConnectedDeviceCount(), 1u);
    const SpectrometerDevice* first = manager.getDevice(0).get();

    bench.attach(SimulatedBench::fastConfig(1));
    capture.clear();
    manager.connectDevice();
    EXPECT_EQ(capture.out(), "");
    EXPECT_EQ(capture.err(), "");
    ASSERT_EQ(manager.getConnectedDeviceCount(), 1u);
    EXPECT_EQ(manager.getDevice(0).get(), first);

    manager.disconnectDevice();
    EXPECT_EQ(manager.getConnectedDeviceCount(), 0u);
    EXPECT_EQ(capture.out(), "");
    EXPECT_EQ(thrownText<std::out_of_range>([&] { manager.getDevice(0); }), kIndexOutOfRange);

    manager.connectDevice();
    EXPECT_EQ(capture.out().rfind("开始查找设备...\n找到设备数量: 2\n", 0), 0u);
    ASSERT_EQ(manager.getConnectedDeviceCount(), 2u);
    EXPECT_FALSE(VaskLinkProtocolTestPeer::measuring(manager, 0));
    EXPECT_FALSE(VaskLinkProtocolTestPeer::measuring(manager, 1));
}

TEST_F(DevicePool, ManagersOnTwoThreadsShareOneUsbContext)
{
    const std::vector<SimulatedBench::Attached> devices =
        attachAllInPoolOrder(bench, {SimulatedBench::fastConfig(0), SimulatedBench::fastConfig(1)});
    const auto connectAndDisconnect = [] {
        for (int round = 0; round < 4; ++round) {
            VaskLinkProtocol other;
            other.connectDevice();
            other.disconnectDevice();
        }
    };
    std::thread first(connectAndDisconnect);
    std::thread second(connectAndDisconnect);
    first.join();
    second.join();

    ASSERT_TRUE(waitUntil([&] {
        return !bench.bus().interfaceClaimed(devices[0].id) && !bench.bus().interfaceClaimed(devices[1].id);
    }));
    capture.clear();
    manager.connectDevice();
    EXPECT_EQ(manager.getConnectedDeviceCount(), 2u) << capture.err();
    EXPECT_EQ(manager.getDevice(1)->getStatusInfo().status, SpectrStatus::Idle);
}

} // namespace
