#include "simulator/virtualusbbus.h"

#include "simulator/usbbusdescriptors.h"
#include "simulator/usbbusdevice.h"
#include "simulator/usbbusglib.h"

#include <umockdev.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <filesystem>
#include <map>
#include <mutex>
#include <stdexcept>
#include <string>
#include <utility>

namespace velmorsim {

using usbbus::UsbfsDevice;

namespace {

constexpr uint8_t FirstFreeAddress = 2; // 1 belongs to the root hub on a real bus
constexpr uint8_t LastAddress = 127;

// umockdev redirects /sys and /dev through one process-wide variable.
std::atomic<bool> busExists{false};

class SoleBus {
public:
    SoleBus()
    {
        if (busExists.exchange(true)) {
            throw std::logic_error("only one VirtualUsbBus can exist at a time");
        }
    }
    SoleBus(const SoleBus&) = delete;
    SoleBus& operator=(const SoleBus&) = delete;
    ~SoleBus() { busExists = false; }
};

template <typename... Numbers>
std::string format(const char* pattern, Numbers... numbers)
{
    char text[64];
    std::snprintf(text, sizeof text, pattern, static_cast<unsigned>(numbers)...);
    return text;
}

std::string hexString(const std::vector<uint8_t>& bytes)
{
    std::string hex;
    for (const uint8_t byte : bytes) {
        hex += format("%02X", byte);
    }
    return hex;
}

// Where a device sits: its sysfs directory and usbfs node, as the kernel
// names them.
struct Location {
    uint8_t bus;
    uint8_t address;

    std::string sysfsPath() const { return "/sys" + devicePath(); }
    std::string devicePath() const { return format("/devices/usb%u/%u-", bus, bus) + std::to_string(address); }
    std::string nodeName() const { return format("bus/usb/%03u/%03u", bus, address); }
    std::string devNode() const { return "/dev/" + nodeName(); }
};

// A device in umockdev's record format: sysfs attributes (A, H), udev
// properties (E), and the usbfs node (N), which reads back the descriptors
// as a real one does.
std::string deviceRecord(const Location& location, const UsbDeviceOptions& options,
                         const std::vector<uint8_t>& descriptors)
{
    const std::string hexDescriptors = hexString(descriptors);
    const std::string address = std::to_string(location.address);
    return "P: " + location.devicePath() + "\n" +
           "N: " + location.nodeName() + "=" + hexDescriptors + "\n" +
           "E: SUBSYSTEM=usb\n"
           "E: DEVTYPE=usb_device\n"
           "E: DEVNAME=" + location.devNode() + "\n" +
           "E: PRODUCT=" + format("%x/%x/100", options.vendorId, options.productId) + "\n" +
           "E: BUSNUM=" + format("%03u", location.bus) + "\n" +
           "E: DEVNUM=" + format("%03u", location.address) + "\n" +
           "A: idVendor=" + format("%04x", options.vendorId) + "\n" +
           "A: idProduct=" + format("%04x", options.productId) + "\n" +
           "A: bcdDevice=0100\n"
           "A: busnum=" + std::to_string(location.bus) + "\n" +
           "A: devnum=" + address + "\n" +
           "A: speed=480\n"
           "A: bConfigurationValue=1\n"
           "A: bNumConfigurations=1\n"
           "A: bMaxPacketSize0=64\n"
           "H: descriptors=" + hexDescriptors + "\n";
}

} // namespace

struct VirtualUsbBus::Impl {
    struct Device {
        Location location;
        std::string record;
        std::unique_ptr<UsbfsDevice> usbfs;
        bool plugged;
    };

    explicit Impl(Mode mode);
    ~Impl();

    Device& find(int id);
    uint8_t freeAddress(uint8_t bus, uint8_t requested) const;
    void plugIn(Device& device);
    enum class Announce { No, Yes };
    void pullOut(Device& device, Announce announce);

    SoleBus sole;
    std::mutex mutex;
    int nextId = 1;
    // Declared before the testbed so that they outlive its worker thread,
    // which calls into them.
    std::map<int, Device> devices;
    usbbus::GObjectPtr<UMockdevTestbed> testbed;
    std::string rootDir;
};

VirtualUsbBus::Impl::Impl(Mode mode) : testbed(usbbus::adoptObject(umockdev_testbed_new()))
{
    // Only meaningful once a testbed exists, and answered once per process.
    if (mode == Mode::InThisProcess && !umockdev_in_mock_environment()) {
        throw std::runtime_error("VirtualUsbBus needs umockdev's preload library: run the process under "
                                 "umockdev-wrapper (LD_PRELOAD=libumockdev-preload.so.0)");
    }
    rootDir = usbbus::GCharPtr(umockdev_testbed_get_root_dir(testbed.get())).get();
}

VirtualUsbBus::Impl::~Impl()
{
    for (auto& [id, device] : devices) {
        if (device.plugged) {
            device.usbfs->unplug();
            pullOut(device, Announce::No);
        }
    }
}

VirtualUsbBus::Impl::Device& VirtualUsbBus::Impl::find(int id)
{
    const auto found = devices.find(id);
    if (found == devices.end()) {
        throw std::out_of_range("no simulated USB device with id " + std::to_string(id));
    }
    return found->second;
}

uint8_t VirtualUsbBus::Impl::freeAddress(uint8_t bus, uint8_t requested) const
{
    const auto taken = [this, bus](uint8_t address) {
        return std::any_of(devices.begin(), devices.end(), [bus, address](const auto& entry) {
            return entry.second.location.bus == bus && entry.second.location.address == address;
        });
    };
    if (requested != 0) {
        if (requested > LastAddress || taken(requested)) {
            throw std::invalid_argument(format("USB address %u is not available on bus %u", requested, bus));
        }
        return requested;
    }
    for (uint8_t address = FirstFreeAddress; address <= LastAddress; ++address) {
        if (!taken(address)) {
            return address;
        }
    }
    throw std::invalid_argument("no free USB address left on bus " + std::to_string(bus));
}

void VirtualUsbBus::Impl::plugIn(Device& device)
{
    usbbus::GErrorSlot error;
    if (!umockdev_testbed_add_from_string(testbed.get(), device.record.c_str(), error.out())) {
        error.raise("cannot add simulated USB device " + device.location.devNode());
    }
    device.plugged = true;
}

// umockdev neither announces the removal nor deletes the node it created.
// Nobody needs the announcement when the whole bus goes away.
void VirtualUsbBus::Impl::pullOut(Device& device, Announce announce)
{
    const std::string sysfsPath = device.location.sysfsPath();
    if (announce == Announce::Yes) {
        umockdev_testbed_uevent(testbed.get(), sysfsPath.c_str(), "remove");
    }
    umockdev_testbed_remove_device(testbed.get(), sysfsPath.c_str());
    std::error_code ignored;
    std::filesystem::remove(rootDir + device.location.devNode(), ignored);
    device.plugged = false;
}

VirtualUsbBus::VirtualUsbBus(Mode mode) : impl_(std::make_unique<Impl>(mode)) {}

std::string VirtualUsbBus::rootDirectory() const
{
    return impl_->rootDir;
}

VirtualUsbBus::~VirtualUsbBus() = default;

int VirtualUsbBus::addDevice(std::shared_ptr<UsbFunction> function, UsbDeviceOptions options)
{
    if (!function) {
        throw std::invalid_argument("a simulated USB device needs a UsbFunction");
    }
    if (options.busNumber == 0) {
        throw std::invalid_argument("USB bus numbers start at 1");
    }
    std::lock_guard lock(impl_->mutex);
    const Location location{options.busNumber, impl_->freeAddress(options.busNumber, options.deviceAddress)};
    const auto endpoints = usbbus::endpointsOf(options.endpoints);
    const auto descriptors = usbbus::descriptorBlob(options.vendorId, options.productId, endpoints);
    Impl::Device device{location, deviceRecord(location, options, descriptors),
                        std::make_unique<UsbfsDevice>(std::move(function), endpoints, options.kernelDriver,
                                                      options.claimFails),
                        false};

    // Attached before the node appears, so that nobody opens it unserved.
    usbbus::GErrorSlot error;
    if (!umockdev_testbed_attach_ioctl(impl_->testbed.get(), location.devNode().c_str(), device.usbfs->ioctlHandler(),
                                       error.out())) {
        error.raise("cannot serve simulated USB device " + location.devNode());
    }
    const int id = impl_->nextId++;
    impl_->plugIn(impl_->devices.emplace(id, std::move(device)).first->second);
    return id;
}

void VirtualUsbBus::unplug(int id)
{
    std::lock_guard lock(impl_->mutex);
    Impl::Device& device = impl_->find(id);
    if (device.plugged) {
        device.usbfs->unplug();
        impl_->pullOut(device, Impl::Announce::Yes);
    }
}

void VirtualUsbBus::replug(int id)
{
    std::lock_guard lock(impl_->mutex);
    Impl::Device& device = impl_->find(id);
    if (!device.plugged) {
        device.usbfs->replug();
        impl_->plugIn(device);
    }
}

uint8_t VirtualUsbBus::busNumber(int id) const
{
    std::lock_guard lock(impl_->mutex);
    return impl_->find(id).location.bus;
}

uint8_t VirtualUsbBus::deviceAddress(int id) const
{
    std::lock_guard lock(impl_->mutex);
    return impl_->find(id).location.address;
}

bool VirtualUsbBus::interfaceClaimed(int id) const
{
    std::lock_guard lock(impl_->mutex);
    return impl_->find(id).usbfs->interfaceClaimed();
}

int VirtualUsbBus::kernelDriverDetachCount(int id) const
{
    std::lock_guard lock(impl_->mutex);
    return impl_->find(id).usbfs->kernelDriverDetachCount();
}

} // namespace velmorsim
