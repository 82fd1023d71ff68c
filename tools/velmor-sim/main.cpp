// velmor-sim: runs a program against simulated spectrometers through the real
// libusb, without hardware and without root.

#include "childprocess.h"
#include "controlserver.h"
#include "devicespec.h"
#include "simulatorsession.h"

#include <CLI/CLI.hpp>

#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <numeric>

namespace {

const char* const CONTROL_VARIABLE = "VELMOR_SIM_CONTROL";
const char* const PRELOAD_LIBRARY = "libumockdev-preload.so.0";

struct RunOptions {
    int deviceCount = 0;
    std::vector<std::string> deviceSpecs;
    double timeScale = 1.0;
    std::vector<std::string> command;
};

std::vector<velmorsim::SpectrometerConfig> deviceConfigs(const RunOptions& options)
{
    std::vector<velmorsim::SpectrometerConfig> configs;
    const int described = static_cast<int>(options.deviceSpecs.size());
    const int count = std::max(described, options.deviceCount > 0 ? options.deviceCount : (described ? 0 : 2));
    for (int i = 0; i < count; ++i) {
        const std::string spec = i < described ? options.deviceSpecs[static_cast<size_t>(i)] : "";
        velmorsim::SpectrometerConfig config = velmorsim::parseDeviceSpec(spec, i);
        if (spec.find("time-scale=") == std::string::npos) {
            config.timeScale = options.timeScale;
        }
        configs.push_back(config);
    }
    return configs;
}

// A private directory for the control socket, removed when the run ends.
class TemporaryDirectory {
public:
    TemporaryDirectory()
    {
        std::string pattern = (std::filesystem::temp_directory_path() / "velmor-sim-XXXXXX").string();
        if (mkdtemp(pattern.data()) == nullptr) {
            throw std::runtime_error("cannot create a temporary directory");
        }
        mPath = pattern;
    }
    ~TemporaryDirectory()
    {
        std::error_code ignored;
        std::filesystem::remove_all(mPath, ignored);
    }
    TemporaryDirectory(const TemporaryDirectory&) = delete;
    TemporaryDirectory& operator=(const TemporaryDirectory&) = delete;
    const std::filesystem::path& path() const { return mPath; }

private:
    std::filesystem::path mPath;
};

std::string withPrefix(const char* variable, const std::string& first, char separator)
{
    const char* existing = std::getenv(variable);
    return existing != nullptr && *existing != '\0' ? first + separator + existing : first;
}

int runSession(const RunOptions& options)
{
    velmorsim::SimulatorSession session(deviceConfigs(options));
    TemporaryDirectory directory;
    velmorsim::ControlServer control((directory.path() / "control").string(),
                                     [&session](const std::string& line) { return session.execute(line); });
    return velmorsim::runChildProcess(
        options.command,
        {{"UMOCKDEV_DIR", session.busDirectory()},
         {"LD_PRELOAD", withPrefix("LD_PRELOAD", PRELOAD_LIBRARY, ':')},
         // Sanitizer runtimes insist on being first in the preload list; the
         // mock library must come first for the devices to exist.
         {"ASAN_OPTIONS", withPrefix("ASAN_OPTIONS", "verify_asan_link_order=0", ':')},
         {CONTROL_VARIABLE, control.socketPath()}});
}

int runControl(const std::vector<std::string>& words, const std::string& socket)
{
    const char* fromEnvironment = std::getenv(CONTROL_VARIABLE);
    const std::string path = !socket.empty() ? socket : (fromEnvironment != nullptr ? fromEnvironment : "");
    if (path.empty()) {
        std::cerr << "velmor-sim ctl: no session: run it inside `velmor-sim -- ...` or pass --socket" << std::endl;
        return 2;
    }
    const std::string line = std::accumulate(std::next(words.begin()), words.end(), words.front(),
                                             [](std::string a, const std::string& b) { return a + " " + b; });
    const std::string reply = velmorsim::sendControlCommand(path, line);
    std::cout << reply << std::endl;
    return reply.rfind("ok", 0) == 0 ? 0 : 1;
}

// CLI11's PositiveNumber lets "inf" and "nan" through.
CLI::Validator finitePositiveNumber()
{
    return CLI::Validator(
        [](std::string& input) -> std::string {
            char* end = nullptr;
            const double number = std::strtod(input.c_str(), &end);
            if (input.empty() || *end != '\0' || !std::isfinite(number) || !(number > 0)) {
                return "expected a finite number greater than 0, got '" + input + "'";
            }
            return {};
        },
        "POSITIVE");
}

std::string footer()
{
    return std::string("\nExamples:\n"
                       "  velmor-sim --devices 2 -- ./my-host-app --verbose\n"
                       "  velmor-sim --device serial=20001,pixels=1024 --device serial=20002,firmware=4.0.7.0 \\\n"
                       "             -- velmor list\n"
                       "  velmor-sim --devices 2 -- sh -c 'velmor measure --count 5 & sleep 1; velmor-sim ctl unplug 1; wait'\n\n"
                       "The program sees the devices through the real libusb (umockdev's preload library).\n"
                       "Its environment carries " ) +
           CONTROL_VARIABLE +
           ", the control socket of the session, used by `velmor-sim ctl`.\n"
           "velmor-sim exits with the program's exit status.\n\n" +
           velmorsim::deviceSpecHelp() + "\n" + velmorsim::controlCommandHelp();
}

} // namespace

int main(int argc, char** argv)
{
    CLI::App app{"Runs a program against simulated spectrometers, without hardware or root."};
    app.footer(footer());
    RunOptions options;
    app.add_option("--devices", options.deviceCount, "Number of simulated spectrometers (default 2)")
        ->check(CLI::Range(1, 32));
    app.add_option("--device", options.deviceSpecs, "One spectrometer, as key=value,... (repeatable; see below)")
        ->allow_extra_args(false);
    app.add_option("--time-scale", options.timeScale, "Simulated time runs this many times faster (default 1)")
        ->check(finitePositiveNumber());
    app.add_option("command", options.command, "The program to run, after --, with its arguments");

    CLI::App* ctl = app.add_subcommand("ctl", "Act on a running session: trigger, unplug, replug, fault, ...");
    std::vector<std::string> controlWords;
    std::string socket;
    ctl->add_option("--socket", socket, "Control socket (default: $VELMOR_SIM_CONTROL)");
    ctl->add_option("words", controlWords, "The control command")->required();
    ctl->footer(velmorsim::controlCommandHelp());

    CLI11_PARSE(app, argc, argv);
    try {
        if (*ctl) {
            return runControl(controlWords, socket);
        }
        if (options.command.empty()) {
            std::cerr << "velmor-sim: no program given; see --help" << std::endl;
            return 2;
        }
        return runSession(options);
    } catch (const std::exception& e) {
        std::cerr << "velmor-sim: " << e.what() << std::endl;
        return 1;
    }
}
