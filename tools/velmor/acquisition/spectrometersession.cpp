#include "acquisition/spectrometersession.h"

#include "cli/commandfailure.h"
#include "cli/commandline.h"

#include <velmor/velmorhost.h>

namespace velmorcli {

SpectrometerSession::SpectrometerSession()
{
    connect();
    if (deviceCount() == 0) {
        throw CommandFailure(CommandFailure::NO_DEVICE, "no spectrometer found");
    }
}

void SpectrometerSession::connect()
{
    try {
        mSpectrometers.connectDevice();
    } catch (const std::exception& e) {
        throw CommandFailure(CommandFailure::FAILURE, std::string("cannot search USB for spectrometers: ") + e.what());
    }
}

VaskLinkProtocol& SpectrometerSession::spectrometers()
{
    return mSpectrometers;
}

int SpectrometerSession::deviceCount() const
{
    return static_cast<int>(mSpectrometers.getConnectedDeviceCount());
}

std::string SpectrometerSession::serialNumber(int index)
{
    return mSpectrometers.getDevice(index)->getParameters().serialNumber;
}

std::vector<std::string> SpectrometerSession::serialNumbers()
{
    std::vector<std::string> serialNumbers;
    for (int index = 0; index < deviceCount(); ++index) {
        serialNumbers.push_back(serialNumber(index));
    }
    return serialNumbers;
}

SpectrometerParameters SpectrometerSession::parameters(int index)
{
    return mSpectrometers.getDevice(index)->getParameters();
}

std::optional<ConnectionDetails> SpectrometerSession::connectionDetails(int index)
{
    if (index < 0 || index >= deviceCount()) {
        return std::nullopt;
    }
    const SpectrometerDevice& device = *mSpectrometers.getDevice(index);
    const velmor::UsbLocation location = velmor::usbLocation(device);
    return ConnectionDetails{location.busNumber, location.deviceAddress, velmor::firmwareVersion(device).toString()};
}

std::vector<int> SpectrometerSession::select(int deviceIndex) const
{
    if (deviceIndex == Options::ALL_DEVICES) {
        std::vector<int> all;
        for (int index = 0; index < deviceCount(); ++index) {
            all.push_back(index);
        }
        return all;
    }
    if (deviceIndex < 0 || deviceIndex >= deviceCount()) {
        throw CommandFailure(CommandFailure::FAILURE, "--device " + std::to_string(deviceIndex) +
                                                          ": no such spectrometer (" + std::to_string(deviceCount()) +
                                                          " connected, see 'velmor list')");
    }
    return {deviceIndex};
}

} // namespace velmorcli
