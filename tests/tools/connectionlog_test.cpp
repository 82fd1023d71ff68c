#include "acquisition/connectionlog.h"
#include "acquisition/linecapture.h"

#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

namespace velmorcli {
namespace {

std::vector<ConnectionDetails> connectedFrom(const std::vector<std::string>& lines)
{
    ConnectionLog log;
    for (const std::string& line : lines) {
        log.addLine(line);
    }
    return log.connectedDevices();
}

// What the library writes for one device that initializes successfully,
// including the device's own "设备初始化完成", which carries no index.
std::vector<std::string> successfulDevice(const std::string& index, const std::string& bus, const std::string& address,
                                          const std::string& firmware)
{
    return {"正在初始化设备 " + index + ": bus=" + bus + ", address=" + address,
            "创建USB接口成功，正在打开设备...",
            "读取到软件版本: " + firmware,
            "设备软件版本: " + firmware,
            "最小支持版本: 4.0.7.1",
            "设备初始化完成",
            "光谱仪对象创建成功",
            "设备 " + index + " 初始化完成"};
}

TEST(ConnectionLog, GivesBusAddressAndFirmwarePerDeviceInPoolOrder)
{
    std::vector<std::string> lines{"开始查找设备...", "找到设备数量: 2"};
    for (const auto& device :
         {successfulDevice("0", "1", "7", "4.1.7.0"), successfulDevice("1", "3", "12", "4.0.7.1")}) {
        lines.insert(lines.end(), device.begin(), device.end());
    }
    const auto devices = connectedFrom(lines);
    ASSERT_EQ(devices.size(), 2u);
    EXPECT_EQ(devices[0].bus, 1);
    EXPECT_EQ(devices[0].address, 7);
    EXPECT_EQ(devices[0].firmware, "4.1.7.0");
    EXPECT_EQ(devices[1].bus, 3);
    EXPECT_EQ(devices[1].address, 12);
    EXPECT_EQ(devices[1].firmware, "4.0.7.1");
}

TEST(ConnectionLog, SkipsADeviceThatFailedSoThatTheOthersKeepTheirPoolIndex)
{
    // Device 0 fails after its firmware line; its failure goes to standard
    // error, so only the start of the next attempt shows it here.
    std::vector<std::string> lines{"正在初始化设备 0: bus=1, address=2", "设备软件版本: 9.9.9.9"};
    const auto second = successfulDevice("1", "1", "3", "4.1.7.0");
    lines.insert(lines.end(), second.begin(), second.end());
    const auto devices = connectedFrom(lines);
    ASSERT_EQ(devices.size(), 1u);
    EXPECT_EQ(devices[0].address, 3);
    EXPECT_EQ(devices[0].firmware, "4.1.7.0");
}

TEST(ConnectionLog, IgnoresLinesThatOnlyResembleTheConnectionLines)
{
    const auto devices = connectedFrom({"设备 0 初始化完成", // no attempt started
                                        "正在初始化设备 0: bus=1, address=2\r",
                                        "设备 1 初始化完成", // another device's index
                                        "正在初始化设备 x: bus=1, address=2"});
    EXPECT_TRUE(devices.empty());
    const auto withoutFirmware =
        connectedFrom({"正在初始化设备 0: bus=1, address=2", "设备 0 初始化完成\r"});
    ASSERT_EQ(withoutFirmware.size(), 1u);
    EXPECT_EQ(withoutFirmware[0].firmware, "");
}

TEST(LineCapture, KeepsCompleteLinesAndStillForwardsEverything)
{
    std::ostringstream target;
    std::ostream stream(target.rdbuf());
    {
        LineCapture capture(stream);
        stream << "正在初始化设备 " << 0 << ": bus=" << 1 << std::endl;
        stream << 'x' << "\nhalf";
        EXPECT_EQ(capture.lines(), (std::vector<std::string>{"正在初始化设备 0: bus=1", "x"}));
    }
    stream << " after";
    EXPECT_EQ(target.str(), "正在初始化设备 0: bus=1\nx\nhalf after");
    EXPECT_EQ(stream.rdbuf(), target.rdbuf()) << "the stream's own buffer is back";
}

} // namespace
} // namespace velmorcli
