#pragma once

#include <string>

namespace velmorview {

// One client connection, owned: its socket is closed with it. Between
// requests it waits in the ConnectionGate; once a request has arrived whole
// it goes to a server thread with that request, and comes back for the next.
class GatedConnection {
public:
    GatedConnection(int socket, std::string peerAddress, int peerPort);
    ~GatedConnection();

    GatedConnection(GatedConnection&& other) noexcept;
    GatedConnection& operator=(GatedConnection&& other) noexcept;
    GatedConnection(const GatedConnection&) = delete;
    GatedConnection& operator=(const GatedConnection&) = delete;

    int socket() const { return mSocket; }
    const std::string& peerAddress() const { return mPeerAddress; }
    int peerPort() const { return mPeerPort; }

    // Bytes received and not yet answered: the next request, maybe more.
    std::string& received() { return mReceived; }
    // The request being answered, cut from the front of received().
    const std::string& request() const { return mRequest; }
    void takeRequest(std::size_t length);

private:
    void close();

    int mSocket;
    std::string mPeerAddress;
    int mPeerPort;
    std::string mReceived;
    std::string mRequest;
};

} // namespace velmorview
