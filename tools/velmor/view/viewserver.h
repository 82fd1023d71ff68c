#pragma once

#include "accessguard.h"
#include "controlrequests.h"
#include "livespectra.h"
#include "viewbackend.h"

#include <httplib.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <thread>

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
// Each open stream holds one server thread; their number is capped so that
// control requests always find a thread.
class ViewServer {
public:
    static constexpr int MAX_STREAMS = 32;
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

private:
    void addRoutes();
    void addControl(const char* path, std::function<void(const std::string& body)> action);
    httplib::Server::HandlerResponse guard(const httplib::Request& request, httplib::Response& response) const;
    void serveState(httplib::Response& response);
    void serveStream(const httplib::Request& request, httplib::Response& response);
    static void serveAsset(const httplib::Request& request, httplib::Response& response);
    static void refuse(httplib::Response& response, int status, const std::string& reason);

    ViewBackend& mBackend;
    LiveSpectra& mLive;
    std::string mToken;
    std::unique_ptr<AccessGuard> mGuard;
    ControlRequests mRequests;
    httplib::Server mServer;
    std::thread mThread;
    std::atomic<int> mOpenStreams{0};
};

} // namespace velmorview
