#pragma once

#include "simulator/usbfunction.h"

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

// The devices the fuzz executables' stand-in for libusb (libusbstandin.cpp)
// enumerates and talks to, in this process: one bus, each device at its own
// address. Devices can be plugged in and pulled out at any time; a transfer
// to a device that was pulled out fails as on a real bus.
class StandInUsbBus {
public:
    static constexpr uint8_t kBusNumber = 1;

    static StandInUsbBus& instance();

    // Returns the device's address.
    uint8_t plug(std::shared_ptr<velmorsim::UsbFunction> device);
    void unplug(uint8_t address);
    void unplugAll();

    std::vector<uint8_t> addresses() const;
    // nullptr once the device is gone.
    std::shared_ptr<velmorsim::UsbFunction> device(uint8_t address) const;

    // Bulk transfers so far, in either direction, to any device.
    uint64_t transferCount() const { return mTransfers.load(std::memory_order_relaxed); }
    void countTransfer() { mTransfers.fetch_add(1, std::memory_order_relaxed); }

private:
    StandInUsbBus() = default;

    mutable std::mutex mMutex;
    std::map<uint8_t, std::shared_ptr<velmorsim::UsbFunction>> mDevices;
    uint8_t mLastAddress = 0;
    std::atomic<uint64_t> mTransfers{0};
};
