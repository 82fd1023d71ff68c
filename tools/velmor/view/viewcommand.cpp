#include "viewcommand.h"

#include "devicecontroller.h"
#include "cli/interruptsignal.h"
#include "livespectra.h"
#include "acquisition/spectrometersession.h"
#include "viewserver.h"

#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <thread>

namespace velmorview {
namespace {

const char* const LOOPBACK = "127.0.0.1";

std::string hostForAddress(const std::string& listenAddress)
{
    if (listenAddress.empty()) {
        return LOOPBACK;
    }
    if (listenAddress == "0.0.0.0" || listenAddress == "::") {
        char name[256] = {};
        return gethostname(name, sizeof name - 1) == 0 ? name : "localhost";
    }
    return listenAddress.find(':') != std::string::npos ? "[" + listenAddress + "]" : listenAddress;
}

std::string pageAddress(const ViewOptions& options, int port, const std::string& token)
{
    return "http://" + hostForAddress(options.listenAddress) + ":" + std::to_string(port) + "/" +
           (token.empty() ? "" : "?token=" + token);
}

// The desktop's browser, where there is one; no shell sees the address.
void openBrowser(const std::string& address, velmorcli::LibraryOutput& output)
{
    char program[] = "xdg-open";
    std::string argument = address;
    char* arguments[] = {program, argument.data(), nullptr};
    pid_t child = 0;
    if (posix_spawnp(&child, program, nullptr, nullptr, arguments, environ) != 0) {
        output.messages() << "view: no browser could be started (xdg-open); open the address yourself" << std::endl;
        return;
    }
    // xdg-open hands over to the browser and returns at once.
    int status = 0;
    waitpid(child, &status, 0);
}

} // namespace

void runView(const ViewOptions& options, velmorcli::LibraryOutput& output)
{
    const std::string token = chosenToken(options);
    velmorcli::InterruptSignal interrupt;
    velmorcli::SpectrometerSession session;
    LiveSpectra live(DeviceController::shownSerialNumbers(session));
    DeviceController controller(session, live, AcquisitionSettings{options.exposureUs, options.averaging});
    const bool servesOtherHosts = !options.listenAddress.empty();
    ViewServer server(controller, live, token);
    const int port = server.start(servesOtherHosts ? options.listenAddress : LOOPBACK, options.port);
    controller.setRunning(true);

    const std::string address = pageAddress(options, port, token);
    output.console() << address << std::endl;
    output.messages() << "view: " << session.deviceCount() << " spectrometer(s) live at " << address
                      << " (Ctrl-C stops)" << std::endl;
    if (options.openBrowser) {
        openBrowser(address, output);
    }
    while (!interrupt.raised()) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    output.messages() << "view: stopping" << std::endl;
    server.stop();
}

} // namespace velmorview
