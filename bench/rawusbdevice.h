#pragma once

#include <cstdint>

struct libusb_context;
struct libusb_device_handle;

// One simulated spectrometer driven with bare libusb calls and nothing
// else: the reference the library's exchange is measured against. Opens
// the device at (bus, address) on a context of its own and claims
// interface 0 until destruction; throws std::runtime_error when it cannot.
class RawUsbDevice {
public:
    RawUsbDevice(uint8_t busNumber, uint8_t deviceAddress);
    ~RawUsbDevice();

    RawUsbDevice(const RawUsbDevice&) = delete;
    RawUsbDevice& operator=(const RawUsbDevice&) = delete;

    // One request out, one reply into `reply`: two libusb_bulk_transfer
    // calls with the library's endpoints and time-outs. Returns the reply's
    // length; throws std::runtime_error when a transfer fails.
    int exchange(const uint8_t* request, int requestLength, uint8_t* reply, int replyRoom);

private:
    libusb_context* mContext = nullptr;
    libusb_device_handle* mHandle = nullptr;
};
