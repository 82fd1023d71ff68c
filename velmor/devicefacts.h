#pragma once

#include <velmor/spectrometerdevice.h>

#include <cstdint>

class LibusbInterface;

namespace velmor_detail {

// Reads what a SpectrometerDevice knows about itself but does not export,
// for the host interface (velmorhost.h). Every fact is fixed at connection
// or an atomic, so any thread may ask.
class DeviceFacts {
public:
    static FirmwareVersion firmwareVersion(const SpectrometerDevice& device);
    static const LibusbInterface& transport(const SpectrometerDevice& device);
    // Local minus UTC when the device clock was last set; the host's current
    // offset if it never was.
    static int32_t clockUtcOffsetSeconds(const SpectrometerDevice& device);
};

} // namespace velmor_detail
