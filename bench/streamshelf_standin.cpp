#include "streamshelf.h"

#include "fuzz/standinusbbus.h"

struct StreamShelf::Bus {
};

StreamShelf::StreamShelf() : mBus(std::make_unique<Bus>())
{
    for (int index = 0; index < kDevices; ++index) {
        mDevices.push_back(std::make_shared<MeteredSpectrometer>(velmorsim::SpectrometerModel::defaultConfig(index)));
    }
}

StreamShelf::~StreamShelf()
{
    StandInUsbBus::instance().unplugAll();
}

void StreamShelf::keep(int count)
{
    StandInUsbBus& bus = StandInUsbBus::instance();
    bus.unplugAll();
    for (int index = 0; index < count; ++index) {
        bus.plug(mDevices[static_cast<std::size_t>(index)]);
    }
}

std::string StreamShelf::busName()
{
    return "in-process libusb stand-in (480 Mbit/s + 125 us per transfer, real time)";
}
