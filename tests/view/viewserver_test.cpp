#include "view/livespectra.h"
#include "view/requesterror.h"
#include "view/viewserver.h"

#include <gtest/gtest.h>
#include <httplib.h>
#include <nlohmann/json.hpp>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <future>
#include <mutex>

using namespace velmorview;
using nlohmann::json;

namespace {

// Records what the server asked of the devices.
class FakeBackend : public ViewBackend {
public:
    json state() override
    {
        return {{"running", running.load()}, {"exposureUs", exposureUs.load()}, {"serial", serialNumber}};
    }
    json wavelengths() override { return {{"10001", {400.0, 401.0}}}; }
    void setRunning(bool value) override { running = value; }
    void applySettings(const AcquisitionSettings& settings) override { exposureUs = settings.exposureUs; }
    void dark(const DarkRequest& request) override
    {
        if (request.action == DarkAction::SubtractionOn) {
            throw RequestError(409, "no dark spectrum yet");
        }
        throw std::runtime_error("Communication failed: unplugged " + serialNumber);
    }
    void storeReference(const std::string&) override {}
    void setTriggerMode(TriggerMode) override {}

    std::atomic<bool> running{false};
    std::atomic<int> exposureUs{0};
    std::string serialNumber = "10001";
};

class ViewServerTest : public ::testing::Test {
protected:
    void start(const std::string& token = "")
    {
        server = std::make_unique<ViewServer>(backend, live, token);
        port = server->start("127.0.0.1", 0);
        origin = "http://127.0.0.1:" + std::to_string(port);
    }

    httplib::Client client() const
    {
        httplib::Client client("127.0.0.1", port);
        client.set_read_timeout(std::chrono::seconds(5));
        return client;
    }

    httplib::Result postJson(const std::string& path, const std::string& body, httplib::Headers headers = {})
    {
        headers.emplace("Origin", origin);
        return client().Post(path.c_str(), headers, body, "application/json");
    }

    // Reads the stream until `events` events have arrived or it ends.
    std::vector<json> readEvents(const std::string& path, int events)
    {
        std::vector<json> received;
        std::string buffer;
        httplib::Client streamClient = client();
        streamClient.Get(path.c_str(), [&](const char* data, size_t length) {
            buffer.append(data, length);
            for (size_t end; (end = buffer.find("\n\n")) != std::string::npos;) {
                received.push_back(json::parse(buffer.substr(6, end - 6)));
                buffer.erase(0, end + 2);
            }
            return static_cast<int>(received.size()) < events;
        });
        return received;
    }

    static std::string reason(const httplib::Result& result)
    {
        return json::parse(result->body).value("error", "");
    }

    FakeBackend backend;
    LiveSpectra live{{"10001", "10002"}};
    std::unique_ptr<ViewServer> server;
    int port = 0;
    std::string origin;
};

int openRawConnection(int port)
{
    const int socketFd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    EXPECT_EQ(connect(socketFd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    return socketFd;
}

void sendText(int socketFd, const std::string& text)
{
    EXPECT_EQ(send(socketFd, text.data(), text.size(), 0), static_cast<ssize_t>(text.size()));
}

bool eventually(const std::function<bool()>& condition)
{
    for (int i = 0; i < 200 && !condition(); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(25));
    }
    return condition();
}

} // namespace

TEST_F(ViewServerTest, ServesThePageAndTheState)
{
    start();
    const auto page = client().Get("/");
    ASSERT_TRUE(page);
    EXPECT_EQ(page->status, 200);
    EXPECT_NE(page->body.find("velmor view"), std::string::npos);
    EXPECT_EQ(client().Get("/vendor/uPlot.esm.js")->status, 200);
    EXPECT_EQ(client().Get("/api/state")->status, 200);
    EXPECT_EQ(json::parse(client().Get("/api/wavelengths")->body)["10001"][1], 401.0);
    EXPECT_EQ(client().Get("/../CMakeLists.txt")->status, 404);
    EXPECT_EQ(client().Get("/%2e%2e/%2e%2e/etc/passwd")->status, 404);
}

TEST_F(ViewServerTest, ControlRequestsReachTheDevicesOnlyByPostWithOrigin)
{
    start();
    const auto refused = client().Post("/api/settings", R"({"exposureUs": 20000, "averaging": 1})", "application/json");
    EXPECT_EQ(refused->status, 403);
    EXPECT_EQ(postJson("/api/settings", R"({"exposureUs": 20000, "averaging": 1})",
                       {{"Origin", "http://evil.example"}})
                  ->status,
              403);
    EXPECT_EQ(backend.exposureUs, 0);

    const auto accepted = postJson("/api/settings", R"({"exposureUs": 20000, "averaging": 1})");
    EXPECT_EQ(accepted->status, 200);
    EXPECT_EQ(json::parse(accepted->body)["exposureUs"], 20000) << "a control request answers with the new state";
    EXPECT_EQ(backend.exposureUs, 20000);

    const auto get = client().Get("/api/acquisition");
    EXPECT_EQ(get->status, 405);
    EXPECT_EQ(get->get_header_value("Allow"), "POST");
}

TEST_F(ViewServerTest, BadRequestsGetA4xxWithAReason)
{
    start();
    const auto notJson = postJson("/api/acquisition", "{running:");
    EXPECT_EQ(notJson->status, 400);
    EXPECT_NE(reason(notJson).find("not JSON"), std::string::npos);
    const auto outOfRange = postJson("/api/settings", R"({"exposureUs": -1, "averaging": 1})");
    EXPECT_EQ(outOfRange->status, 400);
    EXPECT_NE(reason(outOfRange).find("exposureUs"), std::string::npos);
    EXPECT_EQ(client().Post("/api/acquisition", {{"Origin", origin}}, "running=1", "text/plain")->status, 415);
    EXPECT_EQ(postJson("/api/acquisition", std::string(64 * 1024, ' '))->status, 413);
    EXPECT_EQ(client().Get("/api/stream?mode=nonsense")->status, 400);

    const auto conflict = postJson("/api/dark", R"({"device": "10001", "action": "on"})");
    EXPECT_EQ(conflict->status, 409);
    EXPECT_EQ(reason(conflict), "no dark spectrum yet");
    const auto failed = postJson("/api/dark", R"({"device": "10001", "action": "take"})");
    EXPECT_EQ(failed->status, 500);
    EXPECT_NE(reason(failed).find("unplugged"), std::string::npos);
    EXPECT_EQ(client().Get("/api/state")->status, 200) << "the server lives on";
}

TEST_F(ViewServerTest, WithATokenApiRequestsMustCarryIt)
{
    const std::string token = AccessGuard::generateToken();
    start(token);
    EXPECT_EQ(client().Get("/")->status, 200);
    EXPECT_EQ(client().Get("/api/state")->status, 401);
    EXPECT_EQ(client().Get(("/api/state?token=" + token).c_str())->status, 200);
    EXPECT_EQ(postJson("/api/acquisition", R"({"running": true})")->status, 401);
    EXPECT_EQ(postJson("/api/acquisition", R"({"running": true})", {{"Authorization", "Bearer " + token}})->status,
              200);
    EXPECT_TRUE(backend.running);
}

TEST_F(ViewServerTest, StreamSendsTheNewestSpectraInTheChosenMode)
{
    start();
    live.publish("10001", {100.0f, 0.0f});
    live.storeReference("10001");
    live.publish("10001", {50.0f, 3.0f});
    const std::vector<json> events = readEvents("/api/stream?mode=transmission", 1);
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0]["mode"], "transmission");
    EXPECT_EQ(events[0]["values"]["10001"], json::parse("[50.0, null]"));
    EXPECT_FALSE(events[0]["values"].contains("10002")) << "no spectrum yet";
    EXPECT_EQ(events[0]["devices"][0]["received"], 2);
}

TEST_F(ViewServerTest, TwentyClientsAtOnceAllGetLiveData)
{
    start();
    std::atomic<bool> publishing{true};
    std::thread publisher([&] {
        for (float i = 0; publishing; ++i) {
            live.publish("10001", std::vector<float>(2048, i));
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    });
    std::vector<std::future<std::vector<json>>> clients;
    for (int i = 0; i < 20; ++i) {
        clients.push_back(std::async(std::launch::async, [this] { return readEvents("/api/stream", 3); }));
    }
    for (auto& eventsOfClient : clients) {
        EXPECT_EQ(eventsOfClient.get().size(), 3u);
    }
    EXPECT_EQ(client().Get("/api/state")->status, 200) << "streams leave threads for control requests";
    publishing = false;
    publisher.join();
    EXPECT_TRUE(eventually([&] { return server->openStreams() == 0; }));
}

TEST_F(ViewServerTest, StalledAndVanishedClientsNeverHoldUpAcquisition)
{
    start();
    // One client that never reads a byte and one that goes away.
    const int stalled = openRawConnection(port);
    sendText(stalled, "GET /api/stream HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port) + "\r\n\r\n");
    const int vanishing = openRawConnection(port);
    sendText(vanishing, "GET /api/stream HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port) + "\r\n\r\n");
    ASSERT_TRUE(eventually([&] { return server->openStreams() == 2; }));
    close(vanishing);

    // Megabytes of spectra that the stalled client cannot take in.
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < 2000; ++i) {
        live.publish("10001", std::vector<float>(2048, static_cast<float>(i)));
    }
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
    EXPECT_EQ(live.snapshot().devices[0].received, 2000u);

    EXPECT_TRUE(eventually([&] { return server->openStreams() == 1; })) << "the vanished client is dropped";
    EXPECT_EQ(readEvents("/api/stream", 1).size(), 1u) << "others are still served";
    close(stalled);
}

namespace {

// One request over its own connection, as raw bytes; the whole answer, read
// until the server closes or five seconds pass.
std::string exchange(int port, const std::string& request)
{
    const int socketFd = openRawConnection(port);
    timeval timeout{5, 0};
    setsockopt(socketFd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    sendText(socketFd, request);
    std::string answer;
    char buffer[4096];
    for (ssize_t count; (count = recv(socketFd, buffer, sizeof buffer, 0)) > 0;) {
        answer.append(buffer, static_cast<std::size_t>(count));
    }
    close(socketFd);
    return answer;
}

int statusOf(const std::string& answer)
{
    return answer.size() > 12 ? std::atoi(answer.c_str() + 9) : 0;
}

// The body of an answer, which must be JSON in valid UTF-8 (parse throws).
json bodyOf(const std::string& answer)
{
    const std::size_t headEnd = answer.find("\r\n\r\n");
    return headEnd == std::string::npos ? json() : json::parse(answer.substr(headEnd + 4));
}

} // namespace

// Requests that once crashed the view, took it for a device failure, or let
// a body through unbounded: each is refused with a 4xx and a JSON reason, and
// the page and the stream are served afterwards.
TEST_F(ViewServerTest, HostileRequestsGetA4xxInValidJsonAndTheServerLivesOn)
{
    const std::string token = AccessGuard::generateToken();
    for (const bool withToken : {false, true}) {
        server.reset();
        start(withToken ? token : "");
        const std::string host = "127.0.0.1:" + std::to_string(port);
        const std::string post = "POST /api/acquisition HTTP/1.1\r\nHost: " + host + "\r\nOrigin: " + origin +
                                 "\r\nConnection: close\r\n";
        const std::string json = "Content-Type: application/json\r\n";
        const std::string body = R"({"running": true})";
        const std::string sized = "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
        const std::string bearer = withToken ? "Authorization: Bearer " + token + "\r\n" : "";
        const std::pair<std::string, int> cases[] = {
            {"GET /api/stream?mode=%FF HTTP/1.1\r\nHost: " + host + "\r\n" + bearer + "Connection: close\r\n\r\n", 400},
            {post + bearer + json + "Content-Length: 15\r\n\r\n{\"running\":\"\xFF\"}", 400},
            {"GET /api/state HTTP/1.1\r\nHost: 127.0.0.1:\xFF\r\nConnection: close\r\n\r\n", withToken ? 401 : 403},
            {"POST /api/acquisition HTTP/1.1\r\nHost: " + host + "\r\nOrigin: http://\xFF\r\nConnection: close\r\n" +
                 bearer + json + sized,
             403},
            {post + bearer + "Content-Type: application/jsonx\r\n" + sized, 415},
            {post + bearer + json + "Transfer-Encoding: chunked\r\n\r\n", 411},
            {post + bearer + json + "Content-Encoding: gzip\r\nContent-Length: 20\r\n\r\n", 415},
            {post + bearer + json + "Content-Length: 50000000\r\n\r\n", 413},
            {"GET /nowhere HTTP/1.1\r\nHost: " + host + "\r\nRange: bytes=0-3\r\nConnection: close\r\n\r\n",
             withToken ? 401 : 404},
            {"POST /elsewhere HTTP/1.1\r\nHost: " + host + "\r\nOrigin: " + origin + "\r\nConnection: close\r\n" +
                 json + sized,
             withToken ? 401 : 404},
        };
        for (const auto& [request, status] : cases) {
            const std::string answer = exchange(port, request);
            EXPECT_EQ(statusOf(answer), status) << request;
            EXPECT_NO_THROW(EXPECT_TRUE(bodyOf(answer).contains("error"))) << answer;
        }
        EXPECT_FALSE(backend.running) << "nothing reached the devices";
        EXPECT_EQ(client().Get("/")->status, 200);
        EXPECT_EQ(client().Get(("/api/state?token=" + token).c_str())->status, 200);
        if (!withToken) { // stopping a server ends the streams of its LiveSpectra for good
            live.publish("10001", {1.0f});
            EXPECT_EQ(readEvents("/api/stream", 1).size(), 1u);
        }
    }
}

TEST_F(ViewServerTest, DeviceTextThatIsNotUtf8IsShownWithReplacementCharacters)
{
    backend.serialNumber = "AB\xFF" "1";
    start();
    const auto state = client().Get("/api/state");
    ASSERT_EQ(state->status, 200);
    EXPECT_EQ(json::parse(state->body)["serial"], "AB\xEF\xBF\xBD" "1");
    const auto failed = postJson("/api/dark", R"({"device": "10001", "action": "take"})");
    EXPECT_EQ(failed->status, 500);
    EXPECT_NE(reason(failed).find("unplugged AB\xEF\xBF\xBD" "1"), std::string::npos);
}

// Connections that send their request slowly, or nothing at all, hold no
// server thread and cannot crowd out a new client.
TEST_F(ViewServerTest, SlowAndIdleConnectionsLeaveTheServerToOthers)
{
    start();
    const std::string head = "GET / HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port) + "\r\n";
    std::vector<int> slow;
    for (int i = 0; i < ConnectionGate::MAX_PER_PEER + 20; ++i) {
        slow.push_back(openRawConnection(port));
        if (i % 2 == 0) {
            sendText(slow.back(), head + "X-Slow: 1\r\n");
        }
    }
    ASSERT_TRUE(eventually([&] { return server->openConnections() == ConnectionGate::MAX_PER_PEER; }))
        << "connections beyond the cap close the oldest waiting ones";
    EXPECT_EQ(client().Get("/")->status, 200);
    EXPECT_EQ(client().Get("/api/state")->status, 200);
    live.publish("10001", {1.0f});
    EXPECT_EQ(readEvents("/api/stream", 2).size(), 2u);
    for (const int socketFd : slow) {
        close(socketFd);
    }
}
