#pragma once

#include <cstdint>
#include <tuple>
#include <vector>

struct libusb_context;
struct libusb_device;
struct libusb_device_handle;

/// One spectrometer on the USB bus, found again by bus number and address.
/// Moves whole request and reply frames over the bulk endpoints of
/// interface 0. All instances share one libusb context, reference counted.
/// Internal to the library: not part of the exported interface; installed
/// because spectrometerdevice.h names it. One thread at a time per instance.
class LibusbInterface {
public:
    /// Names the device with these IDs at this bus number and address; opens
    /// nothing yet and does not throw.
    LibusbInterface(uint16_t vendorId, uint16_t productId, uint8_t busNumber, uint8_t deviceAddress);
    /// Closes the device if open and releases the shared context; does not throw.
    ~LibusbInterface();

    LibusbInterface(const LibusbInterface&) = delete;
    LibusbInterface& operator=(const LibusbInterface&) = delete;

    /// (bus number, device address) of every attached device with these IDs,
    /// in enumeration order. Throws std::runtime_error when libusb cannot
    /// start ("Failed to initialize libusb context") or list the devices.
    /// Any thread.
    static std::vector<std::tuple<uint8_t, uint8_t>> findDevices(uint16_t vendorId, uint16_t productId);

    /// The bus number this instance was made for. Does not throw.
    uint8_t busNumber() const;
    /// The device address this instance was made for. Does not throw.
    uint8_t deviceAddress() const;

    /// Opens the device and claims interface 0. Throws std::runtime_error:
    /// "Target device not found", "Failed to open USB device" (e.g. no
    /// permission), "Failed to claim interface" (e.g. in use elsewhere).
    void open();
    /// Releases the interface and closes the device; does nothing if closed.
    /// Does not throw.
    void close();
    /// True between a successful open() and close(). Does not throw.
    bool isOpen() const;

    /// Sends one request frame. Throws std::runtime_error when the device is
    /// not open or the transfer fails or times out.
    void write(const std::vector<uint8_t>& data);
    /// Receives one reply of at most maxLength bytes, returned by value. Throws
    /// std::runtime_error when the device is not open or the transfer fails or
    /// times out.
    std::vector<uint8_t> read(int maxLength);
    /// Reads and drops whatever the device sends within a short wait: a reply
    /// that comes after its read timed out would otherwise be taken for the
    /// reply to the next request. Failures end it silently; does not throw.
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
