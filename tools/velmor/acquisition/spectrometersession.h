#pragma once

#include <velmor/vasklinkprotocol.h>

#include <optional>
#include <string>
#include <vector>

namespace velmorcli {

// Where a spectrometer sits on USB and which firmware it runs.
struct ConnectionDetails {
    int bus = 0;
    int address = 0;
    std::string firmware;
};

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
    // Bus, address and firmware of a connected device; nothing for an index
    // that is not connected.
    std::optional<ConnectionDetails> connectionDetails(int index);

    // Every device index for Options::ALL_DEVICES, otherwise the one given;
    // throws CommandFailure for an index that is not connected.
    std::vector<int> select(int deviceIndex) const;

private:
    void connect();

    VaskLinkProtocol mSpectrometers;
};

} // namespace velmorcli
