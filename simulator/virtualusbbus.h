#pragma once

#include "simulator/usbfunction.h"

#include <cstdint>
#include <memory>
#include <string>

namespace velmorsim {

// Endpoints of interface 0 as listed in the configuration descriptor. The
// simulated function is always served by the last bulk OUT and the last bulk
// IN endpoint listed; every other endpoint exists but never completes a
// transfer, which is what a host that picks the wrong endpoint should see.
enum class EndpointLayout {
    BulkInOut,              // 0x01 bulk OUT, 0x81 bulk IN
    MissingBulkOut,         // 0x81 bulk IN only
    MissingBulkIn,          // 0x01 bulk OUT only
    TwoBulkIn,              // 0x01 bulk OUT, 0x81 bulk IN, 0x82 bulk IN (0x82 is served)
    WithInterruptEndpoints, // 0x82 interrupt IN, 0x01 bulk OUT, 0x81 bulk IN, 0x83 interrupt IN
};

enum class KernelDriver {
    None,               // nothing bound to interface 0
    Active,             // a kernel driver is bound; detaching it succeeds
    ActiveUndetachable, // a kernel driver is bound and refuses to be detached
};

struct UsbDeviceOptions {
    uint16_t vendorId = VELMOR_USB_VID;
    uint16_t productId = VELMOR_USB_PID;
    uint8_t busNumber = 1;
    uint8_t deviceAddress = 0; // 0 = next free address on that bus, starting at 2
    EndpointLayout endpoints = EndpointLayout::BulkInOut;
    KernelDriver kernelDriver = KernelDriver::None;
    bool claimFails = false; // claiming interface 0 answers EBUSY
};

// Makes simulated USB devices visible to the real libusb-1.0 of this process.
//
// The process must run with umockdev's preload library (umockdev-wrapper).
// Only one bus may exist at a time, since the mocked /sys and /dev are process
// wide. Create libusb contexts after the bus and exit them before destroying
// it: a context keeps listening for hotplug events of the bus it started with.
//
// Each device is served on a thread of its own, so devices never wait for
// each other inside the simulator. UsbFunction callbacks run on that thread
// and must not call back into the bus. While the host keeps a bulk IN transfer pending,
// sendBulkIn() is asked again each time the host polls for completions, the
// way a host controller retries an IN token the device NAKed.
class VirtualUsbBus {
public:
    enum class Mode {
        InThisProcess,       // this process's libusb sees the devices
        ServeChildProcesses, // only programs started with rootDirectory() in UMOCKDEV_DIR do
    };

    // In-process mode throws std::runtime_error outside umockdev's preload.
    explicit VirtualUsbBus(Mode mode = Mode::InThisProcess);
    ~VirtualUsbBus();

    VirtualUsbBus(const VirtualUsbBus&) = delete;
    VirtualUsbBus& operator=(const VirtualUsbBus&) = delete;

    // Plugs a new device in and returns its id. Throws std::invalid_argument
    // when the requested address is taken or no address is left on the bus.
    int addDevice(std::shared_ptr<UsbFunction> function, UsbDeviceOptions options = {});

    // The device disappears from sysfs and /dev; handles opened before fail
    // every request with ENODEV and their pending transfers complete with
    // ENODEV. Unplugging an unplugged device does nothing.
    void unplug(int id);

    // Plugs an unplugged device back in at the same bus and address, with its
    // kernel driver bound again. Replugging a plugged device does nothing.
    void replug(int id);

    // All of these throw std::out_of_range for an unknown id. Closing a handle
    // releases its claim a few milliseconds later: umockdev notices closed
    // files asynchronously. An explicit release shows at once.
    uint8_t busNumber(int id) const;
    // The mocked /sys and /dev live below this directory.
    std::string rootDirectory() const;
    uint8_t deviceAddress(int id) const;
    bool interfaceClaimed(int id) const;
    int kernelDriverDetachCount(int id) const;

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

} // namespace velmorsim
