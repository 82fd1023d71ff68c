#include "controlserver.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <stdexcept>

namespace velmorsim {
namespace {

// A command line is a few words; anything longer is not one.
constexpr std::size_t MAX_COMMAND_LENGTH = 4096;
// Beyond this many open clients the rest wait in the listen queue.
constexpr std::size_t MAX_CLIENTS = 32;

std::runtime_error systemError(const std::string& what)
{
    return std::runtime_error(what + ": " + std::strerror(errno));
}

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

FileDescriptor unixSocket()
{
    // Close-on-exec: the program under test must not inherit the session's
    // sockets.
    FileDescriptor socket(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!socket.isOpen()) {
        throw systemError("cannot create control socket");
    }
    return socket;
}

// MSG_NOSIGNAL: a peer that went away is a failed send, not a SIGPIPE that
// would end the whole session. False when not everything could be sent.
bool sendAll(int fd, const std::string& text)
{
    std::size_t sent = 0;
    while (sent < text.size()) {
        const ssize_t result = ::send(fd, text.data() + sent, text.size() - sent, MSG_NOSIGNAL);
        if (result < 0 && errno == EINTR) {
            continue;
        }
        if (result <= 0) {
            return false;
        }
        sent += static_cast<std::size_t>(result);
    }
    return true;
}

void setTimeout(int fd, int option, std::chrono::milliseconds timeout)
{
    timeval value{};
    value.tv_sec = static_cast<time_t>(timeout.count() / 1000);
    value.tv_usec = static_cast<suseconds_t>(timeout.count() % 1000 * 1000);
    if (::setsockopt(fd, SOL_SOCKET, option, &value, sizeof value) != 0) {
        throw systemError("cannot set a time-out on the control socket");
    }
}

} // namespace

ControlServer::ControlServer(std::string socketPath, Handler handler, std::chrono::milliseconds clientTimeout)
    : mSocketPath(std::move(socketPath)),
      mHandler(std::move(handler)),
      mClientTimeout(clientTimeout),
      mListener(unixSocket())
{
    const sockaddr_un address = addressOf(mSocketPath);
    ::unlink(mSocketPath.c_str());
    if (::bind(mListener.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(mListener.get(), 8) != 0) {
        throw systemError("cannot listen on " + mSocketPath);
    }
    int wake[2];
    if (::pipe2(wake, O_CLOEXEC) != 0) {
        throw systemError("cannot create the control server's wake-up pipe");
    }
    mWakeRead = FileDescriptor(wake[0]);
    mWakeWrite = FileDescriptor(wake[1]);
    mThread = std::thread(&ControlServer::serve, this);
}

ControlServer::~ControlServer()
{
    const char wake = 0;
    while (::write(mWakeWrite.get(), &wake, 1) < 0 && errno == EINTR) {
    }
    mThread.join();
    ::unlink(mSocketPath.c_str());
}

void ControlServer::serve()
{
    std::vector<Client> clients;
    for (;;) {
        std::vector<pollfd> watched{{mWakeRead.get(), POLLIN, 0},
                                    {mListener.get(), static_cast<short>(clients.size() < MAX_CLIENTS ? POLLIN : 0), 0}};
        for (const Client& client : clients) {
            watched.push_back({client.connection.get(), POLLIN, 0});
        }
        if (::poll(watched.data(), watched.size(), pollTimeout(clients)) < 0 && errno != EINTR) {
            return;
        }
        if (watched[0].revents != 0) {
            return;
        }
        const auto now = std::chrono::steady_clock::now();
        std::vector<Client> open;
        for (std::size_t i = 0; i < clients.size(); ++i) {
            const bool done = watched[i + 2].revents != 0 && serveInput(clients[i]);
            if (!done && now < clients[i].deadline) {
                open.push_back(std::move(clients[i]));
            }
        }
        clients = std::move(open);
        if ((watched[1].revents & POLLIN) != 0) {
            acceptClient(clients);
        }
    }
}

void ControlServer::acceptClient(std::vector<Client>& clients)
{
    FileDescriptor connection(::accept4(mListener.get(), nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK));
    if (connection.isOpen()) {
        clients.push_back(Client{std::move(connection), {}, std::chrono::steady_clock::now() + mClientTimeout});
    }
}

// Reads what the client sent and answers once its line is complete. True
// when the client is done with: answered, gone, or not sending a command.
bool ControlServer::serveInput(Client& client)
{
    char buffer[512];
    for (;;) {
        const ssize_t received = ::read(client.connection.get(), buffer, sizeof buffer);
        if (received < 0) {
            return errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR;
        }
        if (received == 0) {
            // Closed without a line end: the last line still counts.
            if (!client.received.empty()) {
                answer(client, client.received);
            }
            return true;
        }
        client.received.append(buffer, static_cast<std::size_t>(received));
        const std::size_t lineEnd = client.received.find('\n');
        if (lineEnd != std::string::npos) {
            answer(client, client.received.substr(0, lineEnd));
            return true;
        }
        if (client.received.size() > MAX_COMMAND_LENGTH) {
            sendAll(client.connection.get(), "error: command line too long\n");
            return true;
        }
    }
}

// The reply is a short line, which a fresh connection's buffer takes
// whole; a client that does not take it loses it.
void ControlServer::answer(const Client& client, const std::string& commandLine)
{
    std::string reply;
    try {
        reply = mHandler(commandLine);
    } catch (const std::exception& e) {
        reply = std::string("error: ") + e.what();
    }
    sendAll(client.connection.get(), reply + "\n");
}

int ControlServer::pollTimeout(const std::vector<Client>& clients)
{
    if (clients.empty()) {
        return -1;
    }
    const auto first = std::min_element(clients.begin(), clients.end(), [](const Client& a, const Client& b) {
                           return a.deadline < b.deadline;
                       })->deadline;
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(first - std::chrono::steady_clock::now());
    return static_cast<int>(std::max<std::chrono::milliseconds::rep>(left.count(), 0));
}

std::string sendControlCommand(const std::string& socketPath, const std::string& commandLine,
                               std::chrono::milliseconds timeout)
{
    FileDescriptor connection = unixSocket();
    const sockaddr_un address = addressOf(socketPath);
    if (::connect(connection.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        throw systemError("cannot reach velmor-sim at " + socketPath);
    }
    setTimeout(connection.get(), SO_SNDTIMEO, timeout);
    setTimeout(connection.get(), SO_RCVTIMEO, timeout);
    if (!sendAll(connection.get(), commandLine + "\n")) {
        throw systemError("cannot send to velmor-sim at " + socketPath);
    }
    std::string reply;
    char byte = 0;
    for (;;) {
        const ssize_t received = ::read(connection.get(), &byte, 1);
        if (received < 0 && errno == EINTR) {
            continue;
        }
        if (received < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            throw std::runtime_error("velmor-sim at " + socketPath + " did not answer within " +
                                     std::to_string(timeout.count()) + " ms");
        }
        if (received < 0) {
            throw systemError("no answer from velmor-sim at " + socketPath);
        }
        if (received == 0 || byte == '\n') {
            return reply;
        }
        reply += byte;
    }
}

} // namespace velmorsim
