#include "viewserver.h"

#include "gatedstream.h"
#include "replytext.h"
#include "requestframing.h"
#include "requesterror.h"
#include "streamframes.h"
#include "viewassets.h"

#include <nlohmann/json.hpp>

#include <unistd.h>

#include <stdexcept>

namespace velmorview {
namespace {

using nlohmann::json;

// Beside the streams: requests that answer at once, and one slow action.
constexpr int THREADS_BESIDE_STREAMS = 8;

// The page's own files: the only requests a token never guards.
// Every answer is whole: the page never asks for part of one, and a part of
// a JSON answer is not JSON.
void ignoreRanges(httplib::Request& request)
{
    request.ranges.clear();
}

bool isPageFile(const httplib::Request& request)
{
    return (request.method == "GET" || request.method == "HEAD") &&
           (request.path == "/" || findViewAsset(request.path) != nullptr);
}

std::vector<std::string> serialNumbersOf(const LiveSpectra& live)
{
    std::vector<std::string> serialNumbers;
    for (const DeviceView& device : live.snapshot().devices) {
        serialNumbers.push_back(device.serialNumber);
    }
    return serialNumbers;
}

RequestFacts factsOf(const httplib::Request& request)
{
    RequestFacts facts;
    facts.host = request.get_header_value("Host");
    if (request.has_header("Origin")) {
        facts.origin = request.get_header_value("Origin");
    }
    facts.authorization = request.get_header_value("Authorization");
    facts.tokenParameter = request.get_param_value("token");
    facts.controlsDevices = !isPageFile(request);
    facts.changesState = request.method != "GET" && request.method != "HEAD";
    return facts;
}

} // namespace

ViewServer::ViewServer(ViewBackend& backend, LiveSpectra& live, std::string token)
    : mBackend(backend), mLive(live), mToken(std::move(token)), mRequests(serialNumbersOf(live))
{
    mRoutes.set_payload_max_length(RequestFraming::MAX_BODY_BYTES);
    mRoutes.set_pre_routing_handler(
        [this](const httplib::Request& request, httplib::Response& response) { return guard(request, response); });
    mRoutes.set_exception_handler([](const httplib::Request&, httplib::Response& response, std::exception_ptr error) {
        answerFailure(response, error);
    });
    // Unhandled: the library would otherwise cut the reason to a Range the
    // client sent, leaving JSON that does not parse.
    mRoutes.set_error_handler(
        httplib::Server::HandlerWithResponse([](const httplib::Request&, httplib::Response& response) {
            answerError(response);
            return httplib::Server::HandlerResponse::Unhandled;
        }));
    addRoutes();
}

ViewServer::~ViewServer()
{
    stop();
}

int ViewServer::start(const std::string& host, int port)
{
    const int bound = port == 0 ? mRoutes.bind_to_any_port(host) : (mRoutes.bind_to_port(host, port) ? port : -1);
    if (bound < 0) {
        throw std::runtime_error("cannot listen on " + host + ":" + std::to_string(port) +
                                 " (in use, or not an address of this computer)");
    }
    mGuard = std::make_unique<AccessGuard>(mToken, bound);
    mThreads = std::make_unique<httplib::ThreadPool>(MAX_STREAMS + THREADS_BESIDE_STREAMS);
    mGate = std::make_unique<ConnectionGate>(mRoutes.listeningSocket(), [this](GatedConnection connection) {
        // The pool takes copyable tasks only.
        auto arrived = std::make_shared<GatedConnection>(std::move(connection));
        mThreads->enqueue([this, arrived] { serve(std::move(*arrived)); });
    });
    return bound;
}

void ViewServer::stop()
{
    mLive.close();
    if (mGate) {
        mGate->stop();
    }
    if (mThreads) {
        mThreads->shutdown();
        mThreads.reset();
    }
    mGate.reset();
    mRoutes.closeListeningSocket();
}

int ViewServer::openStreams() const
{
    return mOpenStreams.load();
}

int ViewServer::openConnections() const
{
    return mGate ? mGate->openConnections() : 0;
}

void ViewServer::serve(GatedConnection connection)
{
    GatedStream stream(connection, WRITE_TIMEOUT);
    if (answer(stream)) {
        mGate->giveBack(std::move(connection));
    } else {
        mGate->release(std::move(connection));
    }
}

bool ViewServer::answer(httplib::Stream& stream)
{
    bool closeRequested = false;
    try {
        return mRoutes.process_request(stream, false, closeRequested, ignoreRanges) && !closeRequested;
    } catch (...) {
        // The handlers answer every failure themselves; should the library
        // itself fail, the connection goes rather than the process.
        return false;
    }
}

int ViewServer::Routes::listeningSocket() const
{
    const int copy = dup(svr_sock_);
    if (copy < 0) {
        throw std::runtime_error("cannot hand the listening socket to the connection gate");
    }
    return copy;
}

void ViewServer::Routes::closeListeningSocket()
{
    const int socket = svr_sock_.exchange(INVALID_SOCKET);
    if (socket != INVALID_SOCKET) {
        close(socket);
    }
}

httplib::Server::HandlerResponse ViewServer::guard(const httplib::Request& request, httplib::Response& response) const
{
    response.set_header("X-Content-Type-Options", "nosniff");
    response.set_header("Content-Security-Policy", "default-src 'self'; img-src 'self' blob: data:; "
                                                   "frame-ancestors 'none'");
    response.set_header("Referrer-Policy", "no-referrer");
    if (const auto refusal = mGuard->check(factsOf(request))) {
        refuse(response, refusal->status, refusal->reason);
        return httplib::Server::HandlerResponse::Handled;
    }
    return httplib::Server::HandlerResponse::Unhandled;
}

void ViewServer::addRoutes()
{
    mRoutes.Get("/api/state", [this](const httplib::Request&, httplib::Response& response) { serveState(response); });
    mRoutes.Get("/api/wavelengths", [this](const httplib::Request&, httplib::Response& response) {
        response.set_content(replytext::dump(mBackend.wavelengths()), "application/json");
    });
    mRoutes.Get("/api/stream", [this](const httplib::Request& request, httplib::Response& response) {
        serveStream(request, response);
    });
    addControl("/api/acquisition", [this](const std::string& body) { mBackend.setRunning(mRequests.running(body)); });
    addControl("/api/settings", [this](const std::string& body) { mBackend.applySettings(mRequests.settings(body)); });
    addControl("/api/dark", [this](const std::string& body) { mBackend.dark(mRequests.dark(body)); });
    addControl("/api/reference",
               [this](const std::string& body) { mBackend.storeReference(mRequests.reference(body)); });
    addControl("/api/trigger", [this](const std::string& body) { mBackend.setTriggerMode(mRequests.trigger(body)); });
    mRoutes.Get(".*", [](const httplib::Request& request, httplib::Response& response) {
        serveAsset(request, response);
    });
}

void ViewServer::addControl(const char* path, std::function<void(const std::string& body)> action)
{
    mRoutes.Post(path, [this, action](const httplib::Request& request, httplib::Response& response) {
        if (!ControlRequests::isJsonMediaType(request.get_header_value("Content-Type"))) {
            throw RequestError(415, "send the body as application/json");
        }
        action(request.body);
        serveState(response);
    });
    mRoutes.Get(path, [](const httplib::Request&, httplib::Response& response) {
        response.set_header("Allow", "POST");
        refuse(response, 405, "this request changes state: use POST");
    });
}

void ViewServer::serveState(httplib::Response& response)
{
    response.set_header("Cache-Control", "no-store");
    response.set_content(replytext::dump(mBackend.state()), "application/json");
}

void ViewServer::serveStream(const httplib::Request& request, httplib::Response& response)
{
    const std::string modeName = request.has_param("mode") ? request.get_param_value("mode") : "counts";
    const auto mode = displayModeNamed(modeName);
    if (!mode) {
        throw RequestError(400, "unknown display mode: counts, dark-subtracted, transmission or absorbance");
    }
    if (++mOpenStreams > MAX_STREAMS) {
        --mOpenStreams;
        throw RequestError(503, "too many live views are open; close one");
    }
    response.set_header("Cache-Control", "no-store");
    auto frames = std::make_shared<StreamFrames>(*mode);
    auto lastSent = std::make_shared<std::chrono::steady_clock::time_point>();
    auto seenVersion = std::make_shared<uint64_t>(0);
    response.set_chunked_content_provider(
        "text/event-stream",
        [this, frames, lastSent, seenVersion](std::size_t, httplib::DataSink& sink) {
            if (!sink.is_writable()) {
                return false; // gone: no need to wait for the next frame
            }
            // Newest wins: after the pause, whatever is newest then is sent,
            // and what arrived in between is never seen by this client.
            std::this_thread::sleep_until(*lastSent + MIN_FRAME_INTERVAL);
            const auto changed = mLive.waitForChange(*seenVersion, STATUS_INTERVAL);
            if (mLive.closed()) {
                return false;
            }
            const LiveSnapshot snapshot = changed ? *changed : mLive.snapshot();
            *seenVersion = snapshot.version;
            *lastSent = std::chrono::steady_clock::now();
            const std::string event = frames->nextEvent(snapshot);
            return sink.is_writable() && sink.write(event.data(), event.size());
        },
        [this](bool) { --mOpenStreams; });
}

void ViewServer::serveAsset(const httplib::Request& request, httplib::Response& response)
{
    const ViewAsset* asset = findViewAsset(request.path == "/" ? "/index.html" : request.path);
    if (asset == nullptr) {
        refuse(response, 404, "no such page");
        return;
    }
    response.set_content(reinterpret_cast<const char*>(asset->data), asset->size, asset->contentType);
}

void ViewServer::refuse(httplib::Response& response, int status, const std::string& reason)
{
    response.status = status;
    response.set_content(replytext::dump(json{{"error", reason}}), "application/json");
}

void ViewServer::answerFailure(httplib::Response& response, const std::exception_ptr& error)
{
    try {
        try {
            std::rethrow_exception(error);
        } catch (const RequestError& refused) {
            refuse(response, refused.status(), refused.what());
        } catch (const std::exception& failure) {
            // The backend is the only code that throws anything else.
            refuse(response, 500, std::string("the spectrometers failed: ") + failure.what());
        }
    } catch (...) {
        response.status = 500;
        response.set_content(R"({"error":"unexpected failure"})", "application/json");
    }
}

void ViewServer::answerError(httplib::Response& response)
{
    try {
        if (response.body.empty()) {
            refuse(response, response.status, response.status == 404 ? "no such page or request"
                                                                        : "the request could not be read");
        }
    } catch (...) {
        response.set_content(R"({"error":"the request could not be read"})", "application/json");
    }
}

} // namespace velmorview
