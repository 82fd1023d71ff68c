#include "connectionreport.h"

#include "usbtransfererror.h"

#include <libusb.h>

#include <mutex>
#include <unordered_map>
#include <utility>

namespace velmor_detail {

namespace {

std::mutex gReportMutex;
std::unordered_map<const VaskLinkProtocol*, std::vector<velmor::SkippedDevice>> gSkippedByManager;

// A claim refused as busy: another handle or process holds the interface.
bool heldElsewhere(const std::exception& failure)
{
    const auto* transfer = dynamic_cast<const UsbTransferError*>(&failure);
    return transfer != nullptr && transfer->libusbError() == LIBUSB_ERROR_BUSY;
}

} // namespace

void ConnectionReport::record(const VaskLinkProtocol* manager, std::vector<velmor::SkippedDevice> skipped)
{
    std::lock_guard<std::mutex> lock(gReportMutex);
    gSkippedByManager[manager] = std::move(skipped);
}

std::vector<velmor::SkippedDevice> ConnectionReport::skipped(const VaskLinkProtocol* manager)
{
    std::lock_guard<std::mutex> lock(gReportMutex);
    const auto entry = gSkippedByManager.find(manager);
    return entry == gSkippedByManager.end() ? std::vector<velmor::SkippedDevice>() : entry->second;
}

void ConnectionReport::forget(const VaskLinkProtocol* manager)
{
    std::lock_guard<std::mutex> lock(gReportMutex);
    gSkippedByManager.erase(manager);
}

velmor::SkippedDevice ConnectionReport::describe(velmor::UsbLocation location, const std::exception& failure)
{
    return velmor::SkippedDevice{location,
                                 heldElsewhere(failure) ? velmor::SkipReason::InUse : velmor::SkipReason::Failed,
                                 failure.what()};
}

} // namespace velmor_detail
