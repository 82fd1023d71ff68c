#pragma once

#include <functional>
#include <string>
#include <thread>

namespace velmorsim {

// Serves control commands on a Unix socket: one line in, one line out per
// connection, answered by the handler on the server's own thread.
class ControlServer {
public:
    using Handler = std::function<std::string(const std::string& commandLine)>;

    ControlServer(std::string socketPath, Handler handler);
    ~ControlServer();

    ControlServer(const ControlServer&) = delete;
    ControlServer& operator=(const ControlServer&) = delete;

    const std::string& socketPath() const { return mSocketPath; }

private:
    void serve();
    void answer(int connection);

    std::string mSocketPath;
    Handler mHandler;
    int mListener;
    std::thread mThread;
};

// Sends one command to a running server and returns its reply line.
// Throws std::runtime_error when the server cannot be reached.
std::string sendControlCommand(const std::string& socketPath, const std::string& commandLine);

} // namespace velmorsim
