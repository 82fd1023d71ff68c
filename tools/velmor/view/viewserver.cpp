#include "viewserver.h"

#include "requesterror.h"
#include "streamframes.h"
#include "viewassets.h"

#include <nlohmann/json.hpp>

#include <stdexcept>

namespace velmorview {
namespace {

using nlohmann::json;

constexpr std::size_t MAX_BODY_BYTES = 16 * 1024;
constexpr std::chrono::seconds WRITE_TIMEOUT{5}; // a client that takes no data this long is dropped

bool isApiPath(const std::string& path)
{
    return path.compare(0, 5, "/api/") == 0;
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
    facts.controlsDevices = isApiPath(request.path);
    facts.changesState = request.method != "GET" && request.method != "HEAD";
    return facts;
}

} // namespace

ViewServer::ViewServer(ViewBackend& backend, LiveSpectra& live, std::string token)
    : mBackend(backend), mLive(live), mToken(std::move(token)), mRequests(serialNumbersOf(live))
{
    // Every open stream occupies a worker thread for as long as it lasts.
    // The server takes ownership of the queue it is handed.
    mServer.new_task_queue = [] { return new httplib::ThreadPool(MAX_STREAMS + 8); };
    mServer.set_payload_max_length(MAX_BODY_BYTES);
    mServer.set_write_timeout(WRITE_TIMEOUT);
    mServer.set_pre_routing_handler(
        [this](const httplib::Request& request, httplib::Response& response) { return guard(request, response); });
    mServer.set_exception_handler(
        [](const httplib::Request&, httplib::Response& response, std::exception_ptr error) {
            try {
                std::rethrow_exception(error);
            } catch (const RequestError& refused) {
                refuse(response, refused.status(), refused.what());
            } catch (const std::exception& failure) {
                refuse(response, 500, std::string("the spectrometers failed: ") + failure.what());
            } catch (...) {
                refuse(response, 500, "unexpected failure");
            }
        });
    mServer.set_error_handler([](const httplib::Request&, httplib::Response& response) {
        if (response.body.empty()) {
            refuse(response, response.status, response.status == 413 ? "the request body is too large"
                                                                       : "no such page or request");
        }
    });
    addRoutes();
}

ViewServer::~ViewServer()
{
    stop();
}

int ViewServer::start(const std::string& host, int port)
{
    const int bound = port == 0 ? mServer.bind_to_any_port(host) : (mServer.bind_to_port(host, port) ? port : -1);
    if (bound < 0) {
        throw std::runtime_error("cannot listen on " + host + ":" + std::to_string(port) +
                                 " (in use, or not an address of this computer)");
    }
    mGuard = std::make_unique<AccessGuard>(mToken, bound);
    mThread = std::thread([this] { mServer.listen_after_bind(); });
    return bound;
}

void ViewServer::stop()
{
    mLive.close();
    mServer.stop();
    if (mThread.joinable()) {
        mThread.join();
    }
}

int ViewServer::openStreams() const
{
    return mOpenStreams.load();
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
    mServer.Get("/api/state", [this](const httplib::Request&, httplib::Response& response) { serveState(response); });
    mServer.Get("/api/wavelengths", [this](const httplib::Request&, httplib::Response& response) {
        response.set_content(mBackend.wavelengths().dump(), "application/json");
    });
    mServer.Get("/api/stream", [this](const httplib::Request& request, httplib::Response& response) {
        serveStream(request, response);
    });
    addControl("/api/acquisition", [this](const std::string& body) { mBackend.setRunning(mRequests.running(body)); });
    addControl("/api/settings", [this](const std::string& body) { mBackend.applySettings(mRequests.settings(body)); });
    addControl("/api/dark", [this](const std::string& body) { mBackend.dark(mRequests.dark(body)); });
    addControl("/api/reference",
               [this](const std::string& body) { mBackend.storeReference(mRequests.reference(body)); });
    addControl("/api/trigger", [this](const std::string& body) { mBackend.setTriggerMode(mRequests.trigger(body)); });
    mServer.Get(".*", [](const httplib::Request& request, httplib::Response& response) {
        serveAsset(request, response);
    });
}

void ViewServer::addControl(const char* path, std::function<void(const std::string& body)> action)
{
    mServer.Post(path, [this, action](const httplib::Request& request, httplib::Response& response) {
        if (request.get_header_value("Content-Type").find("application/json") != 0) {
            throw RequestError(415, "send the body as application/json");
        }
        action(request.body);
        serveState(response);
    });
    mServer.Get(path, [](const httplib::Request&, httplib::Response& response) {
        response.set_header("Allow", "POST");
        refuse(response, 405, "this request changes state: use POST");
    });
}

void ViewServer::serveState(httplib::Response& response)
{
    response.set_header("Cache-Control", "no-store");
    response.set_content(mBackend.state().dump(), "application/json");
}

void ViewServer::serveStream(const httplib::Request& request, httplib::Response& response)
{
    const std::string modeName = request.has_param("mode") ? request.get_param_value("mode") : "counts";
    const auto mode = displayModeNamed(modeName);
    if (!mode) {
        throw RequestError(400, "unknown display mode '" + modeName +
                                    "': counts, dark-subtracted, transmission or absorbance");
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
    response.set_content(json{{"error", reason}}.dump(), "application/json");
}

} // namespace velmorview
