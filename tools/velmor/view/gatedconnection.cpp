#include "gatedconnection.h"

#include <unistd.h>

#include <utility>

namespace velmorview {

GatedConnection::GatedConnection(int socket, std::string peerAddress, int peerPort)
    : mSocket(socket), mPeerAddress(std::move(peerAddress)), mPeerPort(peerPort)
{
}

GatedConnection::~GatedConnection()
{
    close();
}

GatedConnection::GatedConnection(GatedConnection&& other) noexcept
    : mSocket(std::exchange(other.mSocket, -1)),
      mPeerAddress(std::move(other.mPeerAddress)),
      mPeerPort(other.mPeerPort),
      mReceived(std::move(other.mReceived)),
      mRequest(std::move(other.mRequest))
{
}

GatedConnection& GatedConnection::operator=(GatedConnection&& other) noexcept
{
    if (this != &other) {
        close();
        mSocket = std::exchange(other.mSocket, -1);
        mPeerAddress = std::move(other.mPeerAddress);
        mPeerPort = other.mPeerPort;
        mReceived = std::move(other.mReceived);
        mRequest = std::move(other.mRequest);
    }
    return *this;
}

void GatedConnection::takeRequest(std::size_t length)
{
    mRequest = mReceived.substr(0, length);
    mReceived.erase(0, length);
}

void GatedConnection::close()
{
    if (mSocket >= 0) {
        ::close(mSocket);
        mSocket = -1;
    }
}

} // namespace velmorview
