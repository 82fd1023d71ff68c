#include "simulatedspectrometers.h"

#include <velmor/libusbinterface.h>

velmorsim::SpectrometerConfig SimulatedSpectrometers::config(int index, uint16_t pixelCount)
{
    velmorsim::SpectrometerConfig config = velmorsim::SpectrometerModel::defaultConfig(index);
    config.pixelCount = pixelCount;
    config.endPixel = static_cast<uint16_t>(config.startPixel + pixelCount - 1);
    config.timeScale = kTimeScale;
    return config;
}

SimulatedSpectrometers::Attached SimulatedSpectrometers::attach(velmorsim::SpectrometerConfig config)
{
    auto model = std::make_shared<velmorsim::SpectrometerModel>(std::move(config));
    const int id = mBus.addDevice(model);
    return Attached{id, std::move(model)};
}

std::unique_ptr<SpectrometerDevice> SimulatedSpectrometers::connect(const Attached& device) const
{
    return std::make_unique<SpectrometerDevice>(std::make_unique<LibusbInterface>(
        VELMOR_USB_VID, VELMOR_USB_PID, mBus.busNumber(device.id), mBus.deviceAddress(device.id)));
}

DiscardedLibraryOutput::DiscardedLibraryOutput() : mPrevious(nullptr)
{
    mDevNull.open("/dev/null", std::ios::out);
    mPrevious = std::cout.rdbuf(&mDevNull);
}

DiscardedLibraryOutput::~DiscardedLibraryOutput()
{
    std::cout.rdbuf(mPrevious);
}
