#include "support/simulatedbench.h"

#include "support/streamcapture.h"
#include "support/testpeers.h"

#include <velmor/vasklinkprotocol.h>

#include "simulator/spectrumrecord.h"

#include <cstdio>
#include <cstring>
#include <regex>
#include <sstream>
#include <thread>

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

bool waitUntil(const std::function<bool()>& condition, std::chrono::milliseconds limit)
{
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

std::vector<SimulatedBench::Attached> attachAllInPoolOrder(SimulatedBench& bench,
                                                           const std::vector<velmorsim::SpectrometerConfig>& configs)
{
    std::vector<SimulatedBench::Attached> attached(configs.size());
    for (size_t i = configs.size(); i-- > 0;) {
        attached[i] = bench.attach(configs[i]);
    }
    return attached;
}

std::vector<std::shared_ptr<velmorsim::SpectrometerModel>> attachInPoolOrder(
    SimulatedBench& bench, const std::vector<velmorsim::SpectrometerConfig>& configs)
{
    std::vector<std::shared_ptr<velmorsim::SpectrometerModel>> models;
    for (const SimulatedBench::Attached& device : attachAllInPoolOrder(bench, configs)) {
        models.push_back(device.model);
    }
    return models;
}

bool waitForWorkers(const VaskLinkProtocol& manager, std::chrono::milliseconds limit)
{
    return waitUntil(
        [&manager] {
            for (size_t i = 0; i < manager.getConnectedDeviceCount(); ++i) {
                if (VaskLinkProtocolTestPeer::measuring(manager, i)) {
                    return false;
                }
            }
            return true;
        },
        limit);
}

std::vector<uint32_t> parametersOf(const std::vector<std::vector<uint8_t>>& frames, uint32_t code)
{
    std::vector<uint32_t> parameters;
    const std::vector<uint32_t> codes = commandCodes(frames);
    for (size_t i = 0; i < frames.size(); ++i) {
        if (codes[i] == code && frames[i].size() >= 8) {
            parameters.push_back(static_cast<uint32_t>(frames[i][4]) | static_cast<uint32_t>(frames[i][5]) << 8 |
                                 static_cast<uint32_t>(frames[i][6]) << 16 | static_cast<uint32_t>(frames[i][7]) << 24);
        }
    }
    return parameters;
}

std::size_t occurrences(const std::string& text, const std::string& needle)
{
    std::size_t count = 0;
    for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + needle.size())) {
        ++count;
    }
    return count;
}

std::vector<std::vector<std::string>> linesMatching(const std::string& text, const std::string& pattern)
{
    const std::regex expression(pattern);
    std::vector<std::vector<std::string>> matches;
    std::istringstream lines(text);
    std::string line;
    std::smatch match;
    while (std::getline(lines, line)) {
        if (std::regex_match(line, match, expression)) {
            matches.emplace_back(match.begin(), match.end());
        }
    }
    return matches;
}

std::shared_ptr<std::atomic<int>> numberSpectra(velmorsim::SpectrometerModel& model)
{
    using namespace velmorsim;
    auto handedOut = std::make_shared<std::atomic<int>>(0);
    model.injectFault(command::kReadSpectrum, Fault::editReply([handedOut](std::vector<uint8_t>& reply) {
        if (reply.size() >= spectrumrecord::kPixelsOffset + sizeof(float)) {
            const float number = static_cast<float>(++*handedOut);
            std::memcpy(&reply[spectrumrecord::kPixelsOffset], &number, sizeof number);
        }
    }), kForever);
    return handedOut;
}

std::vector<float> spectrumNumbers(const std::vector<std::vector<float>>& spectra)
{
    std::vector<float> numbers;
    for (const auto& spectrum : spectra) {
        numbers.push_back(spectrum.empty() ? 0.0f : spectrum.front());
    }
    return numbers;
}

std::vector<float> numbersFrom(int first, int count)
{
    std::vector<float> numbers;
    for (int i = 0; i < count; ++i) {
        numbers.push_back(static_cast<float>(first + i));
    }
    return numbers;
}

void reportBusyFor(velmorsim::SpectrometerModel& model, std::size_t count)
{
    using namespace velmorsim;
    const std::vector<uint8_t> busy{0, 0, 0, 0, static_cast<uint8_t>(DeviceStatus::TakingSpectrum), 0, 0, 0};
    model.injectFault(command::kGetStatus, Fault::fixedReply(busy), count);
}

std::unique_ptr<SpectrometerDevice> connectQuietly(const SimulatedBench& bench, const SimulatedBench::Attached& device)
{
    StreamCapture quiet;
    auto spectrometer = bench.connect(device);
    device.model->clearRequests();
    return spectrometer;
}

std::vector<std::string> takeFrames(velmorsim::SpectrometerModel& model)
{
    std::vector<std::string> frames = hexFrames(model.requests());
    model.clearRequests();
    return frames;
}

bool poolMatches(VaskLinkProtocol& manager, const std::vector<velmorsim::SpectrometerConfig>& configs)
{
    if (manager.getConnectedDeviceCount() != configs.size()) {
        return false;
    }
    for (size_t i = 0; i < configs.size(); ++i) {
        if (manager.getDevice(static_cast<int>(i))->m_serialNumber != configs[i].serialNumber) {
            return false;
        }
    }
    return true;
}

StatusMask::StatusMask(velmorsim::SpectrometerModel& model, Options options) : mState(std::make_shared<State>())
{
    using namespace velmorsim;
    auto state = mState;
    model.injectFault(command::kStartMeasure, Fault::editReply([state](std::vector<uint8_t>&) {
        state->started = true;
    }), kForever);
    model.injectFault(command::kStopMeasure, Fault::editReply([state, options](std::vector<uint8_t>&) {
        state->stopped = options.untilStop && state->started;
    }), kForever);
    model.injectFault(command::kGetStatus, Fault::editReply([state, options](std::vector<uint8_t>& reply) {
        const bool masked = state->started && !state->released && (!state->stopped || state->readsAfterStop++ == 0);
        if (masked && reply.size() >= 8) {
            if (options.busy) {
                reply[4] = static_cast<uint8_t>(DeviceStatus::TakingSpectrum);
            }
            if (options.hideSpectra) {
                reply[5] = reply[6] = 0;
            }
        }
    }), kForever);
}
