#include "acquisition/devicewaitrule.h"

namespace velmorcli {

DeviceWaitRule::DeviceWaitRule(int spectraPerDevice, bool deliveredAsBatch,
                               std::optional<std::chrono::milliseconds> stallLimit)
    : mSpectraPerDevice(spectraPerDevice), mDeliveredAsBatch(deliveredAsBatch), mStallLimit(stallLimit)
{
}

bool DeviceWaitRule::hasDelivered(const DeviceProgress& device) const
{
    if (mDeliveredAsBatch) {
        return device.deliveries > 0;
    }
    return device.spectra + device.timeouts >= static_cast<std::size_t>(mSpectraPerDevice);
}

bool DeviceWaitRule::isOver(const DeviceProgress& device) const
{
    return device.failed || hasDelivered(device);
}

bool DeviceWaitRule::isSilent(const DeviceProgress& device, std::chrono::steady_clock::time_point now) const
{
    return mStallLimit && !isOver(device) && now - device.lastNews > *mStallLimit;
}

} // namespace velmorcli
