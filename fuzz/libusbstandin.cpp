// The fuzz executables' libusb: the functions the library calls, defined
// here over StandInUsbBus, so that the library's own objects run unchanged
// without a kernel, usbfs or a bus thread in between. Every device has the
// spectrometer's interface 0 with one bulk OUT and one bulk IN endpoint.
// Transfers take device time (DeviceTime): a little each, and the whole
// time-out when the device has nothing to send. What "a little" is belongs
// to the clock linked in: the fuzzers' device time, or the stream bench's
// real bus time (bench/realbustime.cpp).

#include "devicetime.h"
#include "standinusbbus.h"

#include <libusb.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

struct libusb_context {
};

struct libusb_device {
    uint8_t address;
};

struct libusb_device_handle {
    uint8_t address;
};

namespace {

constexpr uint8_t kEndpointOut = 0x01;
constexpr uint8_t kEndpointIn = 0x81;
constexpr uint16_t kMaxPacketSize = 512;

// The configuration descriptor and everything it points to, in one block.
struct ConfigurationBlock {
    libusb_config_descriptor config{};
    libusb_interface interface{};
    libusb_interface_descriptor setting{};
    libusb_endpoint_descriptor endpoints[2]{};
};

libusb_endpoint_descriptor bulkEndpoint(uint8_t address)
{
    libusb_endpoint_descriptor endpoint{};
    endpoint.bLength = LIBUSB_DT_ENDPOINT_SIZE;
    endpoint.bDescriptorType = LIBUSB_DT_ENDPOINT;
    endpoint.bEndpointAddress = address;
    endpoint.bmAttributes = LIBUSB_TRANSFER_TYPE_BULK;
    endpoint.wMaxPacketSize = kMaxPacketSize;
    return endpoint;
}

std::unique_ptr<ConfigurationBlock> spectrometerConfiguration()
{
    auto block = std::make_unique<ConfigurationBlock>();
    block->endpoints[0] = bulkEndpoint(kEndpointOut);
    block->endpoints[1] = bulkEndpoint(kEndpointIn);
    block->setting.bLength = LIBUSB_DT_INTERFACE_SIZE;
    block->setting.bDescriptorType = LIBUSB_DT_INTERFACE;
    block->setting.bNumEndpoints = 2;
    block->setting.bInterfaceClass = LIBUSB_CLASS_VENDOR_SPEC;
    block->setting.endpoint = block->endpoints;
    block->interface.altsetting = &block->setting;
    block->interface.num_altsetting = 1;
    block->config.bLength = LIBUSB_DT_CONFIG_SIZE;
    block->config.bDescriptorType = LIBUSB_DT_CONFIG;
    block->config.bNumInterfaces = 1;
    block->config.bConfigurationValue = 1;
    block->config.interface = &block->interface;
    return block;
}

// Each call is made by a thread that talks to a device, which from then on
// lives on device time.
void enterDeviceTime()
{
    DeviceTime::joinThisThread();
}

std::chrono::milliseconds timeOut(unsigned int timeoutMs)
{
    if (timeoutMs == 0) {
        // libusb would wait for ever on a device that stays silent.
        std::fprintf(stderr, "libusb stand-in: a transfer without a time-out waits for a silent device for ever\n");
        std::abort();
    }
    return std::chrono::milliseconds(timeoutMs);
}

int transferOut(velmorsim::UsbFunction& device, const uint8_t* data, int length, int* transferred,
                unsigned int timeoutMs)
{
    const std::size_t accepted = device.receiveBulkOut(std::vector<uint8_t>(data, data + length));
    *transferred = static_cast<int>(std::min(accepted, static_cast<std::size_t>(length)));
    if (*transferred < length) {
        // The device stops taking data: the rest waits until the time-out.
        DeviceTime::pass(timeOut(timeoutMs));
        return LIBUSB_ERROR_TIMEOUT;
    }
    return LIBUSB_SUCCESS;
}

int transferIn(velmorsim::UsbFunction& device, uint8_t* data, int length, int* transferred, unsigned int timeoutMs)
{
    const std::optional<std::vector<uint8_t>> reply = device.sendBulkIn(static_cast<std::size_t>(length));
    if (!reply) {
        DeviceTime::pass(timeOut(timeoutMs));
        return LIBUSB_ERROR_TIMEOUT;
    }
    const std::size_t count = std::min(reply->size(), static_cast<std::size_t>(length));
    std::copy_n(reply->begin(), count, data);
    *transferred = static_cast<int>(count);
    return reply->size() > count ? LIBUSB_ERROR_OVERFLOW : LIBUSB_SUCCESS;
}

int transferTo(StandInUsbBus& bus, uint8_t address, unsigned char endpoint, unsigned char* data, int length,
               int* transferred, unsigned int timeoutMs)
{
    const std::shared_ptr<velmorsim::UsbFunction> device = bus.device(address);
    if (!device) {
        return LIBUSB_ERROR_NO_DEVICE;
    }
    if (length < 0) {
        return LIBUSB_ERROR_INVALID_PARAM;
    }
    switch (endpoint) {
    case kEndpointOut: return transferOut(*device, data, length, transferred, timeoutMs);
    case kEndpointIn: return transferIn(*device, data, length, transferred, timeoutMs);
    default: return LIBUSB_ERROR_PIPE;
    }
}

} // namespace

extern "C" {

int libusb_init(libusb_context** context)
{
    enterDeviceTime();
    *context = std::make_unique<libusb_context>().release();
    return LIBUSB_SUCCESS;
}

void libusb_exit(libusb_context* context)
{
    std::unique_ptr<libusb_context> owned(context);
}

ssize_t libusb_get_device_list(libusb_context*, libusb_device*** list)
{
    enterDeviceTime();
    const std::vector<uint8_t> addresses = StandInUsbBus::instance().addresses();
    auto devices = std::make_unique<libusb_device*[]>(addresses.size() + 1);
    for (std::size_t i = 0; i < addresses.size(); ++i) {
        devices[i] = std::make_unique<libusb_device>(libusb_device{addresses[i]}).release();
    }
    devices[addresses.size()] = nullptr;
    *list = devices.release();
    return static_cast<ssize_t>(addresses.size());
}

void libusb_free_device_list(libusb_device** list, int)
{
    std::unique_ptr<libusb_device*[]> owned(list);
    for (libusb_device** device = list; device != nullptr && *device != nullptr; ++device) {
        std::unique_ptr<libusb_device> ownedDevice(*device);
    }
}

int libusb_get_device_descriptor(libusb_device*, libusb_device_descriptor* descriptor)
{
    *descriptor = {};
    descriptor->bLength = LIBUSB_DT_DEVICE_SIZE;
    descriptor->bDescriptorType = LIBUSB_DT_DEVICE;
    descriptor->bcdUSB = 0x0200;
    descriptor->bMaxPacketSize0 = 64;
    descriptor->idVendor = VELMOR_USB_VID;
    descriptor->idProduct = VELMOR_USB_PID;
    descriptor->bNumConfigurations = 1;
    return LIBUSB_SUCCESS;
}

uint8_t libusb_get_bus_number(libusb_device*)
{
    return StandInUsbBus::kBusNumber;
}

uint8_t libusb_get_device_address(libusb_device* device)
{
    return device->address;
}

int libusb_open(libusb_device* device, libusb_device_handle** handle)
{
    enterDeviceTime();
    if (!StandInUsbBus::instance().device(device->address)) {
        return LIBUSB_ERROR_NO_DEVICE;
    }
    *handle = std::make_unique<libusb_device_handle>(libusb_device_handle{device->address}).release();
    return LIBUSB_SUCCESS;
}

void libusb_close(libusb_device_handle* handle)
{
    std::unique_ptr<libusb_device_handle> owned(handle);
}

int libusb_get_active_config_descriptor(libusb_device*, libusb_config_descriptor** config)
{
    *config = &spectrometerConfiguration().release()->config;
    return LIBUSB_SUCCESS;
}

void libusb_free_config_descriptor(libusb_config_descriptor* config)
{
    // config is the first member of the block it was handed out from.
    std::unique_ptr<ConfigurationBlock> owned(reinterpret_cast<ConfigurationBlock*>(config));
}

int libusb_kernel_driver_active(libusb_device_handle*, int)
{
    return 0;
}

int libusb_detach_kernel_driver(libusb_device_handle*, int)
{
    return LIBUSB_SUCCESS;
}

int libusb_claim_interface(libusb_device_handle* handle, int interfaceNumber)
{
    if (interfaceNumber != 0) {
        return LIBUSB_ERROR_NOT_FOUND;
    }
    return StandInUsbBus::instance().device(handle->address) ? LIBUSB_SUCCESS : LIBUSB_ERROR_NO_DEVICE;
}

int libusb_release_interface(libusb_device_handle* handle, int)
{
    return StandInUsbBus::instance().device(handle->address) ? LIBUSB_SUCCESS : LIBUSB_ERROR_NO_DEVICE;
}

int libusb_bulk_transfer(libusb_device_handle* handle, unsigned char endpoint, unsigned char* data, int length,
                         int* transferred, unsigned int timeoutMs)
{
    enterDeviceTime();
    StandInUsbBus& bus = StandInUsbBus::instance();
    bus.countTransfer();
    *transferred = 0;
    const int result = transferTo(bus, handle->address, endpoint, data, length, transferred, timeoutMs);
    DeviceTime::passTransfer(static_cast<std::size_t>(*transferred));
    return result;
}

const char* libusb_error_name(int code)
{
    switch (code) {
    case LIBUSB_SUCCESS: return "LIBUSB_SUCCESS";
    case LIBUSB_ERROR_IO: return "LIBUSB_ERROR_IO";
    case LIBUSB_ERROR_INVALID_PARAM: return "LIBUSB_ERROR_INVALID_PARAM";
    case LIBUSB_ERROR_ACCESS: return "LIBUSB_ERROR_ACCESS";
    case LIBUSB_ERROR_NO_DEVICE: return "LIBUSB_ERROR_NO_DEVICE";
    case LIBUSB_ERROR_NOT_FOUND: return "LIBUSB_ERROR_NOT_FOUND";
    case LIBUSB_ERROR_BUSY: return "LIBUSB_ERROR_BUSY";
    case LIBUSB_ERROR_TIMEOUT: return "LIBUSB_ERROR_TIMEOUT";
    case LIBUSB_ERROR_OVERFLOW: return "LIBUSB_ERROR_OVERFLOW";
    case LIBUSB_ERROR_PIPE: return "LIBUSB_ERROR_PIPE";
    case LIBUSB_ERROR_INTERRUPTED: return "LIBUSB_ERROR_INTERRUPTED";
    case LIBUSB_ERROR_NO_MEM: return "LIBUSB_ERROR_NO_MEM";
    case LIBUSB_ERROR_NOT_SUPPORTED: return "LIBUSB_ERROR_NOT_SUPPORTED";
    case LIBUSB_ERROR_OTHER: return "LIBUSB_ERROR_OTHER";
    default: return "**UNKNOWN**";
    }
}

} // extern "C"
