#include "simulatedspectrometers.h"

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
    const int id = plugIn(model);
    return Attached{id, std::move(model)};
}

int SimulatedSpectrometers::plugIn(std::shared_ptr<velmorsim::UsbFunction> function)
{
    return mBus.addDevice(std::move(function));
}

std::unique_ptr<LibusbInterface> SimulatedSpectrometers::transport(const Attached& device) const
{
    return std::make_unique<LibusbInterface>(VELMOR_USB_VID, VELMOR_USB_PID, mBus.busNumber(device.id),
                                             mBus.deviceAddress(device.id));
}

std::unique_ptr<SpectrometerDevice> SimulatedSpectrometers::connect(const Attached& device) const
{
    return std::make_unique<SpectrometerDevice>(transport(device));
}

std::unique_ptr<RawUsbDevice> SimulatedSpectrometers::openRaw(const Attached& device) const
{
    return std::make_unique<RawUsbDevice>(mBus.busNumber(device.id), mBus.deviceAddress(device.id));
}

DiscardedLibraryOutput::DiscardedLibraryOutput() : mPreviousOut(nullptr), mPreviousErr(nullptr)
{
    mDevNull.open("/dev/null", std::ios::out);
    mPreviousOut = std::cout.rdbuf(&mDevNull);
    mPreviousErr = std::cerr.rdbuf(&mDevNull);
}

DiscardedLibraryOutput::~DiscardedLibraryOutput()
{
    std::cerr.rdbuf(mPreviousErr);
    std::cout.rdbuf(mPreviousOut);
}
