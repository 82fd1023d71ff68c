#pragma once

#include "simulator/spectrometermodel.h"
#include "simulator/virtualusbbus.h"

#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace velmorsim {

// The simulated spectrometers of one velmor-sim run, on their virtual bus.
// Control commands arrive on another thread than the one that built the
// session, so device lookups and plug state are guarded.
class SimulatorSession {
public:
    explicit SimulatorSession(const std::vector<SpectrometerConfig>& devices);

    // The directory a child process needs in UMOCKDEV_DIR to see the bus.
    std::string busDirectory() const;

    // Executes one control command line and returns the reply line, which
    // starts with "ok" or "error:".
    std::string execute(const std::string& commandLine);

private:
    struct Device {
        int busId;
        std::shared_ptr<SpectrometerModel> model;
        bool plugged = true;
    };

    std::string list() const;
    std::string trigger(const std::vector<std::string>& words);
    std::string unplug(const std::vector<std::string>& words);
    std::string replug(const std::vector<std::string>& words);
    std::string fault(const std::vector<std::string>& words);
    std::string stuckBusy(const std::vector<std::string>& words);
    std::string clear(const std::vector<std::string>& words);
    std::string settings(const std::vector<std::string>& words);
    std::string counters(const std::vector<std::string>& words);
    std::string status(const std::vector<std::string>& words);
    Device& deviceAt(const std::string& word);

    VirtualUsbBus mBus;
    std::vector<Device> mDevices;
    mutable std::mutex mMutex;
};

// Help text for the control commands.
const char* controlCommandHelp();

} // namespace velmorsim
