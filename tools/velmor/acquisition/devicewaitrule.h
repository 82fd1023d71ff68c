#pragma once

#include "acquisition/deviceprogress.h"

#include <chrono>
#include <optional>

namespace velmorcli {

// Decides, from what a device has sent so far, whether the tool still waits
// for it during a measurement.
class DeviceWaitRule {
public:
    // stallLimit: the longest a working device stays silent; none: no limit.
    DeviceWaitRule(int spectraPerDevice, bool deliveredAsBatch, std::optional<std::chrono::milliseconds> stallLimit);

    // Everything asked for has come. A timed-out spectrum counts: the
    // library goes on with the next one and will not deliver it later.
    bool hasDelivered(const DeviceProgress& device) const;
    // Nothing more will come: delivered, or the library reported that the
    // device's measurement ended on an error.
    bool isOver(const DeviceProgress& device) const;
    // Silent for longer than a working device can be: its measurement ended
    // without the library saying so.
    bool isSilent(const DeviceProgress& device, std::chrono::steady_clock::time_point now) const;

private:
    int mSpectraPerDevice;
    bool mDeliveredAsBatch;
    std::optional<std::chrono::milliseconds> mStallLimit;
};

} // namespace velmorcli
