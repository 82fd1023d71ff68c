#pragma once

#include "acquisition/connectionlog.h"

#include <velmor/vasklinkprotocol.h>

#include <optional>
#include <string>
#include <vector>

namespace velmorcli {

// Every spectrometer attached to the computer, connected for the lifetime of
// the session (the library's manager stops and disconnects them when it is
// destroyed).
class SpectrometerSession {
public:
    // Connects every attached spectrometer. Throws CommandFailure: NO_DEVICE
    // when none could be connected, FAILURE when USB cannot be searched.
    SpectrometerSession();

    VaskLinkProtocol& spectrometers();
    int deviceCount() const;
    std::string serialNumber(int index);
    std::vector<std::string> serialNumbers();
    SpectrometerParameters parameters(int index);
    // Bus, address and firmware as reported while connecting; nothing if the
    // library's report could not be matched to the devices.
    std::optional<ConnectionDetails> connectionDetails(int index) const;

    // Every device index for Options::ALL_DEVICES, otherwise the one given;
    // throws CommandFailure for an index that is not connected.
    std::vector<int> select(int deviceIndex) const;

private:
    void connect();

    VaskLinkProtocol mSpectrometers;
    std::vector<ConnectionDetails> mConnectionDetails;
};

} // namespace velmorcli
