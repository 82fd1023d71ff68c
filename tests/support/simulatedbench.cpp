#include "support/simulatedbench.h"

#include <cstdio>

velmorsim::SpectrometerConfig SimulatedBench::fastConfig(int index)
{
    velmorsim::SpectrometerConfig config = velmorsim::SpectrometerModel::defaultConfig(index);
    config.timeScale = 100.0;
    return config;
}

SimulatedBench::Attached SimulatedBench::attach(velmorsim::SpectrometerConfig config,
                                                velmorsim::UsbDeviceOptions options)
{
    auto model = std::make_shared<velmorsim::SpectrometerModel>(std::move(config));
    const int id = mBus.addDevice(model, options);
    return Attached{id, model};
}

std::unique_ptr<LibusbInterface> SimulatedBench::transport(const Attached& device) const
{
    return std::make_unique<LibusbInterface>(VELMOR_USB_VID, VELMOR_USB_PID, mBus.busNumber(device.id),
                                             mBus.deviceAddress(device.id));
}

std::unique_ptr<SpectrometerDevice> SimulatedBench::connect(const Attached& device) const
{
    return std::make_unique<SpectrometerDevice>(transport(device));
}

std::string hexFrame(const std::vector<uint8_t>& frame)
{
    std::string text;
    char byte[4];
    for (const uint8_t value : frame) {
        std::snprintf(byte, sizeof byte, "%02X", value);
        if (!text.empty()) {
            text += ' ';
        }
        text += byte;
    }
    return text;
}

std::vector<std::string> hexFrames(const std::vector<std::vector<uint8_t>>& frames)
{
    std::vector<std::string> texts;
    for (const auto& frame : frames) {
        texts.push_back(hexFrame(frame));
    }
    return texts;
}

std::vector<uint32_t> commandCodes(const std::vector<std::vector<uint8_t>>& frames)
{
    std::vector<uint32_t> codes;
    for (const auto& frame : frames) {
        uint32_t code = 0;
        for (size_t i = 0; i < 4 && i < frame.size(); ++i) {
            code |= static_cast<uint32_t>(frame[i]) << (8 * i);
        }
        codes.push_back(code);
    }
    return codes;
}
