#include "gatedstream.h"

#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>

namespace velmorview {

GatedStream::GatedStream(const GatedConnection& connection, std::chrono::milliseconds writeTimeout)
    : mConnection(connection), mWriteTimeout(writeTimeout)
{
}

bool GatedStream::is_readable() const
{
    return mRead < mConnection.request().size();
}

bool GatedStream::is_writable() const
{
    pollfd socket{mConnection.socket(), POLLOUT, 0};
    return poll(&socket, 1, static_cast<int>(mWriteTimeout.count())) > 0 && (socket.revents & POLLOUT) != 0;
}

ssize_t GatedStream::read(char* data, size_t size)
{
    const std::string& request = mConnection.request();
    const std::size_t count = std::min(size, request.size() - mRead);
    std::memcpy(data, request.data() + mRead, count);
    mRead += count;
    return static_cast<ssize_t>(count);
}

ssize_t GatedStream::write(const char* data, size_t size)
{
    std::size_t written = 0;
    while (written < size) {
        if (!is_writable()) {
            return -1;
        }
        const ssize_t count = send(mConnection.socket(), data + written, size - written, MSG_DONTWAIT | MSG_NOSIGNAL);
        if (count < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
            return -1;
        }
        written += static_cast<std::size_t>(std::max<ssize_t>(count, 0));
    }
    return static_cast<ssize_t>(written);
}

void GatedStream::get_remote_ip_and_port(std::string& ip, int& port) const
{
    ip = mConnection.peerAddress();
    port = mConnection.peerPort();
}

void GatedStream::get_local_ip_and_port(std::string& ip, int& port) const
{
    sockaddr_storage address{};
    socklen_t length = sizeof address;
    char host[NI_MAXHOST] = {};
    char service[NI_MAXSERV] = {};
    if (getsockname(mConnection.socket(), reinterpret_cast<sockaddr*>(&address), &length) == 0 &&
        getnameinfo(reinterpret_cast<sockaddr*>(&address), length, host, sizeof host, service, sizeof service,
                    NI_NUMERICHOST | NI_NUMERICSERV) == 0) {
        ip = host;
        port = std::atoi(service);
    }
}

socket_t GatedStream::socket() const
{
    return mConnection.socket();
}

} // namespace velmorview
