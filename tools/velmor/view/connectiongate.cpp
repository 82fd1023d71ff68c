#include "connectiongate.h"

#include "replytext.h"
#include "requestframing.h"

#include <fcntl.h>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <stdexcept>

namespace velmorview {
namespace {

constexpr int LISTEN_BACKLOG = 128;
constexpr int MOST_ACCEPTED_AT_ONCE = 64;
constexpr std::size_t READ_CHUNK = 4096;
// Enough for the largest request RequestFraming lets through, and a little
// of the next: whatever lies beyond is refused before it is read.
constexpr std::size_t MOST_BUFFERED =
    RequestFraming::MAX_HEAD_BYTES + RequestFraming::MAX_BODY_BYTES + READ_CHUNK;
constexpr std::chrono::milliseconds LONGEST_POLL{1000};

const char* statusText(int status)
{
    switch (status) {
    case 400: return "Bad Request";
    case 408: return "Request Timeout";
    case 411: return "Length Required";
    case 413: return "Payload Too Large";
    case 415: return "Unsupported Media Type";
    case 431: return "Request Header Fields Too Large";
    case 503: return "Service Unavailable";
    default: return "Error";
    }
}

// Best effort: a client that takes nothing in gets nothing.
void sendRefusal(int socket, int status, const std::string& reason)
{
    const std::string answer = ConnectionGate::refusal(status, reason);
    [[maybe_unused]] const auto sent = send(socket, answer.data(), answer.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
    shutdown(socket, SHUT_WR);
}

void drain(int socket)
{
    char bytes[64];
    while (read(socket, bytes, sizeof bytes) > 0) {
    }
}

} // namespace

ConnectionGate::ConnectionGate(int listeningSocket, Deliver deliver)
    : mListeningSocket(listeningSocket), mDeliver(std::move(deliver))
{
    // The HTTP library listens with a backlog of 5; a burst of connections
    // would find the queue full and wait a second for the SYN to be resent.
    listen(mListeningSocket, LISTEN_BACKLOG);
    fcntl(mListeningSocket, F_SETFL, fcntl(mListeningSocket, F_GETFL) | O_NONBLOCK);
    int wakePipe[2];
    if (pipe2(wakePipe, O_NONBLOCK | O_CLOEXEC) != 0) {
        close(mListeningSocket);
        throw std::runtime_error("cannot create the connection gate's wake-up pipe");
    }
    mWakeRead = wakePipe[0];
    mWakeWrite = wakePipe[1];
    mThread = std::thread([this] { run(); });
}

ConnectionGate::~ConnectionGate()
{
    stop();
    close(mListeningSocket);
    close(mWakeRead);
    close(mWakeWrite);
}

void ConnectionGate::stop()
{
    {
        std::lock_guard<std::mutex> lock(mMutex);
        mStopping = true;
    }
    wake();
    if (mThread.joinable()) {
        mThread.join();
    }
}

void ConnectionGate::wake()
{
    const char byte = 1;
    // A full pipe already holds a wake-up.
    [[maybe_unused]] const auto written = write(mWakeWrite, &byte, 1);
}

void ConnectionGate::giveBack(GatedConnection connection)
{
    {
        std::lock_guard<std::mutex> lock(mMutex);
        if (!mStopping) {
            mReturned.push_back(std::move(connection));
            wake();
            return;
        }
    }
    release(std::move(connection));
}

void ConnectionGate::release(GatedConnection connection)
{
    forget(connection.peerAddress());
}

void ConnectionGate::forget(const std::string& peerAddress)
{
    std::lock_guard<std::mutex> lock(mMutex);
    const auto peer = mPerPeer.find(peerAddress);
    if (peer != mPerPeer.end() && --peer->second == 0) {
        mPerPeer.erase(peer);
    }
    --mOpen;
}

int ConnectionGate::openConnections() const
{
    std::lock_guard<std::mutex> lock(mMutex);
    return mOpen;
}

std::string ConnectionGate::refusal(int status, const std::string& reason)
{
    const std::string body = replytext::dump(nlohmann::json{{"error", reason}});
    return "HTTP/1.1 " + std::to_string(status) + " " + statusText(status) +
           "\r\nContent-Type: application/json\r\nContent-Length: " + std::to_string(body.size()) +
           "\r\nConnection: close\r\nX-Content-Type-Options: nosniff\r\n\r\n" + body;
}

void ConnectionGate::run()
{
    for (;;) {
        {
            std::lock_guard<std::mutex> lock(mMutex);
            if (mStopping) {
                break;
            }
        }
        takeReturned();
        std::vector<pollfd> watched{{mWakeRead, POLLIN, 0}, {mListeningSocket, POLLIN, 0}};
        for (const Waiting& waiting : mWaiting) {
            watched.push_back({waiting.connection.socket(), POLLIN, 0});
        }
        if (poll(watched.data(), watched.size(), pollTimeoutMs()) < 0) {
            continue; // interrupted by a signal
        }
        drain(mWakeRead);
        const std::size_t polled = watched.size() - 2;
        for (std::size_t i = 0; i < polled; ++i) {
            if (watched[i + 2].revents != 0) {
                readFrom(mWaiting[i]);
            }
        }
        closeExpired();
        if ((watched[1].revents & POLLIN) != 0) {
            acceptNewcomers();
        }
        mWaiting.erase(std::remove_if(mWaiting.begin(), mWaiting.end(),
                                      [](const Waiting& waiting) { return waiting.connection.socket() < 0; }),
                       mWaiting.end());
    }
    takeReturned();
    for (Waiting& waiting : mWaiting) {
        release(std::move(waiting.connection));
    }
    mWaiting.clear();
}

void ConnectionGate::takeReturned()
{
    std::vector<GatedConnection> returned;
    {
        std::lock_guard<std::mutex> lock(mMutex);
        returned.swap(mReturned);
    }
    for (GatedConnection& connection : returned) {
        mWaiting.push_back(Waiting{std::move(connection), std::chrono::steady_clock::now() + REQUEST_TIME});
        // The client may have sent its next request along with the last.
        advance(mWaiting.back());
    }
}

void ConnectionGate::acceptNewcomers()
{
    for (int i = 0; i < MOST_ACCEPTED_AT_ONCE; ++i) {
        sockaddr_storage address{};
        socklen_t length = sizeof address;
        const int socket =
            accept4(mListeningSocket, reinterpret_cast<sockaddr*>(&address), &length, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (socket < 0) {
            return;
        }
        char host[NI_MAXHOST] = {};
        char port[NI_MAXSERV] = {};
        getnameinfo(reinterpret_cast<sockaddr*>(&address), length, host, sizeof host, port, sizeof port,
                    NI_NUMERICHOST | NI_NUMERICSERV);
        GatedConnection connection(socket, host, std::atoi(port));
        if (!makeRoomFor(connection.peerAddress())) {
            sendRefusal(connection.socket(), 503, "too many connections are open; close some");
            continue;
        }
        mWaiting.push_back(Waiting{std::move(connection), std::chrono::steady_clock::now() + REQUEST_TIME});
    }
}

// Counts the newcomer in, closing the connection that has waited longest for
// its request if a limit is reached; false if there is none to close.
bool ConnectionGate::makeRoomFor(const std::string& peerAddress)
{
    bool peerFull = false;
    bool portFull = false;
    {
        std::lock_guard<std::mutex> lock(mMutex);
        const auto peer = mPerPeer.find(peerAddress);
        peerFull = peer != mPerPeer.end() && peer->second >= MAX_PER_PEER;
        portFull = mOpen >= MAX_CONNECTIONS;
    }
    if (peerFull || portFull) {
        Waiting* oldest = nullptr;
        for (Waiting& waiting : mWaiting) {
            const bool candidate = waiting.connection.socket() >= 0 &&
                                   (portFull || waiting.connection.peerAddress() == peerAddress);
            if (candidate && (oldest == nullptr || waiting.deadline < oldest->deadline)) {
                oldest = &waiting;
            }
        }
        if (oldest == nullptr) {
            return false;
        }
        release(std::move(oldest->connection));
    }
    std::lock_guard<std::mutex> lock(mMutex);
    ++mPerPeer[peerAddress];
    ++mOpen;
    return true;
}

void ConnectionGate::readFrom(Waiting& waiting)
{
    std::string& received = waiting.connection.received();
    bool ended = false;
    char chunk[READ_CHUNK];
    while (received.size() < MOST_BUFFERED) {
        const ssize_t count = recv(waiting.connection.socket(), chunk, sizeof chunk, MSG_DONTWAIT);
        if (count <= 0) {
            ended = count == 0 || (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR);
            break;
        }
        received.append(chunk, static_cast<std::size_t>(count));
    }
    if (advance(waiting) && ended) {
        release(std::move(waiting.connection));
    }
}

bool ConnectionGate::advance(Waiting& waiting)
{
    GatedConnection& connection = waiting.connection;
    const RequestFraming::Result framing = RequestFraming::frame(connection.received());
    switch (framing.verdict) {
    case RequestFraming::Verdict::Incomplete: return true;
    case RequestFraming::Verdict::Complete:
        connection.takeRequest(framing.length);
        mDeliver(std::move(connection));
        return false;
    case RequestFraming::Verdict::Refused:
        refuse(std::move(connection), framing.status, framing.reason);
        return false;
    }
    return true;
}

void ConnectionGate::closeExpired()
{
    const auto now = std::chrono::steady_clock::now();
    for (Waiting& waiting : mWaiting) {
        if (waiting.connection.socket() < 0 || waiting.deadline > now) {
            continue;
        }
        if (waiting.connection.received().empty()) {
            release(std::move(waiting.connection)); // an idle connection kept alive
        } else {
            refuse(std::move(waiting.connection), 408,
                   "the request did not arrive whole within " + std::to_string(REQUEST_TIME.count()) + " s");
        }
    }
}

void ConnectionGate::refuse(GatedConnection connection, int status, const std::string& reason)
{
    sendRefusal(connection.socket(), status, reason);
    release(std::move(connection));
}

int ConnectionGate::pollTimeoutMs() const
{
    auto timeout = LONGEST_POLL;
    const auto now = std::chrono::steady_clock::now();
    for (const Waiting& waiting : mWaiting) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(waiting.deadline - now);
        timeout = std::max(std::chrono::milliseconds(0), std::min(timeout, left + std::chrono::milliseconds(1)));
    }
    return static_cast<int>(timeout.count());
}

} // namespace velmorview
