#pragma once

#include <cstdint>
#include <tuple>
#include <vector>

struct libusb_context;
struct libusb_device;
struct libusb_device_handle;

// One spectrometer on the USB bus, found again by bus number and address.
// Moves whole request and reply frames over the bulk endpoints of
// interface 0. All instances share one libusb context, reference counted.
// Internal to the library: not part of the exported interface.
class LibusbInterface {
public:
    LibusbInterface(uint16_t vendorId, uint16_t productId, uint8_t busNumber, uint8_t deviceAddress);
    ~LibusbInterface();

    LibusbInterface(const LibusbInterface&) = delete;
    LibusbInterface& operator=(const LibusbInterface&) = delete;

    // (bus number, device address) of every attached device with these IDs,
    // in enumeration order.
    static std::vector<std::tuple<uint8_t, uint8_t>> findDevices(uint16_t vendorId, uint16_t productId);

    uint8_t busNumber() const;
    uint8_t deviceAddress() const;

    void open();
    void close();
    bool isOpen() const;

    void write(const std::vector<uint8_t>& data);
    std::vector<uint8_t> read(int maxLength);
    // Reads and drops whatever the device sends within a short wait: a reply
    // that comes after its read timed out would otherwise be taken for the
    // reply to the next request. Failures end it silently.
    void discardLateInput(int maxLength);

private:
    static void initUsbContext();
    static void cleanupUsbContext();

    void setupEndpoints(libusb_device* device);
    void configureDevice();

    libusb_device_handle* mDevHandle;
    // Kept for the record: the device is found again by bus and address.
    [[maybe_unused]] uint16_t mVendorId;
    [[maybe_unused]] uint16_t mProductId;
    uint8_t mBusNumber;
    uint8_t mDeviceAddress;
    bool mOpenFlag;
    uint8_t mEndpointOut;
    uint8_t mEndpointIn;
    // Every read lands here first, sized for the largest reply asked for so
    // far; only the bytes received are copied out.
    std::vector<uint8_t> mReceiveBuffer;

    static libusb_context* sUsbContext;
    static int sInstanceCount;

    friend class UsbContextReference;
};
