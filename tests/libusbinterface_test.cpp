// The USB transport against simulated devices: enumeration, opening and
// endpoint choice, claiming, the shared libusb context, bulk transfers.

#include "support/simulatedbench.h"

#include <gtest/gtest.h>
#include <libusb.h>

#include <dirent.h>
#include <filesystem>

#include <algorithm>

using namespace velmorsim;
using Bytes = std::vector<uint8_t>;
using Location = std::tuple<uint8_t, uint8_t>;

namespace {

const Bytes kStatusRequest{0x00, 0x30, 0x00, 0x00};

// A libusb context and every open handle hold file descriptors, so a context
// or handle left behind shows as a surplus over a baseline.
int openDescriptorCount()
{
    int count = 0;
    if (DIR* dir = opendir("/proc/self/fd")) {
        while (readdir(dir) != nullptr) {
            ++count;
        }
        closedir(dir);
    }
    return count;
}

std::string openDescriptorTargets()
{
    std::string targets;
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
        std::error_code error;
        targets += entry.path().filename().string() + " -> " + std::filesystem::read_symlink(entry, error).string() + "\n";
    }
    return targets;
}

// The bus may close descriptors of its own a moment later.
void expectDescriptorsBackTo(int baseline)
{
    waitUntil([&] { return openDescriptorCount() <= baseline; }, std::chrono::seconds(10));
    EXPECT_LE(openDescriptorCount(), baseline) << openDescriptorTargets();
}

void expectStatusExchange(LibusbInterface& usb)
{
    usb.write(kStatusRequest);
    EXPECT_EQ(usb.read(SpectrometerDevice::MAX_RX_LENGTH).size(), 8u);
}

// What libusb itself enumerates, in its order.
std::vector<Location> libusbEnumeration()
{
    libusb_context* context = nullptr;
    libusb_device** list = nullptr;
    std::vector<Location> found;
    if (libusb_init(&context) != 0) {
        return found;
    }
    for (ssize_t i = 0, count = libusb_get_device_list(context, &list); i < count; ++i) {
        libusb_device_descriptor descriptor{};
        if (libusb_get_device_descriptor(list[i], &descriptor) == 0 && descriptor.idVendor == VELMOR_USB_VID &&
            descriptor.idProduct == VELMOR_USB_PID) {
            found.emplace_back(libusb_get_bus_number(list[i]), libusb_get_device_address(list[i]));
        }
    }
    libusb_free_device_list(list, 1);
    libusb_exit(context);
    return found;
}

UsbDeviceOptions withEndpoints(EndpointLayout layout)
{
    UsbDeviceOptions options;
    options.endpoints = layout;
    return options;
}

class LibusbInterfaceTest : public ::testing::Test {
protected:
    SimulatedBench bench;
};

} // namespace

TEST_F(LibusbInterfaceTest, FindDevicesListsMatchingDevicesInEnumerationOrder)
{
    EXPECT_TRUE(LibusbInterface::findDevices(VELMOR_USB_VID, VELMOR_USB_PID).empty());
    UsbDeviceOptions other;
    other.productId = VELMOR_USB_PID + 1;
    const auto otherDevice = bench.attach(SimulatedBench::fastConfig(), other);
    EXPECT_TRUE(LibusbInterface::findDevices(VELMOR_USB_VID, VELMOR_USB_PID).empty());

    UsbDeviceOptions first, second;
    first.busNumber = 2;
    first.deviceAddress = 7;
    second.deviceAddress = 5;
    bench.attach(SimulatedBench::fastConfig(0), first);
    bench.attach(SimulatedBench::fastConfig(1), second);
    const std::vector<Location> found = LibusbInterface::findDevices(VELMOR_USB_VID, VELMOR_USB_PID);
    ASSERT_EQ(found.size(), 2u);
    EXPECT_NE(std::find(found.begin(), found.end(), Location{2, 7}), found.end());
    EXPECT_NE(std::find(found.begin(), found.end(), Location{1, 5}), found.end());
    EXPECT_EQ(found, libusbEnumeration());
    EXPECT_EQ(LibusbInterface::findDevices(VELMOR_USB_VID, VELMOR_USB_PID + 1),
              (std::vector<Location>{{bench.bus().busNumber(otherDevice.id), bench.bus().deviceAddress(otherDevice.id)}}));
}

TEST_F(LibusbInterfaceTest, OpenAndCloseAreIdempotentAndAnInstanceCanBeReopened)
{
    const auto device = bench.attach();
    const int baseline = openDescriptorCount();
    auto usb = bench.transport(device);
    EXPECT_EQ(failureText([&] { usb->write(kStatusRequest); }), "Device not open");
    EXPECT_EQ(failureText([&] { usb->read(64); }), "Device not open");
    usb->close();

    usb->open();
    usb->open(); // no second handle, no second context reference
    EXPECT_TRUE(usb->isOpen());
    EXPECT_TRUE(bench.bus().interfaceClaimed(device.id));
    expectStatusExchange(*usb);
    usb->close();
    usb->close();
    EXPECT_FALSE(usb->isOpen());
    EXPECT_FALSE(bench.bus().interfaceClaimed(device.id));
    EXPECT_EQ(failureText([&] { usb->write(kStatusRequest); }), "Device not open");
    EXPECT_EQ(failureText([&] { usb->read(64); }), "Device not open");

    usb->open();
    expectStatusExchange(*usb);
    usb.reset(); // destruction closes
    EXPECT_FALSE(bench.bus().interfaceClaimed(device.id));
    expectDescriptorsBackTo(baseline);
    EXPECT_EQ(device.model->requests().size(), 2u);
}

TEST_F(LibusbInterfaceTest, UsesTheLastBulkEndpointsAndIgnoresInterruptEndpoints)
{
    for (const EndpointLayout layout : {EndpointLayout::TwoBulkIn, EndpointLayout::WithInterruptEndpoints}) {
        auto usb = bench.transport(bench.attach(SimulatedBench::fastConfig(), withEndpoints(layout)));
        usb->open();
        expectStatusExchange(*usb); // other endpoints are never served: a wrong choice times out
    }
}

TEST_F(LibusbInterfaceTest, DetachesAnActiveKernelDriverBeforeClaiming)
{
    UsbDeviceOptions options;
    options.kernelDriver = KernelDriver::Active;
    const auto device = bench.attach(SimulatedBench::fastConfig(), options);
    auto usb = bench.transport(device);
    usb->open();
    EXPECT_EQ(bench.bus().kernelDriverDetachCount(device.id), 1);
    EXPECT_TRUE(bench.bus().interfaceClaimed(device.id));
    expectStatusExchange(*usb);
}

TEST_F(LibusbInterfaceTest, FailedOpenLeavesNoHandleAndNoContextBehind)
{
    UsbDeviceOptions undetachable, claimFails;
    undetachable.kernelDriver = KernelDriver::ActiveUndetachable;
    claimFails.claimFails = true;
    const auto unplugged = bench.attach();
    std::pair<std::unique_ptr<LibusbInterface>, std::string> cases[] = {
        {bench.transport(bench.attach(SimulatedBench::fastConfig(), withEndpoints(EndpointLayout::MissingBulkOut))),
         "Valid endpoints not found"},
        {bench.transport(bench.attach(SimulatedBench::fastConfig(), withEndpoints(EndpointLayout::MissingBulkIn))),
         "Valid endpoints not found"},
        {bench.transport(bench.attach(SimulatedBench::fastConfig(), undetachable)), "Failed to detach kernel driver"},
        {bench.transport(bench.attach(SimulatedBench::fastConfig(), claimFails)), "Failed to claim interface"},
        {bench.transport(unplugged), "Target device not found"},
    };
    bench.bus().unplug(unplugged.id);
    const int baseline = openDescriptorCount();
    for (auto& [usb, text] : cases) {
        EXPECT_EQ(failureText([&] { usb->open(); }), text);
        EXPECT_FALSE(usb->isOpen());
        EXPECT_EQ(failureText([&] { usb->write(kStatusRequest); }), "Device not open");
    }
    expectDescriptorsBackTo(baseline);
}

TEST_F(LibusbInterfaceTest, SharedContextLivesExactlyAsLongAsItIsNeeded)
{
    const auto a = bench.attach(SimulatedBench::fastConfig(0));
    const auto b = bench.attach(SimulatedBench::fastConfig(1));
    const int baseline = openDescriptorCount();
    LibusbInterface::findDevices(VELMOR_USB_VID, VELMOR_USB_PID);
    expectDescriptorsBackTo(baseline);

    auto usbA = bench.transport(a);
    auto usbB = bench.transport(b);
    usbA->open();
    EXPECT_GT(openDescriptorCount(), baseline); // the measure does see a context and a handle
    usbB->open();
    usbB->close();
    // Neither another instance's close, nor enumeration, nor a failed open
    // ends the context under an open instance.
    LibusbInterface::findDevices(VELMOR_USB_VID, VELMOR_USB_PID);
    LibusbInterface missing(VELMOR_USB_VID, VELMOR_USB_PID, 9, 99);
    EXPECT_EQ(failureText([&] { missing.open(); }), "Target device not found");
    expectStatusExchange(*usbA);
    usbA->close();
    expectDescriptorsBackTo(baseline);

    usbB->open(); // on a new context
    expectStatusExchange(*usbB);
    usbB->close();
    expectDescriptorsBackTo(baseline);
}

TEST_F(LibusbInterfaceTest, ShortWritesFailAndReadsReturnWhatArrived)
{
    const auto device = bench.attach();
    auto usb = bench.transport(device);
    usb->open();

    device.model->injectFault(command::kGetStatus, Fault::partialWrite(2));
    EXPECT_EQ(failureText([&] { usb->write(kStatusRequest); }), "Data write failed");
    EXPECT_TRUE(usb->isOpen());

    device.model->injectFault(command::kGetStatus, Fault::emptyReply());
    usb->write(kStatusRequest);
    EXPECT_TRUE(usb->read(SpectrometerDevice::MAX_RX_LENGTH).empty());

    device.model->injectFault(command::kGetStatus, Fault::shortReply(3));
    usb->write(kStatusRequest);
    EXPECT_EQ(usb->read(SpectrometerDevice::MAX_RX_LENGTH), (Bytes{0x00, 0x00, 0x00}));

    usb->write(kStatusRequest); // a transfer also ends when maxLength bytes have arrived
    EXPECT_EQ(usb->read(4).size(), 4u);
    EXPECT_EQ(usb->read(4).size(), 4u);
    expectStatusExchange(*usb);
}

// Replies land in room kept from one read to the next: a short reply after a
// long one must come back alone, and room asked for later must be there.
TEST_F(LibusbInterfaceTest, EachReadReturnsOnlyItsOwnReply)
{
    const auto device = bench.attach();
    auto usb = bench.transport(device);
    usb->open();

    usb->write(kStatusRequest);
    EXPECT_EQ(usb->read(4).size(), 4u); // the first read asks for little room
    EXPECT_EQ(usb->read(4).size(), 4u);

    const Bytes longReply(SpectrometerDevice::MAX_RX_LENGTH, 0xA5);
    device.model->injectFault(command::kGetStatus, Fault::fixedReply(longReply));
    usb->write(kStatusRequest);
    EXPECT_EQ(usb->read(SpectrometerDevice::MAX_RX_LENGTH), longReply);

    const Bytes shortReply{0x00, 0x00, 0x00, 0x00, 0x12, 0x34};
    device.model->injectFault(command::kGetStatus, Fault::fixedReply(shortReply));
    usb->write(kStatusRequest);
    EXPECT_EQ(usb->read(SpectrometerDevice::MAX_RX_LENGTH), shortReply);

    device.model->injectFault(command::kGetStatus, Fault::emptyReply());
    usb->write(kStatusRequest);
    EXPECT_TRUE(usb->read(SpectrometerDevice::MAX_RX_LENGTH).empty());
}
