#include "devicefacts.h"

#include "localclock.h"

namespace velmor_detail {

FirmwareVersion DeviceFacts::firmwareVersion(const SpectrometerDevice& device)
{
    return device.softwareVersion;
}

const LibusbInterface& DeviceFacts::transport(const SpectrometerDevice& device)
{
    return *device.m_device;
}

int32_t DeviceFacts::clockUtcOffsetSeconds(const SpectrometerDevice& device)
{
    if (!device.m_clockSet.load(std::memory_order_acquire)) {
        return currentLocalUtcOffsetSeconds();
    }
    return device.m_clockUtcOffsetSeconds.load(std::memory_order_relaxed);
}

} // namespace velmor_detail
