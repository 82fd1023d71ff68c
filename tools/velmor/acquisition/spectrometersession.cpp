#include "acquisition/spectrometersession.h"

#include "cli/commandfailure.h"
#include "cli/commandline.h"
#include "acquisition/linecapture.h"

#include <iostream>

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
    // The library has no getter for a device's bus, address and firmware; it
    // reports them in its connection lines on standard output, which are part
    // of its documented interface (see ConnectionLog). They still reach the
    // log as well.
    ConnectionLog connectionLog;
    try {
        LineCapture capture(std::cout);
        mSpectrometers.connectDevice();
        for (const std::string& line : capture.lines()) {
            connectionLog.addLine(line);
        }
    } catch (const std::exception& e) {
        throw CommandFailure(CommandFailure::FAILURE, std::string("cannot search USB for spectrometers: ") + e.what());
    }
    if (connectionLog.connectedDevices().size() == static_cast<std::size_t>(deviceCount())) {
        mConnectionDetails = connectionLog.connectedDevices();
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

std::optional<ConnectionDetails> SpectrometerSession::connectionDetails(int index) const
{
    if (index < 0 || static_cast<std::size_t>(index) >= mConnectionDetails.size()) {
        return std::nullopt;
    }
    return mConnectionDetails[static_cast<std::size_t>(index)];
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
