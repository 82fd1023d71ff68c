// The simulator runner's own parts: device descriptions, control commands,
// the control socket and the filter on its standard error.
#include "controlserver.h"
#include "devicespec.h"
#include "simulatorsession.h"
#include "standarderrorfilter.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <future>
#include <iostream>
#include <iterator>
#include <memory>
#include <set>
#include <string>
#include <thread>

namespace {

using velmorsim::parseDeviceSpec;

TEST(DeviceSpec, OverridesTheDefaultsOfItsIndex)
{
    const auto config =
        parseDeviceSpec("serial=20001,pixels=1024,firmware=4.0.7.0,wavelength=350:0.3,exposure-scale=2", 1);
    EXPECT_EQ(config.serialNumber, "20001");
    EXPECT_EQ(config.pixelCount, 1024);
    EXPECT_EQ(config.endPixel, 1023);
    EXPECT_EQ(config.firmware.minor, 0);
    EXPECT_EQ(config.firmware.revision, 0);
    EXPECT_FLOAT_EQ(config.wavelengthCoefficients[0], 350.0f);
    EXPECT_FLOAT_EQ(config.wavelengthCoefficients[1], 0.3f);
    EXPECT_FLOAT_EQ(config.wavelengthCoefficients[2], 0.0f);
    EXPECT_DOUBLE_EQ(config.exposureScale, 2.0);
    EXPECT_EQ(parseDeviceSpec("", 2).serialNumber, "10003");
}

TEST(DeviceSpec, RejectsWhatItCannotUse)
{
    for (const char* bad : {"colour=red", "pixels", "pixels=5000", "pixels=-1", "firmware=4.1.7", "firmware=4.1.7.300",
                            "wavelength=a:b", "exposure-scale=0", "time-scale=-2", "wavelength=1:2:3:4:5",
                            "pixels=1e300", "buffer=1e30", "time-scale=1e-400"}) {
        EXPECT_THROW(parseDeviceSpec(bad, 0), std::invalid_argument) << bad;
    }
}

TEST(DeviceSpec, RefusesValuesThatAreNotFiniteNumbers)
{
    for (const char* bad : {"time-scale=inf", "exposure-scale=nan", "temperature=1e999", "temperature=-inf",
                            "wavelength=350:nan", "pixels=nan", "buffer=inf", "firmware=4.nan.7.0"}) {
        try {
            parseDeviceSpec(bad, 0);
            ADD_FAILURE() << bad << " was accepted";
        } catch (const std::invalid_argument& e) {
            EXPECT_NE(std::string(e.what()).find("not a finite number"), std::string::npos) << bad << ": " << e.what();
        }
    }
}

TEST(SimulatorSession, AnswersControlCommandsOverItsSocket)
{
    velmorsim::SimulatorSession session({parseDeviceSpec("", 0), parseDeviceSpec("serial=777", 1)});
    const std::string socket = "/tmp/velmorsim-test-" + std::to_string(getpid());
    velmorsim::ControlServer server(socket, [&](const std::string& line) { return session.execute(line); });

    const std::string listing = velmorsim::sendControlCommand(socket, "list");
    EXPECT_EQ(listing.rfind("ok 2 devices", 0), 0u) << listing;
    EXPECT_NE(listing.find("serial 777"), std::string::npos) << listing;
    EXPECT_EQ(velmorsim::sendControlCommand(socket, "unplug 1"), "ok unplugged 1");
    EXPECT_NE(velmorsim::sendControlCommand(socket, "list").find("(unplugged)"), std::string::npos);
    EXPECT_EQ(velmorsim::sendControlCommand(socket, "replug 1"), "ok replugged 1");
    EXPECT_EQ(velmorsim::sendControlCommand(socket, "trigger all"), "ok triggered all");
    EXPECT_EQ(velmorsim::sendControlCommand(socket, "fault 0 0x4000 error 0x0500 forever"), "ok fault set on 0");
    EXPECT_EQ(velmorsim::sendControlCommand(socket, "clear 0"), "ok cleared 0");
    EXPECT_EQ(velmorsim::sendControlCommand(socket, "counters"),
              "ok 0: made 0 read 0 dropped 0 overflowed no; 1: made 0 read 0 dropped 0 overflowed no");
    EXPECT_EQ(velmorsim::sendControlCommand(socket, "counters 1"), "ok 1: made 0 read 0 dropped 0 overflowed no");

    for (const char* bad : {"", "explode", "unplug 2", "unplug x", "fault 0 0x4000 melt", "fault 0 0x4000 short",
                            "stuck-busy 0 maybe", "counters 2"}) {
        const std::string reply = velmorsim::sendControlCommand(socket, bad);
        EXPECT_EQ(reply.rfind("error: ", 0), 0u) << bad << " -> " << reply;
    }
}

TEST(SimulatorSession, ControlClientReportsAnAbsentSession)
{
    EXPECT_THROW(velmorsim::sendControlCommand("/nonexistent/velmor-sim/control", "list"), std::runtime_error);
}

std::string testSocketPath(const char* name)
{
    return "/tmp/velmorsim-test-" + std::string(name) + "-" + std::to_string(getpid());
}

// A client that connects and then does whatever the test wants.
velmorsim::FileDescriptor connectedClient(const std::string& socketPath)
{
    velmorsim::FileDescriptor client(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, socketPath.c_str(), sizeof address.sun_path - 1);
    EXPECT_EQ(::connect(client.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address), 0)
        << std::strerror(errno);
    return client;
}

std::string echo(const std::string& line)
{
    return "ok " + line;
}

TEST(ControlServer, AClientThatSendsNothingHoldsUpNeitherOthersNorShutdown)
{
    const std::string socket = testSocketPath("silent");
    auto server = std::make_unique<velmorsim::ControlServer>(socket, echo, std::chrono::hours{1});
    const velmorsim::FileDescriptor silent = connectedClient(socket);
    const velmorsim::FileDescriptor partial = connectedClient(socket);
    ASSERT_EQ(::write(partial.get(), "li", 2), 2);
    EXPECT_EQ(velmorsim::sendControlCommand(socket, "list"), "ok list");
    EXPECT_EQ(velmorsim::sendControlCommand(socket, "trigger all"), "ok trigger all");
    // Returns although both clients are still connected (the test's own
    // time-out would catch a hang).
    server.reset();
    char byte = 0;
    EXPECT_EQ(::read(silent.get(), &byte, 1), 0) << "the server closed the silent client on its way out";
}

TEST(ControlServer, DropsAClientThatSendsNoLineInTime)
{
    const std::string socket = testSocketPath("timeout");
    velmorsim::ControlServer server(socket, echo, std::chrono::milliseconds{50});
    const velmorsim::FileDescriptor silent = connectedClient(socket);
    char byte = 0;
    EXPECT_EQ(::read(silent.get(), &byte, 1), 0) << "closed without a reply";
    const velmorsim::FileDescriptor endless = connectedClient(socket);
    const std::string flood(8192, 'x');
    ::send(endless.get(), flood.data(), flood.size(), MSG_NOSIGNAL);
    std::string reply(64, '\0');
    const ssize_t got = ::read(endless.get(), reply.data(), reply.size());
    EXPECT_EQ(reply.substr(0, static_cast<std::size_t>(std::max<ssize_t>(got, 0))), "error: command line too long\n");
}

TEST(ControlServer, SurvivesAClientThatHangsUpBeforeItsReply)
{
    // The handler answers only once the client has gone, so the reply goes
    // to a closed socket: without MSG_NOSIGNAL, SIGPIPE ends the process.
    std::promise<void> clientGone;
    std::shared_future<void> gone = clientGone.get_future().share();
    const std::string socket = testSocketPath("hangup");
    velmorsim::ControlServer server(socket, [gone](const std::string& line) {
        if (line == "slow") {
            gone.wait();
        }
        return echo(line);
    });
    {
        const velmorsim::FileDescriptor impatient = connectedClient(socket);
        ASSERT_EQ(::write(impatient.get(), "slow\n", 5), 5);
    }
    clientGone.set_value();
    EXPECT_EQ(velmorsim::sendControlCommand(socket, "list"), "ok list");
}

TEST(ControlServer, AnswersAHandlerFailureAsAnError)
{
    const std::string socket = testSocketPath("throw");
    velmorsim::ControlServer server(socket, [](const std::string&) -> std::string {
        throw std::runtime_error("broken handler");
    });
    EXPECT_EQ(velmorsim::sendControlCommand(socket, "list"), "error: broken handler");
}

std::set<int> openDescriptors()
{
    std::set<int> listed;
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
        listed.insert(std::stoi(entry.path().filename().string()));
    }
    // Leaves out the listing's own descriptor, closed by now.
    std::set<int> open;
    std::copy_if(listed.begin(), listed.end(), std::inserter(open, open.end()),
                 [](int fd) { return ::fcntl(fd, F_GETFD) >= 0; });
    return open;
}

TEST(ControlServer, KeepsItsDescriptorsFromTheProgramItRuns)
{
    const std::set<int> before = openDescriptors();
    const std::string socket = testSocketPath("cloexec");
    velmorsim::ControlServer server(socket, echo);
    const velmorsim::FileDescriptor waiting = connectedClient(socket);
    // Answered after the waiting client was accepted.
    EXPECT_EQ(velmorsim::sendControlCommand(socket, "list"), "ok list");
    std::size_t opened = 0;
    for (int fd : openDescriptors()) {
        if (before.count(fd) == 0) {
            const int flags = ::fcntl(fd, F_GETFD);
            ++opened;
            EXPECT_NE(flags & FD_CLOEXEC, 0) << "descriptor " << fd << " would leak into the program";
        }
    }
    EXPECT_GE(opened, 5u) << "listener, wake-up pipe, accepted and test connections";
}

// Writes to the process's standard error (descriptor 2) land in a file
// while it lives.
class StandardErrorToFile {
public:
    explicit StandardErrorToFile(const std::string& path)
        : mPath(path), mSaved(::dup(STDERR_FILENO))
    {
        const velmorsim::FileDescriptor file(::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600));
        ::dup2(file.get(), STDERR_FILENO);
    }
    ~StandardErrorToFile()
    {
        ::dup2(mSaved.get(), STDERR_FILENO);
        ::unlink(mPath.c_str());
    }
    std::string contents() const
    {
        std::ifstream in(mPath);
        return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }

private:
    std::string mPath;
    velmorsim::FileDescriptor mSaved;
};

TEST(StandardErrorFilter, DropsOnlyTheNamedLinesFromEveryWriter)
{
    const StandardErrorToFile captured(testSocketPath("stderr"));
    {
        const velmorsim::StandardErrorFilter filter("ERROR: noise ");
        std::cerr << "kept 1" << std::endl;
        std::thread([] { std::fprintf(stderr, "ERROR: noise /sys/devices/usb1/1-3\n"); }).join();
        std::fprintf(stderr, "kept 2: ERROR: noise inside a line\n");
        std::cerr << "ERROR: noise again\nkept 3 without its line end";
    }
    std::cerr << "\nafter" << std::endl;
    EXPECT_EQ(captured.contents(), "kept 1\nkept 2: ERROR: noise inside a line\nkept 3 without its line end\nafter\n");
}

} // namespace
