#include "simulatorsession.h"

#include "standarderrorfilter.h"

#include <sstream>
#include <stdexcept>

namespace velmorsim {
namespace {

const char* const UNDELIVERABLE_REMOVAL_NOTICE = "ERROR: uevent_sender_send: No such device ";

std::vector<std::string> words(const std::string& line)
{
    std::istringstream stream(line);
    std::vector<std::string> result;
    std::string word;
    while (stream >> word) {
        result.push_back(word);
    }
    return result;
}

unsigned long parseUnsigned(const std::string& word, const char* what)
{
    size_t used = 0;
    unsigned long value = 0;
    try {
        value = std::stoul(word, &used, 0);
    } catch (const std::exception&) {
        used = 0;
    }
    if (used == 0 || used != word.size()) {
        throw std::invalid_argument(std::string("bad ") + what + " '" + word + "'");
    }
    return value;
}

void expectArguments(const std::vector<std::string>& words, size_t minimum, size_t maximum, const char* usage)
{
    if (words.size() < minimum || words.size() > maximum) {
        throw std::invalid_argument(std::string("usage: ") + usage);
    }
}

// "error 0x0500", "no-reply", "short 3", "empty", "garbage 16"
Fault faultFrom(const std::vector<std::string>& words, size_t& next)
{
    const std::string& kind = words.at(next++);
    auto argument = [&](const char* what) {
        if (next >= words.size()) {
            throw std::invalid_argument(std::string("fault ") + kind + " needs a " + what);
        }
        return parseUnsigned(words[next++], what);
    };
    if (kind == "error") {
        return Fault::deviceError(static_cast<uint32_t>(argument("return code")));
    }
    if (kind == "no-reply") {
        return Fault::noReply();
    }
    if (kind == "short") {
        return Fault::shortReply(argument("length"));
    }
    if (kind == "empty") {
        return Fault::emptyReply();
    }
    if (kind == "garbage") {
        return Fault::garbage(argument("length"));
    }
    throw std::invalid_argument("unknown fault kind '" + kind + "'");
}

} // namespace

SimulatorSession::SimulatorSession(const std::vector<SpectrometerConfig>& devices)
    : mBus(VirtualUsbBus::Mode::ServeChildProcesses)
{
    for (const SpectrometerConfig& config : devices) {
        auto model = std::make_shared<SpectrometerModel>(config);
        const int id = mBus.addDevice(model);
        mDevices.push_back(Device{id, model});
    }
}

std::string SimulatorSession::busDirectory() const
{
    return mBus.rootDirectory();
}

std::string SimulatorSession::execute(const std::string& commandLine)
{
    const std::vector<std::string> command = words(commandLine);
    std::lock_guard<std::mutex> lock(mMutex);
    try {
        if (command.empty()) {
            throw std::invalid_argument("empty command");
        }
        const std::string& verb = command.front();
        if (verb == "list") {
            return list();
        }
        if (verb == "trigger") {
            return trigger(command);
        }
        if (verb == "unplug") {
            return unplug(command);
        }
        if (verb == "replug") {
            return replug(command);
        }
        if (verb == "fault") {
            return fault(command);
        }
        if (verb == "stuck-busy") {
            return stuckBusy(command);
        }
        if (verb == "clear") {
            return clear(command);
        }
        if (verb == "settings") {
            return settings(command);
        }
        if (verb == "counters") {
            return counters(command);
        }
        if (verb == "status") {
            return status(command);
        }
        throw std::invalid_argument("unknown command '" + verb + "'");
    } catch (const std::exception& e) {
        return std::string("error: ") + e.what();
    }
}

SimulatorSession::Device& SimulatorSession::deviceAt(const std::string& word)
{
    const unsigned long index = parseUnsigned(word, "device index");
    if (index >= mDevices.size()) {
        throw std::invalid_argument("no device " + word + " (there are " + std::to_string(mDevices.size()) + ")");
    }
    return mDevices[index];
}

std::string SimulatorSession::list() const
{
    std::ostringstream reply;
    reply << "ok " << mDevices.size() << " devices";
    for (size_t i = 0; i < mDevices.size(); ++i) {
        const Device& device = mDevices[i];
        reply << "; " << i << ": serial " << device.model->config().serialNumber << " bus "
              << static_cast<int>(mBus.busNumber(device.busId)) << " address "
              << static_cast<int>(mBus.deviceAddress(device.busId)) << (device.plugged ? "" : " (unplugged)");
    }
    return reply.str();
}

std::string SimulatorSession::trigger(const std::vector<std::string>& command)
{
    expectArguments(command, 2, 2, "trigger <index|all>");
    if (command[1] == "all") {
        for (Device& device : mDevices) {
            device.model->fireTrigger();
        }
        return "ok triggered all";
    }
    deviceAt(command[1]).model->fireTrigger();
    return "ok triggered " + command[1];
}

std::string SimulatorSession::unplug(const std::vector<std::string>& command)
{
    expectArguments(command, 2, 2, "unplug <index>");
    Device& device = deviceAt(command[1]);
    {
        // umockdev's testbed announces the removal through libudev, which
        // in this process (not under umockdev's preload library, unlike the
        // program) looks for the device in the real /sys; it fails and says
        // so on standard error at every unplug. The program sees the removal
        // all the same: its transfers fail with "no such device".
        const StandardErrorFilter quiet(UNDELIVERABLE_REMOVAL_NOTICE);
        mBus.unplug(device.busId);
    }
    device.plugged = false;
    return "ok unplugged " + command[1];
}

std::string SimulatorSession::replug(const std::vector<std::string>& command)
{
    expectArguments(command, 2, 2, "replug <index>");
    Device& device = deviceAt(command[1]);
    mBus.replug(device.busId);
    device.plugged = true;
    return "ok replugged " + command[1];
}

std::string SimulatorSession::fault(const std::vector<std::string>& command)
{
    expectArguments(command, 4, 7, "fault <index> <command|any> <kind> [value] [times]");
    Device& device = deviceAt(command[1]);
    size_t next = 3;
    const Fault injected = faultFrom(command, next);
    const size_t times = next < command.size() ? (command[next] == "forever" ? kForever
                                                                              : parseUnsigned(command[next], "times"))
                                               : 1;
    if (command[2] == "any") {
        device.model->injectFaultOnAnyCommand(injected, times);
    } else {
        device.model->injectFault(static_cast<uint32_t>(parseUnsigned(command[2], "command code")), injected, times);
    }
    return "ok fault set on " + command[1];
}

std::string SimulatorSession::stuckBusy(const std::vector<std::string>& command)
{
    expectArguments(command, 3, 3, "stuck-busy <index> on|off");
    Device& device = deviceAt(command[1]);
    if (command[2] != "on" && command[2] != "off") {
        throw std::invalid_argument("stuck-busy takes on or off");
    }
    device.model->setStuckBusy(command[2] == "on" ? StuckBusy::Now : StuckBusy::Off);
    return "ok stuck-busy " + command[2];
}

std::string SimulatorSession::clear(const std::vector<std::string>& command)
{
    expectArguments(command, 2, 2, "clear <index>");
    deviceAt(command[1]).model->clearFaults();
    return "ok cleared " + command[1];
}

std::string SimulatorSession::settings(const std::vector<std::string>& command)
{
    expectArguments(command, 2, 2, "settings <index>");
    const DeviceState state = deviceAt(command[1]).model->state();
    return "ok exposure-us " + std::to_string(state.exposureTimeUs) + " averaging " + std::to_string(state.averaging) +
           " subtract-dark " + (state.subtractDark ? "on" : "off");
}

const char* controlCommandHelp()
{
    return "Control commands (velmor-sim ctl COMMAND...):\n"
           "  list                         the simulated devices and their bus addresses\n"
           "  trigger <i|all>              fire the hardware trigger input\n"
           "  unplug <i> / replug <i>      make a device disappear / come back\n"
           "  fault <i> <cmd|any> <kind> [value] [times|forever]\n"
           "                               kinds: error <code>, no-reply, short <n>, empty, garbage <n>\n"
           "                               e.g. fault 0 0x4000 error 0x0500 3\n"
           "  stuck-busy <i> on|off        status never returns to idle\n"
           "  clear <i>                    remove every fault of a device\n"
           "  settings <i>                 the exposure, averaging and dark subtraction the device was given\n"
           "  counters [i]                 spectra each device made, the host read, and its full memory dropped\n"
           "  status <i>                   idle, waiting-for-trigger or taking-spectrum\n";
}

// "ok 0: made 120 read 118 dropped 0 overflowed no; 1: ...": what each
// device finished, what the host read of it, and what its full memory pushed
// out, so a test can show that nothing was lost unseen.
std::string SimulatorSession::counters(const std::vector<std::string>& command)
{
    expectArguments(command, 1, 2, "counters [index]");
    if (command.size() == 2) {
        deviceAt(command[1]);
    }
    std::ostringstream reply;
    reply << "ok";
    const char* separator = " ";
    for (size_t i = 0; i < mDevices.size(); ++i) {
        if (command.size() == 2 && i != parseUnsigned(command[1], "device index")) {
            continue;
        }
        const DeviceState state = mDevices[i].model->state();
        reply << separator << i << ": made " << state.madeSpectra << " read " << state.readSpectra << " dropped "
              << state.droppedSpectra << " overflowed " << (state.droppedSpectra != 0 ? "yes" : "no");
        separator = "; ";
    }
    return reply.str();
}

// Lets a test fire the trigger only once the device waits for it.
std::string SimulatorSession::status(const std::vector<std::string>& command)
{
    expectArguments(command, 2, 2, "status <index>");
    switch (deviceAt(command[1]).model->state().status) {
    case DeviceStatus::Idle: return "ok idle";
    case DeviceStatus::WaitingForTrigger: return "ok waiting-for-trigger";
    case DeviceStatus::TakingSpectrum: return "ok taking-spectrum";
    }
    return "ok unknown";
}

} // namespace velmorsim
