#pragma once

#include <stdexcept>
#include <string>

// A failure of the USB transport, with the libusb error code behind it (0
// where libusb reported none, e.g. a short write). Internal: the device class
// turns it into a CommunicationError, the manager reads it to tell a device
// held by someone else from one that is broken.
class UsbTransferError : public std::runtime_error {
public:
    UsbTransferError(const std::string& what, int libusbError);

    int libusbError() const noexcept;

private:
    int mLibusbError;
};
