#include "rawusbdevice.h"

#include <libusb.h>

#include <stdexcept>

namespace {

// Where the simulator puts the spectrometer's bulk pipes.
constexpr unsigned char kEndpointOut = 0x01;
constexpr unsigned char kEndpointIn = 0x81;
constexpr unsigned int kWriteTimeoutMs = 1000;
constexpr unsigned int kReadTimeoutMs = 5000;

libusb_device_handle* openAt(libusb_context* context, uint8_t busNumber, uint8_t deviceAddress)
{
    libusb_device** list = nullptr;
    const ssize_t count = libusb_get_device_list(context, &list);
    libusb_device_handle* handle = nullptr;
    for (ssize_t i = 0; i < count && handle == nullptr; ++i) {
        if (libusb_get_bus_number(list[i]) == busNumber && libusb_get_device_address(list[i]) == deviceAddress &&
            libusb_open(list[i], &handle) != 0) {
            handle = nullptr;
        }
    }
    if (count >= 0) {
        libusb_free_device_list(list, 1);
    }
    return handle;
}

} // namespace

RawUsbDevice::RawUsbDevice(uint8_t busNumber, uint8_t deviceAddress)
{
    if (libusb_init(&mContext) != 0) {
        throw std::runtime_error("raw libusb: no context");
    }
    mHandle = openAt(mContext, busNumber, deviceAddress);
    if (mHandle == nullptr || libusb_claim_interface(mHandle, 0) != 0) {
        if (mHandle != nullptr) {
            libusb_close(mHandle);
        }
        libusb_exit(mContext);
        throw std::runtime_error("raw libusb: cannot open and claim the device");
    }
}

RawUsbDevice::~RawUsbDevice()
{
    libusb_release_interface(mHandle, 0);
    libusb_close(mHandle);
    libusb_exit(mContext);
}

int RawUsbDevice::exchange(const uint8_t* request, int requestLength, uint8_t* reply, int replyRoom)
{
    int transferred = 0;
    if (libusb_bulk_transfer(mHandle, kEndpointOut, const_cast<uint8_t*>(request), requestLength, &transferred,
                             kWriteTimeoutMs) != 0 ||
        transferred != requestLength) {
        throw std::runtime_error("raw libusb: write failed");
    }
    if (libusb_bulk_transfer(mHandle, kEndpointIn, reply, replyRoom, &transferred, kReadTimeoutMs) != 0) {
        throw std::runtime_error("raw libusb: read failed");
    }
    return transferred;
}
