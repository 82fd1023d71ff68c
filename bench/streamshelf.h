#pragma once

#include "meteredspectrometer.h"

#include <memory>
#include <string>
#include <vector>

// Eight simulated spectrometers in real time (10001 ... 10008) for the
// stream bench, on the bus this executable is built with: velmor-sim's
// virtual bus behind the real libusb and umockdev (streamshelf_sim.cpp), or
// the in-process libusb stand-in with a high-speed bus's transfer times
// (streamshelf_standin.cpp with realbustime.cpp).
class StreamShelf {
public:
    static constexpr int kDevices = 8;

    StreamShelf();
    ~StreamShelf();

    StreamShelf(const StreamShelf&) = delete;
    StreamShelf& operator=(const StreamShelf&) = delete;

    // Leaves the first `count` devices on the bus and takes the rest off.
    void keep(int count);
    MeteredSpectrometer& device(int index) { return *mDevices.at(static_cast<std::size_t>(index)); }

    static std::string busName();

private:
    struct Bus;
    std::vector<std::shared_ptr<MeteredSpectrometer>> mDevices;
    std::unique_ptr<Bus> mBus;
};
