#pragma once

#include "gatedconnection.h"

#include <chrono>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace velmorview {

// Accepts the connections of the view's port and holds each one, on a single
// thread, until its next request has arrived whole; only then does a server
// thread see it. So a client that sends slowly, or keeps an idle connection
// open, holds no server thread:
//   - a request must arrive whole within REQUEST_TIME of the connection
//     starting to wait for it (408 otherwise; an idle one is just closed);
//   - a peer address has at most MAX_PER_PEER connections and the port at
//     most MAX_CONNECTIONS: beyond that the one that has waited longest for
//     its request is closed to make room, and only when every one of them is
//     being answered is the newcomer refused (503);
//   - sizes and body forms are checked by RequestFraming before a body is read.
class ConnectionGate {
public:
    static constexpr std::chrono::seconds REQUEST_TIME{10};
    static constexpr int MAX_PER_PEER = 128;
    static constexpr int MAX_CONNECTIONS = 512;

    // Gets each connection whose request has arrived; the connection then
    // belongs to the caller until it goes to giveBack() or release().
    using Deliver = std::function<void(GatedConnection)>;

    // Takes over `listeningSocket` and starts the gate's thread.
    ConnectionGate(int listeningSocket, Deliver deliver);
    ~ConnectionGate();

    ConnectionGate(const ConnectionGate&) = delete;
    ConnectionGate& operator=(const ConnectionGate&) = delete;

    // Answered: the connection waits for its next request.
    void giveBack(GatedConnection connection);
    // Answered for good: the connection is closed.
    void release(GatedConnection connection);
    // Closes the port and every waiting connection; connections being
    // answered are closed as they come back.
    void stop();

    int openConnections() const;

    // The whole HTTP answer the gate sends when it refuses a request.
    static std::string refusal(int status, const std::string& reason);

private:
    struct Waiting {
        GatedConnection connection;
        std::chrono::steady_clock::time_point deadline;
    };

    void run();
    void wake();
    void takeReturned();
    void acceptNewcomers();
    bool makeRoomFor(const std::string& peerAddress);
    void readFrom(Waiting& waiting);
    bool advance(Waiting& waiting); // false: the connection has left the waiting list
    void closeExpired();
    void forget(const std::string& peerAddress);
    void refuse(GatedConnection connection, int status, const std::string& reason);
    int pollTimeoutMs() const;

    int mListeningSocket;
    int mWakeRead = -1;
    int mWakeWrite = -1;
    Deliver mDeliver;
    std::vector<Waiting> mWaiting; // the gate's thread only

    mutable std::mutex mMutex; // guards what follows
    std::map<std::string, int> mPerPeer;
    int mOpen = 0;
    std::vector<GatedConnection> mReturned;
    bool mStopping = false;

    std::thread mThread;
};

} // namespace velmorview
