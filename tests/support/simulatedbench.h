#pragma once

#include "simulator/spectrometermodel.h"
#include "simulator/virtualusbbus.h"

#include <velmor/libusbinterface.h>
#include <velmor/spectrometerdevice.h>

#include <memory>
#include <string>
#include <vector>

// A virtual USB bus with simulated spectrometers on it, for one test.
class SimulatedBench {
public:
    struct Attached {
        int id;
        std::shared_ptr<velmorsim::SpectrometerModel> model;
    };

    // A fast configuration for tests: simulated time runs 100 times faster.
    static velmorsim::SpectrometerConfig fastConfig(int index = 0);

    Attached attach(velmorsim::SpectrometerConfig config = fastConfig(), velmorsim::UsbDeviceOptions options = {});

    // A transport for an attached device, not yet opened.
    std::unique_ptr<LibusbInterface> transport(const Attached& device) const;

    // A fully initialized device object over an attached device.
    std::unique_ptr<SpectrometerDevice> connect(const Attached& device) const;

    velmorsim::VirtualUsbBus& bus() { return mBus; }

private:
    velmorsim::VirtualUsbBus mBus;
};

// Request frames as hex text ("01 20 00 00"), so failures show readably.
std::string hexFrame(const std::vector<uint8_t>& frame);
std::vector<std::string> hexFrames(const std::vector<std::vector<uint8_t>>& frames);

// The command code of every request, in order.
std::vector<uint32_t> commandCodes(const std::vector<std::vector<uint8_t>>& frames);
