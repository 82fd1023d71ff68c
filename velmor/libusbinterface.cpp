#include <velmor/libusbinterface.h>

#include "usbtransfererror.h"

#include <libusb.h>

#include <memory>
#include <mutex>
#include <stdexcept>

libusb_context* LibusbInterface::sUsbContext = nullptr;
int LibusbInterface::sInstanceCount = 0;

namespace {

constexpr unsigned int WRITE_TIMEOUT_MS = 1000;
constexpr unsigned int READ_TIMEOUT_MS = 5000;
constexpr int CLAIMED_INTERFACE = 0;
// How long a late reply is waited for, and how many are dropped at most.
constexpr unsigned int LATE_INPUT_WAIT_MS = 1000;
constexpr int LATE_INPUT_MAX_TRANSFERS = 8;

// Managers on different threads open and close devices at the same time.
std::mutex gUsbContextMutex;

struct DeviceListDeleter {
    void operator()(libusb_device** list) const { libusb_free_device_list(list, 1); }
};
using DeviceList = std::unique_ptr<libusb_device*, DeviceListDeleter>;

struct ConfigDescriptorDeleter {
    void operator()(libusb_config_descriptor* descriptor) const { libusb_free_config_descriptor(descriptor); }
};
using ConfigDescriptor = std::unique_ptr<libusb_config_descriptor, ConfigDescriptorDeleter>;

DeviceList listDevices(libusb_context* context, ssize_t& count)
{
    libusb_device** list = nullptr;
    count = libusb_get_device_list(context, &list);
    return DeviceList(count < 0 ? nullptr : list);
}

} // namespace

// Holds one context reference for a scope and gives it back on every exit
// path unless the reference is handed over to an open device.
class UsbContextReference {
public:
    UsbContextReference() { LibusbInterface::initUsbContext(); }
    ~UsbContextReference()
    {
        if (mHeld) {
            LibusbInterface::cleanupUsbContext();
        }
    }
    UsbContextReference(const UsbContextReference&) = delete;
    UsbContextReference& operator=(const UsbContextReference&) = delete;

    void handOver() { mHeld = false; }

private:
    bool mHeld = true;
};

LibusbInterface::LibusbInterface(uint16_t vendorId, uint16_t productId, uint8_t busNumber, uint8_t deviceAddress)
    : mDevHandle(nullptr),
      mVendorId(vendorId),
      mProductId(productId),
      mBusNumber(busNumber),
      mDeviceAddress(deviceAddress),
      mOpenFlag(false),
      mEndpointOut(0),
      mEndpointIn(0)
{
}

LibusbInterface::~LibusbInterface()
{
    close();
}

void LibusbInterface::initUsbContext()
{
    std::lock_guard<std::mutex> lock(gUsbContextMutex);
    if (sUsbContext == nullptr && libusb_init(&sUsbContext) != 0) {
        sUsbContext = nullptr;
        throw std::runtime_error("Failed to initialize libusb context");
    }
    ++sInstanceCount;
}

void LibusbInterface::cleanupUsbContext()
{
    std::lock_guard<std::mutex> lock(gUsbContextMutex);
    --sInstanceCount;
    if (sInstanceCount == 0 && sUsbContext != nullptr) {
        libusb_exit(sUsbContext);
        sUsbContext = nullptr;
    }
}

std::vector<std::tuple<uint8_t, uint8_t>> LibusbInterface::findDevices(uint16_t vendorId, uint16_t productId)
{
    UsbContextReference context;
    ssize_t count = 0;
    DeviceList list = listDevices(sUsbContext, count);
    if (count < 0) {
        throw std::runtime_error("Failed to get USB device list");
    }
    std::vector<std::tuple<uint8_t, uint8_t>> found;
    for (ssize_t i = 0; i < count; ++i) {
        libusb_device* device = list.get()[i];
        libusb_device_descriptor descriptor{};
        if (libusb_get_device_descriptor(device, &descriptor) == 0 && descriptor.idVendor == vendorId &&
            descriptor.idProduct == productId) {
            found.emplace_back(libusb_get_bus_number(device), libusb_get_device_address(device));
        }
    }
    return found;
}

void LibusbInterface::open()
{
    if (mOpenFlag) {
        return;
    }
    UsbContextReference context;
    ssize_t count = 0;
    DeviceList list = listDevices(sUsbContext, count);
    if (count < 0) {
        throw std::runtime_error("Failed to enumerate USB devices");
    }
    libusb_device* target = nullptr;
    for (ssize_t i = 0; i < count && target == nullptr; ++i) {
        libusb_device* device = list.get()[i];
        if (libusb_get_bus_number(device) == mBusNumber && libusb_get_device_address(device) == mDeviceAddress) {
            target = device;
        }
    }
    if (target == nullptr) {
        throw std::runtime_error("Target device not found");
    }
    const int openResult = libusb_open(target, &mDevHandle);
    if (openResult != 0) {
        throw UsbTransferError("Failed to open USB device", openResult);
    }
    try {
        setupEndpoints(target);
        configureDevice();
    } catch (...) {
        libusb_close(mDevHandle);
        throw;
    }
    context.handOver();
    mOpenFlag = true;
}

void LibusbInterface::setupEndpoints(libusb_device* device)
{
    libusb_config_descriptor* rawDescriptor = nullptr;
    if (libusb_get_active_config_descriptor(device, &rawDescriptor) != 0) {
        throw std::runtime_error("Failed to get config descriptor");
    }
    ConfigDescriptor configDesc(rawDescriptor);
    mEndpointIn = 0;
    mEndpointOut = 0;
    if (configDesc->bNumInterfaces > 0 && configDesc->interface[0].num_altsetting > 0) {
        const libusb_interface_descriptor& setting = configDesc->interface[0].altsetting[0];
        for (uint8_t i = 0; i < setting.bNumEndpoints; ++i) {
            const libusb_endpoint_descriptor& endpoint = setting.endpoint[i];
            if ((endpoint.bmAttributes & 0x03) != LIBUSB_TRANSFER_TYPE_BULK) {
                continue;
            }
            if (endpoint.bEndpointAddress & LIBUSB_ENDPOINT_IN) {
                mEndpointIn = endpoint.bEndpointAddress;
            } else {
                mEndpointOut = endpoint.bEndpointAddress;
            }
        }
    }
    if (mEndpointIn == 0 || mEndpointOut == 0) {
        throw std::runtime_error("Valid endpoints not found");
    }
}

void LibusbInterface::configureDevice()
{
    if (libusb_kernel_driver_active(mDevHandle, CLAIMED_INTERFACE) == 1 &&
        libusb_detach_kernel_driver(mDevHandle, CLAIMED_INTERFACE) != 0) {
        throw std::runtime_error("Failed to detach kernel driver");
    }
    const int claimResult = libusb_claim_interface(mDevHandle, CLAIMED_INTERFACE);
    if (claimResult != 0) {
        throw UsbTransferError("Failed to claim interface", claimResult);
    }
}

void LibusbInterface::close()
{
    if (!mOpenFlag) {
        return;
    }
    libusb_release_interface(mDevHandle, CLAIMED_INTERFACE);
    libusb_close(mDevHandle);
    mOpenFlag = false;
    cleanupUsbContext();
}

uint8_t LibusbInterface::busNumber() const
{
    return mBusNumber;
}

uint8_t LibusbInterface::deviceAddress() const
{
    return mDeviceAddress;
}

bool LibusbInterface::isOpen() const
{
    return mOpenFlag;
}

void LibusbInterface::write(const std::vector<uint8_t>& data)
{
    if (!mOpenFlag) {
        throw UsbTransferError("Device not open", 0);
    }
    // libusb takes a non-const buffer for both directions; an OUT transfer
    // only reads it.
    auto* buffer = const_cast<uint8_t*>(data.data());
    int transferred = 0;
    const int result = libusb_bulk_transfer(mDevHandle, mEndpointOut, buffer, static_cast<int>(data.size()),
                                            &transferred, WRITE_TIMEOUT_MS);
    if (result != 0 || static_cast<size_t>(transferred) != data.size()) {
        throw UsbTransferError("Data write failed", result);
    }
}

std::vector<uint8_t> LibusbInterface::read(int maxLength)
{
    if (!mOpenFlag) {
        throw UsbTransferError("Device not open", 0);
    }
    // Most replies are a few bytes, but the read has to offer room for the
    // largest: allocating that room afresh per reply would cost 16 KiB of
    // heap for an 8-byte status.
    const size_t capacity = maxLength > 0 ? static_cast<size_t>(maxLength) : 0u;
    if (mReceiveBuffer.size() < capacity) {
        mReceiveBuffer.resize(capacity);
    }
    int transferred = 0;
    const int result = libusb_bulk_transfer(mDevHandle, mEndpointIn, mReceiveBuffer.data(), static_cast<int>(capacity),
                                            &transferred, READ_TIMEOUT_MS);
    if (result != 0) {
        throw UsbTransferError("Data read failed", result);
    }
    return std::vector<uint8_t>(mReceiveBuffer.begin(), mReceiveBuffer.begin() + transferred);
}

void LibusbInterface::discardLateInput(int maxLength)
{
    if (!mOpenFlag || maxLength <= 0) {
        return;
    }
    std::vector<uint8_t> scratch(static_cast<size_t>(maxLength));
    for (int transfer = 0; transfer < LATE_INPUT_MAX_TRANSFERS; ++transfer) {
        int transferred = 0;
        if (libusb_bulk_transfer(mDevHandle, mEndpointIn, scratch.data(), maxLength, &transferred,
                                 LATE_INPUT_WAIT_MS) != 0) {
            return;
        }
    }
}
