#include "standinusbbus.h"

#include <stdexcept>

namespace {

constexpr uint8_t kHighestAddress = 127;

} // namespace

StandInUsbBus& StandInUsbBus::instance()
{
    static StandInUsbBus bus;
    return bus;
}

// Addresses are handed out in turn, as a hub does, so that a device object
// still holding the address of a device that was pulled out does not reach
// the next one.
uint8_t StandInUsbBus::plug(std::shared_ptr<velmorsim::UsbFunction> device)
{
    std::lock_guard<std::mutex> lock(mMutex);
    if (mDevices.size() >= kHighestAddress) {
        throw std::runtime_error("stand-in USB bus: no free address");
    }
    do {
        mLastAddress = static_cast<uint8_t>(mLastAddress % kHighestAddress + 1);
    } while (mDevices.count(mLastAddress) != 0);
    mDevices.emplace(mLastAddress, std::move(device));
    return mLastAddress;
}

void StandInUsbBus::unplug(uint8_t address)
{
    std::lock_guard<std::mutex> lock(mMutex);
    mDevices.erase(address);
}

void StandInUsbBus::unplugAll()
{
    std::lock_guard<std::mutex> lock(mMutex);
    mDevices.clear();
}

std::vector<uint8_t> StandInUsbBus::addresses() const
{
    std::lock_guard<std::mutex> lock(mMutex);
    std::vector<uint8_t> found;
    for (const auto& entry : mDevices) {
        found.push_back(entry.first);
    }
    return found;
}

std::shared_ptr<velmorsim::UsbFunction> StandInUsbBus::device(uint8_t address) const
{
    std::lock_guard<std::mutex> lock(mMutex);
    const auto found = mDevices.find(address);
    return found != mDevices.end() ? found->second : nullptr;
}
