#pragma once

#include "filedescriptor.h"

#include <chrono>
#include <functional>
#include <string>
#include <thread>
#include <vector>

namespace velmorsim {

// Serves control commands on a Unix socket: one line in, one line out per
// connection, answered by the handler on the server's own thread. Clients
// are served side by side, and one that has not sent its line within the
// client time-out is dropped, so no client can hold up the others or the
// server's shutdown.
class ControlServer {
public:
    using Handler = std::function<std::string(const std::string& commandLine)>;

    static constexpr std::chrono::milliseconds CLIENT_TIMEOUT{5000};

    ControlServer(std::string socketPath, Handler handler, std::chrono::milliseconds clientTimeout = CLIENT_TIMEOUT);
    ~ControlServer();

    ControlServer(const ControlServer&) = delete;
    ControlServer& operator=(const ControlServer&) = delete;

    const std::string& socketPath() const { return mSocketPath; }

private:
    struct Client {
        FileDescriptor connection;
        std::string received;
        std::chrono::steady_clock::time_point deadline;
    };

    void serve();
    void acceptClient(std::vector<Client>& clients);
    bool serveInput(Client& client);
    void answer(const Client& client, const std::string& commandLine);
    static int pollTimeout(const std::vector<Client>& clients);

    std::string mSocketPath;
    Handler mHandler;
    std::chrono::milliseconds mClientTimeout;
    FileDescriptor mListener;
    // Written to by the destructor to end the serving thread's poll.
    FileDescriptor mWakeRead;
    FileDescriptor mWakeWrite;
    std::thread mThread;
};

// Sends one command to a running server and returns its reply line.
// Throws std::runtime_error when the server cannot be reached or does not
// answer within `timeout`.
std::string sendControlCommand(const std::string& socketPath, const std::string& commandLine,
                               std::chrono::milliseconds timeout = std::chrono::seconds{30});

} // namespace velmorsim
