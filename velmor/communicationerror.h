#pragma once

#include <velmor/velmorexport.h>

#include <cstdint>
#include <stdexcept>
#include <string>

/// A failed command exchange with a spectrometer: every "Communication
/// failed: ..." the library throws is one of these, so hosts can tell a
/// time-out from an unplugged device or a device's refusal by type instead of
/// by text. what() is the unchanged text; catching std::runtime_error still
/// works as before.
///
/// Thrown on whichever thread made the exchange (a host thread or a
/// measurement worker); copies are independent of the device.
class VELMOR_EXPORT CommunicationError : public std::runtime_error {
public:
    enum class Kind {
        DeviceError, ///< the device answered with an error return code (returnCode() says which)
        Timeout,     ///< the device did not answer in time
        DeviceGone,  ///< the device was unplugged or can no longer be reached
        Transport,   ///< any other USB failure (libusbError() says which, 0 if none)
        BadReply,    ///< a reply too short to hold a return code
    };

    /// `command` and `returnCode` are 0 where the failure has none;
    /// `libusbError` is the libusb error code of a transport failure, else 0.
    CommunicationError(Kind kind, const std::string& what, uint32_t command, uint32_t returnCode, int libusbError);

    /// The kind of failure.
    Kind kind() const noexcept;
    /// The command code of the request that failed (0 if unknown).
    uint32_t command() const noexcept;
    /// The device's return code (Kind::DeviceError), else 0.
    uint32_t returnCode() const noexcept;
    /// The libusb error code behind a transport failure, else 0.
    int libusbError() const noexcept;

private:
    Kind mKind;
    uint32_t mCommand;
    uint32_t mReturnCode;
    int mLibusbError;
};
