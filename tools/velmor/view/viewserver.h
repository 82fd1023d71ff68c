#pragma once

#include "accessguard.h"
#include "connectiongate.h"
#include "controlrequests.h"
#include "livespectra.h"
#include "viewbackend.h"

#include <httplib.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <string>

namespace velmorview {

// The web server of 'velmor view': the page, the device state, the live
// stream and the control requests, all on one port.
//
//   GET  /, /app.js, ...   the page (no token needed: it holds nothing secret)
//   GET  /api/state        devices, settings
//   GET  /api/wavelengths  each device's wavelength table
//   GET  /api/stream?mode=counts|dark-subtracted|transmission|absorbance
//                          Server-Sent Events, one per display frame
//   POST /api/acquisition, /api/settings, /api/dark, /api/reference,
//        /api/trigger      JSON bodies, see ControlRequests
//
// Connections wait in a ConnectionGate until a request has arrived whole;
// then one of the server's threads answers it. Each open stream holds one
// server thread; their number is capped so that other requests always find
// a thread. Every answer is JSON with an "error" when refused, and no
// handler lets an exception out.
class ViewServer {
public:
    static constexpr int MAX_STREAMS = 32;
    static constexpr std::chrono::milliseconds WRITE_TIMEOUT{5000}; // a client that takes nothing this long is dropped
    static constexpr std::chrono::milliseconds MIN_FRAME_INTERVAL{33};  // about the display rate
    static constexpr std::chrono::milliseconds STATUS_INTERVAL{1000};   // events while nothing changes

    // `token` empty: loopback only, see AccessGuard.
    ViewServer(ViewBackend& backend, LiveSpectra& live, std::string token);
    ~ViewServer();

    ViewServer(const ViewServer&) = delete;
    ViewServer& operator=(const ViewServer&) = delete;

    // Binds (port 0: any free port) and serves on a thread of its own;
    // returns the port. Throws std::runtime_error when it cannot bind.
    int start(const std::string& host, int port);
    // Ends the streams and the server; also done by the destructor.
    void stop();

    int openStreams() const;
    int openConnections() const;

    // Answers the one request `stream` holds through the routes and the
    // handlers: how the server's threads answer, and how the fuzzers reach
    // them. False when the connection is to be closed.
    bool answer(httplib::Stream& stream);

private:
    // The HTTP library's server, for its request parsing, routing and
    // answer writing; connections are accepted and read by the gate.
    class Routes : public httplib::Server {
    public:
        using httplib::Server::process_request;
        // A second descriptor of the bound socket, for the gate. The library
        // keeps its own: it ends streams once that is gone.
        int listeningSocket() const;
        void closeListeningSocket();
    };

    void addRoutes();
    void addControl(const char* path, std::function<void(const std::string& body)> action);
    httplib::Server::HandlerResponse guard(const httplib::Request& request, httplib::Response& response) const;
    void serveState(httplib::Response& response);
    void serveStream(const httplib::Request& request, httplib::Response& response);
    static void serveAsset(const httplib::Request& request, httplib::Response& response);
    static void refuse(httplib::Response& response, int status, const std::string& reason);
    static void answerFailure(httplib::Response& response, const std::exception_ptr& error);
    static void answerError(httplib::Response& response);
    void serve(GatedConnection connection);

    ViewBackend& mBackend;
    LiveSpectra& mLive;
    std::string mToken;
    std::unique_ptr<AccessGuard> mGuard;
    ControlRequests mRequests;
    Routes mRoutes;
    std::unique_ptr<httplib::ThreadPool> mThreads;
    std::unique_ptr<ConnectionGate> mGate;
    std::atomic<int> mOpenStreams{0};
};

} // namespace velmorview
