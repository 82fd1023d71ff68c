#include "streamshelf.h"

#include "simulator/virtualusbbus.h"

struct StreamShelf::Bus {
    velmorsim::VirtualUsbBus bus;
    std::vector<int> ids;
};

StreamShelf::StreamShelf() : mBus(std::make_unique<Bus>())
{
    for (int index = 0; index < kDevices; ++index) {
        velmorsim::SpectrometerConfig config = velmorsim::SpectrometerModel::defaultConfig(index);
        mDevices.push_back(std::make_shared<MeteredSpectrometer>(std::move(config)));
        mBus->ids.push_back(mBus->bus.addDevice(mDevices.back()));
    }
}

StreamShelf::~StreamShelf() = default;

void StreamShelf::keep(int count)
{
    for (int index = 0; index < kDevices; ++index) {
        if (index < count) {
            mBus->bus.replug(mBus->ids[static_cast<std::size_t>(index)]);
        } else {
            mBus->bus.unplug(mBus->ids[static_cast<std::size_t>(index)]);
        }
    }
}

std::string StreamShelf::busName()
{
    return "velmor-sim (virtual bus on umockdev, real libusb)";
}
