#include "controlserver.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

namespace velmorsim {
namespace {

// Owns one file descriptor.
class Descriptor {
public:
    explicit Descriptor(int fd) : mFd(fd) {}
    ~Descriptor()
    {
        if (mFd >= 0) {
            ::close(mFd);
        }
    }
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    int get() const { return mFd; }

private:
    int mFd;
};

sockaddr_un addressOf(const std::string& path)
{
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path.size() >= sizeof(address.sun_path)) {
        throw std::runtime_error("control socket path too long: " + path);
    }
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    return address;
}

std::string readLine(int fd)
{
    std::string line;
    char byte = 0;
    while (::read(fd, &byte, 1) == 1 && byte != '\n') {
        line += byte;
    }
    return line;
}

void writeAll(int fd, const std::string& text)
{
    size_t written = 0;
    while (written < text.size()) {
        const ssize_t result = ::write(fd, text.data() + written, text.size() - written);
        if (result <= 0) {
            return;
        }
        written += static_cast<size_t>(result);
    }
}

} // namespace

ControlServer::ControlServer(std::string socketPath, Handler handler)
    : mSocketPath(std::move(socketPath)), mHandler(std::move(handler)), mListener(::socket(AF_UNIX, SOCK_STREAM, 0))
{
    if (mListener < 0) {
        throw std::runtime_error(std::string("cannot create control socket: ") + std::strerror(errno));
    }
    const sockaddr_un address = addressOf(mSocketPath);
    ::unlink(mSocketPath.c_str());
    if (::bind(mListener, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(mListener, 4) != 0) {
        const std::string reason = std::strerror(errno);
        ::close(mListener);
        throw std::runtime_error("cannot listen on " + mSocketPath + ": " + reason);
    }
    mThread = std::thread(&ControlServer::serve, this);
}

ControlServer::~ControlServer()
{
    // Wakes the accept() of the serving thread.
    ::shutdown(mListener, SHUT_RDWR);
    mThread.join();
    ::close(mListener);
    ::unlink(mSocketPath.c_str());
}

void ControlServer::serve()
{
    for (;;) {
        const int connection = ::accept(mListener, nullptr, nullptr);
        if (connection < 0) {
            if (errno == EINTR) {
                continue;
            }
            return;
        }
        answer(connection);
    }
}

void ControlServer::answer(int connection)
{
    Descriptor guard(connection);
    writeAll(guard.get(), mHandler(readLine(guard.get())) + "\n");
}

std::string sendControlCommand(const std::string& socketPath, const std::string& commandLine)
{
    Descriptor connection(::socket(AF_UNIX, SOCK_STREAM, 0));
    const sockaddr_un address = addressOf(socketPath);
    if (connection.get() < 0 ||
        ::connect(connection.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        throw std::runtime_error("cannot reach velmor-sim at " + socketPath + ": " + std::strerror(errno));
    }
    writeAll(connection.get(), commandLine + "\n");
    return readLine(connection.get());
}

} // namespace velmorsim
