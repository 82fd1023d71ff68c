#pragma once

#include <velmor/velmorhost.h>

#include <exception>
#include <vector>

class VaskLinkProtocol;

namespace velmor_detail {

// The devices each manager's last connect left out, and why: kept beside the
// manager, like its spectrum keys, so that the exported class stays as it is.
class ConnectionReport {
public:
    // Replaces the record of `manager`.
    static void record(const VaskLinkProtocol* manager, std::vector<velmor::SkippedDevice> skipped);
    static std::vector<velmor::SkippedDevice> skipped(const VaskLinkProtocol* manager);
    static void forget(const VaskLinkProtocol* manager);

    // What a failure to open or initialize a device at `location` says.
    static velmor::SkippedDevice describe(velmor::UsbLocation location, const std::exception& failure);
};

} // namespace velmor_detail
