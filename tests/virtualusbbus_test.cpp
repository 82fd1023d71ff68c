// The virtual USB bus as the real libusb-1.0 sees it.

#include "simulator/virtualusbbus.h"

#include <gtest/gtest.h>
#include <libusb.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <future>
#include <memory>
#include <mutex>
#include <numeric>
#include <stdexcept>
#include <tuple>
#include <vector>

using namespace velmorsim;
using Bytes = std::vector<uint8_t>;

namespace {

constexpr unsigned LongTimeoutMs = 5000;

// Replies with what it was told to, or echoes what it received.
class ScriptedFunction : public UsbFunction {
public:
    explicit ScriptedFunction(bool echo = false) : echo_(echo) {}

    std::size_t receiveBulkOut(const Bytes& data) override
    {
        std::lock_guard lock(mutex_);
        received_.push_back(data);
        if (echo_) {
            replies_.push_back(data);
        }
        return std::min(data.size(), acceptLimit_);
    }

    std::optional<Bytes> sendBulkIn(std::size_t) override
    {
        std::lock_guard lock(mutex_);
        ++inRequests_;
        polled_.notify_all();
        if (replies_.empty()) {
            return std::nullopt;
        }
        Bytes reply = std::move(replies_.front());
        replies_.pop_front();
        return reply;
    }

    void queueReply(Bytes reply)
    {
        std::lock_guard lock(mutex_);
        replies_.push_back(std::move(reply));
    }

    void acceptAtMost(std::size_t count)
    {
        std::lock_guard lock(mutex_);
        acceptLimit_ = count;
    }

    std::vector<Bytes> received() const
    {
        std::lock_guard lock(mutex_);
        return received_;
    }

    void waitUntilHostIsReading()
    {
        std::unique_lock lock(mutex_);
        polled_.wait(lock, [this] { return inRequests_ > 0; });
    }

private:
    const bool echo_;
    mutable std::mutex mutex_;
    std::condition_variable polled_;
    std::deque<Bytes> replies_;
    std::vector<Bytes> received_;
    std::size_t acceptLimit_ = SIZE_MAX;
    int inRequests_ = 0;
};

// Keeps each request it receives until the test lets it go, as a device
// that is slow to answer does; after HoldLimit it lets go by itself.
class HoldingFunction : public UsbFunction {
public:
    static constexpr auto HoldLimit = std::chrono::seconds(20);

    std::size_t receiveBulkOut(const Bytes& data) override
    {
        std::unique_lock lock(mutex_);
        holding_ = true;
        changed_.notify_all();
        changed_.wait_for(lock, HoldLimit, [this] { return released_; });
        holding_ = false;
        return data.size();
    }

    std::optional<Bytes> sendBulkIn(std::size_t) override { return std::nullopt; }

    void waitUntilHolding()
    {
        std::unique_lock lock(mutex_);
        changed_.wait(lock, [this] { return holding_; });
    }

    bool holding() const
    {
        std::lock_guard lock(mutex_);
        return holding_;
    }

    void release()
    {
        std::lock_guard lock(mutex_);
        released_ = true;
        changed_.notify_all();
    }

private:
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    bool holding_ = false;
    bool released_ = false;
};

Bytes pattern(std::size_t size, uint8_t seed)
{
    Bytes bytes(size);
    std::iota(bytes.begin(), bytes.end(), seed);
    return bytes;
}

template <auto Release>
struct Releaser {
    template <typename T>
    void operator()(T* resource) const
    {
        Release(resource);
    }
};

void freeDeviceList(libusb_device** list)
{
    libusb_free_device_list(list, 1);
}

using Context = std::unique_ptr<libusb_context, Releaser<libusb_exit>>;
using DeviceList = std::unique_ptr<libusb_device*, Releaser<freeDeviceList>>;
using DeviceRef = std::unique_ptr<libusb_device, Releaser<libusb_unref_device>>;
using Handle = std::unique_ptr<libusb_device_handle, Releaser<libusb_close>>;
using Config = std::unique_ptr<libusb_config_descriptor, Releaser<libusb_free_config_descriptor>>;

using Listed = std::tuple<int, int, int, int>; // bus, address, vendor ID, product ID

int write(libusb_device_handle* handle, Bytes data, int* transferred, unsigned timeoutMs = LongTimeoutMs,
          uint8_t endpoint = 0x01)
{
    return libusb_bulk_transfer(handle, endpoint, data.data(), static_cast<int>(data.size()), transferred, timeoutMs);
}

int read(libusb_device_handle* handle, Bytes& into, unsigned timeoutMs = LongTimeoutMs, uint8_t endpoint = 0x81)
{
    int transferred = 0;
    const int result =
        libusb_bulk_transfer(handle, endpoint, into.data(), static_cast<int>(into.size()), &transferred, timeoutMs);
    into.resize(static_cast<std::size_t>(transferred));
    return result;
}

// The libusb context is created on first use, after the devices a test adds
// up front, and exits before the bus goes away.
class VirtualUsbBusTest : public testing::Test {
protected:
    // Valid until the next call.
    std::vector<libusb_device*> devices()
    {
        if (!context_) {
            libusb_context* context = nullptr;
            EXPECT_EQ(libusb_init(&context), 0);
            context_.reset(context);
        }
        libusb_device** list = nullptr;
        const ssize_t count = libusb_get_device_list(context_.get(), &list);
        list_.reset(list);
        return std::vector<libusb_device*>(list, list + std::max<ssize_t>(count, 0));
    }

    std::vector<Listed> enumerate()
    {
        std::vector<Listed> found;
        for (libusb_device* device : devices()) {
            libusb_device_descriptor descriptor{};
            libusb_get_device_descriptor(device, &descriptor);
            found.emplace_back(libusb_get_bus_number(device), libusb_get_device_address(device), descriptor.idVendor,
                               descriptor.idProduct);
        }
        std::sort(found.begin(), found.end());
        return found;
    }

    libusb_device* find(int id)
    {
        for (libusb_device* device : devices()) {
            if (libusb_get_bus_number(device) == bus.busNumber(id) &&
                libusb_get_device_address(device) == bus.deviceAddress(id)) {
                return device;
            }
        }
        return nullptr;
    }

    Handle open(int id)
    {
        libusb_device* device = find(id);
        libusb_device_handle* handle = nullptr;
        EXPECT_EQ(device == nullptr ? LIBUSB_ERROR_NOT_FOUND : libusb_open(device, &handle), 0);
        return Handle(handle);
    }

    Handle openClaimed(int id)
    {
        Handle handle = open(id);
        EXPECT_EQ(libusb_claim_interface(handle.get(), 0), 0);
        return handle;
    }

    VirtualUsbBus bus;

private:
    Context context_;
    DeviceList list_;
};

// --- enumeration ----------------------------------------------------------

constexpr int Vid = VELMOR_USB_VID;
constexpr int Pid = VELMOR_USB_PID;

TEST_F(VirtualUsbBusTest, EnumeratesDevicesAsTheyArePluggedIn)
{
    EXPECT_TRUE(enumerate().empty());

    bus.addDevice(std::make_shared<ScriptedFunction>());
    EXPECT_EQ(enumerate(), (std::vector<Listed>{{1, 2, Vid, Pid}}));

    bus.addDevice(std::make_shared<ScriptedFunction>());
    EXPECT_EQ(enumerate(), (std::vector<Listed>{{1, 2, Vid, Pid}, {1, 3, Vid, Pid}}));

    UsbDeviceOptions foreign;
    foreign.vendorId = 0x1234;
    foreign.productId = 0x5678;
    foreign.busNumber = 3;
    foreign.deviceAddress = 9;
    bus.addDevice(std::make_shared<ScriptedFunction>(), foreign);
    EXPECT_EQ(enumerate(), (std::vector<Listed>{{1, 2, Vid, Pid}, {1, 3, Vid, Pid}, {3, 9, 0x1234, 0x5678}}));
}

TEST_F(VirtualUsbBusTest, AllocatesFreeAddressesPerBusAndRefusesTakenOnes)
{
    UsbDeviceOptions atTwo;
    atTwo.deviceAddress = 2;
    UsbDeviceOptions onBusTwo;
    onBusTwo.busNumber = 2;
    const int first = bus.addDevice(std::make_shared<ScriptedFunction>(), atTwo);
    const int second = bus.addDevice(std::make_shared<ScriptedFunction>());
    const int third = bus.addDevice(std::make_shared<ScriptedFunction>(), onBusTwo);

    EXPECT_EQ(bus.deviceAddress(first), 2);
    EXPECT_EQ(bus.deviceAddress(second), 3);
    EXPECT_EQ(std::make_tuple(bus.busNumber(third), bus.deviceAddress(third)), std::make_tuple(2, 2));
    EXPECT_THROW(bus.addDevice(std::make_shared<ScriptedFunction>(), atTwo), std::invalid_argument);
    EXPECT_THROW(bus.addDevice(nullptr), std::invalid_argument);
    EXPECT_THROW(bus.busNumber(42), std::out_of_range);
    EXPECT_THROW(VirtualUsbBus{}, std::logic_error);
}

// --- descriptors ----------------------------------------------------------

TEST_F(VirtualUsbBusTest, ActiveConfigurationListsEachLayoutInOrder)
{
    using Endpoints = std::vector<std::pair<int, int>>; // address, transfer type
    constexpr int Bulk = LIBUSB_TRANSFER_TYPE_BULK;
    constexpr int Interrupt = LIBUSB_TRANSFER_TYPE_INTERRUPT;
    const std::pair<EndpointLayout, Endpoints> layouts[] = {
        {EndpointLayout::BulkInOut, {{0x01, Bulk}, {0x81, Bulk}}},
        {EndpointLayout::MissingBulkOut, {{0x81, Bulk}}},
        {EndpointLayout::MissingBulkIn, {{0x01, Bulk}}},
        {EndpointLayout::TwoBulkIn, {{0x01, Bulk}, {0x81, Bulk}, {0x82, Bulk}}},
        {EndpointLayout::WithInterruptEndpoints, {{0x82, Interrupt}, {0x01, Bulk}, {0x81, Bulk}, {0x83, Interrupt}}},
    };
    for (const auto& [layout, expected] : layouts) {
        UsbDeviceOptions options;
        options.endpoints = layout;
        const int id = bus.addDevice(std::make_shared<ScriptedFunction>(), options);

        libusb_config_descriptor* raw = nullptr;
        ASSERT_EQ(libusb_get_active_config_descriptor(find(id), &raw), 0);
        const Config config(raw);
        ASSERT_EQ(config->bConfigurationValue, 1);
        ASSERT_EQ(config->bNumInterfaces, 1);
        ASSERT_EQ(config->interface[0].num_altsetting, 1);
        const libusb_interface_descriptor& setting = config->interface[0].altsetting[0];
        Endpoints listed;
        for (int i = 0; i < setting.bNumEndpoints; ++i) {
            listed.emplace_back(setting.endpoint[i].bEndpointAddress, setting.endpoint[i].bmAttributes & 0x03);
        }
        EXPECT_EQ(listed, expected) << "layout " << static_cast<int>(layout);
    }
}

// --- claiming and kernel drivers ------------------------------------------

TEST_F(VirtualUsbBusTest, ClaimIsExclusiveAndEndsWithReleaseOrClose)
{
    const int id = bus.addDevice(std::make_shared<ScriptedFunction>());
    Handle first = open(id);
    Handle second = open(id);

    EXPECT_EQ(libusb_kernel_driver_active(first.get(), 0), 0);
    ASSERT_EQ(libusb_claim_interface(first.get(), 0), 0);
    EXPECT_TRUE(bus.interfaceClaimed(id));
    EXPECT_EQ(libusb_claim_interface(second.get(), 0), LIBUSB_ERROR_BUSY);

    ASSERT_EQ(libusb_release_interface(first.get(), 0), 0);
    EXPECT_FALSE(bus.interfaceClaimed(id));

    ASSERT_EQ(libusb_claim_interface(second.get(), 0), 0);
    second.reset();
    EXPECT_EQ(libusb_claim_interface(first.get(), 0), 0);
}

TEST_F(VirtualUsbBusTest, ActiveKernelDriverBlocksClaimUntilDetached)
{
    UsbDeviceOptions options;
    options.kernelDriver = KernelDriver::Active;
    const int id = bus.addDevice(std::make_shared<ScriptedFunction>(), options);
    Handle handle = open(id);

    EXPECT_EQ(libusb_kernel_driver_active(handle.get(), 0), 1);
    EXPECT_EQ(libusb_claim_interface(handle.get(), 0), LIBUSB_ERROR_BUSY);

    ASSERT_EQ(libusb_set_auto_detach_kernel_driver(handle.get(), 1), 0);
    ASSERT_EQ(libusb_claim_interface(handle.get(), 0), 0);
    ASSERT_EQ(libusb_release_interface(handle.get(), 0), 0);
    EXPECT_EQ(libusb_kernel_driver_active(handle.get(), 0), 1) << "reattached on release";

    ASSERT_EQ(libusb_detach_kernel_driver(handle.get(), 0), 0);
    EXPECT_EQ(libusb_kernel_driver_active(handle.get(), 0), 0);
    EXPECT_EQ(bus.kernelDriverDetachCount(id), 2);
}

TEST_F(VirtualUsbBusTest, UndetachableDriverAndFailingClaimRefuse)
{
    UsbDeviceOptions undetachable;
    undetachable.kernelDriver = KernelDriver::ActiveUndetachable;
    UsbDeviceOptions busy;
    busy.claimFails = true;
    const int stuck = bus.addDevice(std::make_shared<ScriptedFunction>(), undetachable);
    const int refusing = bus.addDevice(std::make_shared<ScriptedFunction>(), busy);
    Handle stuckHandle = open(stuck);
    Handle refusingHandle = open(refusing);

    EXPECT_EQ(libusb_kernel_driver_active(stuckHandle.get(), 0), 1);
    EXPECT_LT(libusb_detach_kernel_driver(stuckHandle.get(), 0), 0);
    EXPECT_EQ(bus.kernelDriverDetachCount(stuck), 0);
    EXPECT_EQ(libusb_claim_interface(stuckHandle.get(), 0), LIBUSB_ERROR_BUSY);

    EXPECT_EQ(libusb_claim_interface(refusingHandle.get(), 0), LIBUSB_ERROR_BUSY);
    EXPECT_FALSE(bus.interfaceClaimed(refusing));
}

// --- transfers ------------------------------------------------------------

TEST_F(VirtualUsbBusTest, EachTransferReachesTheOtherSideWholeAndByteExact)
{
    auto function = std::make_shared<ScriptedFunction>(/*echo=*/true);
    Handle handle = openClaimed(bus.addDevice(function));

    for (const Bytes& request : {pattern(300, 7), pattern(40000, 1)}) {
        int written = 0;
        ASSERT_EQ(write(handle.get(), request, &written), 0);
        Bytes reply(request.size() + 100);
        ASSERT_EQ(read(handle.get(), reply), 0);

        EXPECT_EQ(written, static_cast<int>(request.size()));
        EXPECT_EQ(function->received().back(), request);
        EXPECT_EQ(reply, request);
    }
    EXPECT_EQ(function->received().size(), 2u);
}

TEST_F(VirtualUsbBusTest, RepliesMayBeEmptyShortOrTooLong)
{
    auto function = std::make_shared<ScriptedFunction>();
    Handle handle = openClaimed(bus.addDevice(function));
    function->queueReply({});
    function->queueReply(pattern(100, 0));

    Bytes empty(64);
    EXPECT_EQ(read(handle.get(), empty), 0);
    EXPECT_TRUE(empty.empty());

    Bytes truncated(64);
    EXPECT_EQ(read(handle.get(), truncated), LIBUSB_ERROR_OVERFLOW);
    EXPECT_EQ(truncated, pattern(64, 0));

    function->acceptAtMost(3);
    int written = 0;
    EXPECT_EQ(write(handle.get(), pattern(10, 0), &written), 0);
    EXPECT_EQ(written, 3);
}

TEST_F(VirtualUsbBusTest, ReadWithoutReplyTimesOutAndTheNextRoundTripWorks)
{
    auto function = std::make_shared<ScriptedFunction>(/*echo=*/true);
    Handle handle = openClaimed(bus.addDevice(function));

    Bytes nothing(64);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(read(handle.get(), nothing, 100), LIBUSB_ERROR_TIMEOUT);
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(100));

    int written = 0;
    ASSERT_EQ(write(handle.get(), {1, 2, 3}, &written), 0);
    Bytes reply(64);
    ASSERT_EQ(read(handle.get(), reply), 0);
    EXPECT_EQ(reply, (Bytes{1, 2, 3}));
}

TEST_F(VirtualUsbBusTest, PendingReadCompletesWhenTheDeviceHasDataLater)
{
    auto function = std::make_shared<ScriptedFunction>();
    Handle handle = openClaimed(bus.addDevice(function));

    auto reading = std::async(std::launch::async, [&] {
        Bytes reply(64);
        const int result = read(handle.get(), reply);
        return std::make_pair(result, reply);
    });
    function->waitUntilHostIsReading();
    function->queueReply({9, 8, 7});

    EXPECT_EQ(reading.get(), std::make_pair(0, Bytes{9, 8, 7}));
}

TEST_F(VirtualUsbBusTest, OnlyTheLastListedBulkEndpointsCarryTheFunction)
{
    UsbDeviceOptions options;
    options.endpoints = EndpointLayout::TwoBulkIn;
    auto function = std::make_shared<ScriptedFunction>();
    Handle handle = openClaimed(bus.addDevice(function, options));
    function->queueReply({5});

    Bytes fromFirst(64);
    EXPECT_EQ(read(handle.get(), fromFirst, 50, 0x81), LIBUSB_ERROR_TIMEOUT);
    Bytes fromLast(64);
    EXPECT_EQ(read(handle.get(), fromLast, LongTimeoutMs, 0x82), 0);
    EXPECT_EQ(fromLast, Bytes{5});
    int written = 0;
    EXPECT_EQ(write(handle.get(), {1}, &written, LongTimeoutMs, 0x02), LIBUSB_ERROR_IO);
}

TEST_F(VirtualUsbBusTest, AnswersCommonStandardRequests)
{
    Handle handle = openClaimed(bus.addDevice(std::make_shared<ScriptedFunction>()));

    EXPECT_EQ(libusb_set_configuration(handle.get(), 1), 0);
    EXPECT_EQ(libusb_clear_halt(handle.get(), 0x81), 0);
    unsigned char text[64];
    EXPECT_EQ(libusb_get_string_descriptor_ascii(handle.get(), 1, text, sizeof text), LIBUSB_ERROR_PIPE);
}

TEST_F(VirtualUsbBusTest, DevicesTransferConcurrently)
{
    const int first = bus.addDevice(std::make_shared<ScriptedFunction>(true));
    const int second = bus.addDevice(std::make_shared<ScriptedFunction>(true));
    Handle handles[] = {openClaimed(first), openClaimed(second)};

    const auto roundTrips = [](libusb_device_handle* handle, uint8_t seed) {
        for (int i = 0; i < 30; ++i) {
            const Bytes request = pattern(64, static_cast<uint8_t>(seed + i));
            int written = 0;
            Bytes reply(64);
            if (write(handle, request, &written) != 0 || read(handle, reply) != 0 || reply != request) {
                return false;
            }
        }
        return true;
    };
    auto one = std::async(std::launch::async, roundTrips, handles[0].get(), 0);
    auto other = std::async(std::launch::async, roundTrips, handles[1].get(), 100);

    EXPECT_TRUE(one.get());
    EXPECT_TRUE(other.get());
}

// On a real bus a device that takes its time answering holds up nobody
// else. The held device has a libusb context of its own, so that the host
// never reaps it while its request is outstanding.
TEST_F(VirtualUsbBusTest, ADeviceSlowToAnswerHoldsUpNoOtherDevice)
{
    auto held = std::make_shared<HoldingFunction>();
    const int slow = bus.addDevice(held);
    const int quick = bus.addDevice(std::make_shared<ScriptedFunction>(true));
    Handle quickHandle = openClaimed(quick);

    libusb_context* ownContext = nullptr;
    ASSERT_EQ(libusb_init(&ownContext), 0);
    const Context slowContext(ownContext);
    libusb_device** list = nullptr;
    const ssize_t count = libusb_get_device_list(slowContext.get(), &list);
    const DeviceList listed(list);
    libusb_device_handle* opened = nullptr;
    for (ssize_t i = 0; i < count; ++i) {
        if (libusb_get_device_address(list[i]) == bus.deviceAddress(slow)) {
            EXPECT_EQ(libusb_open(list[i], &opened), 0);
        }
    }
    const Handle slowHandle(opened);
    ASSERT_NE(slowHandle, nullptr);
    auto slowWrite = std::async(std::launch::async, [&slowHandle] {
        int written = 0;
        return write(slowHandle.get(), {1, 2, 3}, &written);
    });
    held->waitUntilHolding();

    int written = 0;
    Bytes reply(3);
    EXPECT_EQ(write(quickHandle.get(), {4, 5, 6}, &written), 0);
    EXPECT_EQ(read(quickHandle.get(), reply), 0);
    EXPECT_EQ(reply, (Bytes{4, 5, 6}));
    EXPECT_TRUE(held->holding()) << "the quick device answered only once the slow one had";

    held->release();
    EXPECT_EQ(slowWrite.get(), 0);
}

// --- unplugging -----------------------------------------------------------

TEST_F(VirtualUsbBusTest, UnpluggedDeviceFailsAndDisappearsUntilReplugged)
{
    auto function = std::make_shared<ScriptedFunction>(/*echo=*/true);
    const int id = bus.addDevice(function);
    Handle stale = openClaimed(id);
    const DeviceRef device(libusb_ref_device(find(id)));

    bus.unplug(id);
    libusb_device_handle* reopened = nullptr;
    EXPECT_EQ(libusb_open(device.get(), &reopened), LIBUSB_ERROR_NO_DEVICE);
    int written = 0;
    EXPECT_EQ(write(stale.get(), {1}, &written), LIBUSB_ERROR_NO_DEVICE);
    EXPECT_EQ(libusb_claim_interface(stale.get(), 0), LIBUSB_ERROR_NO_DEVICE);
    EXPECT_FALSE(bus.interfaceClaimed(id));
    EXPECT_TRUE(enumerate().empty());

    bus.replug(id);
    EXPECT_EQ(enumerate(), (std::vector<Listed>{{1, 2, Vid, Pid}}));
    EXPECT_EQ(write(stale.get(), {1}, &written), LIBUSB_ERROR_NO_DEVICE);
    Handle fresh = openClaimed(id);
    ASSERT_EQ(write(fresh.get(), {4, 2}, &written), 0);
    Bytes reply(64);
    ASSERT_EQ(read(fresh.get(), reply), 0);
    EXPECT_EQ(reply, (Bytes{4, 2}));
}

TEST_F(VirtualUsbBusTest, UnplugEndsAPendingRead)
{
    auto function = std::make_shared<ScriptedFunction>();
    const int id = bus.addDevice(function);
    Handle handle = openClaimed(id);

    auto reading = std::async(std::launch::async, [&] {
        Bytes reply(64);
        return read(handle.get(), reply);
    });
    function->waitUntilHostIsReading();
    bus.unplug(id);

    EXPECT_EQ(reading.get(), LIBUSB_ERROR_NO_DEVICE);
}

} // namespace
