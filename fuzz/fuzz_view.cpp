// One raw HTTP request, any bytes, through the live view's server: the same
// framing the connection gate applies, then the real routes and handlers of
// a ViewServer, answered into memory. The devices are a fake backend whose
// texts are not all UTF-8, as a device's may not be.
//
// Input: first byte, bit 0: the server with an access token (else the
// loopback one); the rest is the request, in which "{port}" and "{token}"
// stand for the server's port and token, so that seeds can pass its checks.
//
// Besides the sanitizers it checks every answer: a status the README lists,
// and a body that is JSON in valid UTF-8 wherever it says it is JSON (each
// event of the live stream as well).

#include "view/connectiongate.h"
#include "view/livespectra.h"
#include "view/requesterror.h"
#include "view/requestframing.h"
#include "view/viewserver.h"

#include <httplib.h>
#include <nlohmann/json.hpp>

#include <cstdio>
#include <cstdlib>
#include <set>
#include <stdexcept>

using namespace velmorview;
using nlohmann::json;

namespace {

const char* const TOKEN = "fuzz-token-0123456789";
const char* const ODD_SERIAL = "AB\xFF" "1";

// Every status the README lists for the view.
const std::set<int> LISTED_STATUSES = {100, 200, 400, 401, 403, 404, 405, 408, 409,
                                       411, 413, 414, 415, 416, 431, 500, 503};

class FuzzBackend : public ViewBackend {
public:
    json state() override { return {{"serial", ODD_SERIAL}, {"firmware", "4.1\xC0\xAF"}}; }
    json wavelengths() override { return {{"10001", {400.0, 401.0}}, {ODD_SERIAL, {500.0}}}; }
    void setRunning(bool) override {}
    void applySettings(const AcquisitionSettings&) override {}
    void dark(const DarkRequest& request) override
    {
        throw std::runtime_error("Communication failed: " + request.device + " \xFE");
    }
    void storeReference(const std::string& device) override
    {
        throw RequestError(409, device + " has delivered no spectrum yet \xFF");
    }
    void setTriggerMode(TriggerMode) override {}
};

// Holds the request; takes the answer's head and one piece of its body, then
// stops taking more, as a client that goes away would: a stream ends there.
class MemoryStream : public httplib::Stream {
public:
    explicit MemoryStream(std::string request) : mRequest(std::move(request)) {}

    bool is_readable() const override { return mRead < mRequest.size(); }
    bool is_writable() const override { return mWrites < 2; }
    ssize_t read(char* data, size_t size) override
    {
        const std::size_t count = std::min(size, mRequest.size() - mRead);
        mRequest.copy(data, count, mRead);
        mRead += count;
        return static_cast<ssize_t>(count);
    }
    ssize_t write(const char* data, size_t size) override
    {
        ++mWrites;
        mAnswer.append(data, size);
        return static_cast<ssize_t>(size);
    }
    void get_remote_ip_and_port(std::string& ip, int& port) const override
    {
        ip = "127.0.0.1";
        port = 40000;
    }
    void get_local_ip_and_port(std::string& ip, int& port) const override
    {
        ip = "127.0.0.1";
        port = 8321;
    }
    socket_t socket() const override { return INVALID_SOCKET; }

    const std::string& answer() const { return mAnswer; }

private:
    std::string mRequest;
    std::size_t mRead = 0;
    std::string mAnswer;
    int mWrites = 0;
};

struct Servers {
    FuzzBackend backend;
    LiveSpectra live{{"10001", ODD_SERIAL}};
    ViewServer loopback{backend, live, ""};
    ViewServer tokened{backend, live, TOKEN};
    int loopbackPort = loopback.start("127.0.0.1", 0);
    int tokenedPort = tokened.start("127.0.0.1", 0);

    Servers()
    {
        // A spectrum and a reference waiting, so a stream answers at once.
        live.publish("10001", {1.0f, 2.0f});
        live.storeReference("10001");
        live.publish(ODD_SERIAL, {3.0f});
        live.reportError(ODD_SERIAL, "Timeout \xFF");
    }
};

void fail(const std::string& what, const std::string& answer)
{
    std::fprintf(stderr, "fuzz_view: %s\n--- answer ---\n%s\n", what.c_str(), answer.substr(0, 2000).c_str());
    std::abort();
}

void replaceAll(std::string& text, const std::string& from, const std::string& to)
{
    for (std::size_t at = 0; (at = text.find(from, at)) != std::string::npos; at += to.size()) {
        text.replace(at, from.size(), to);
    }
}

std::string headerValue(const std::string& head, const std::string& name)
{
    const std::size_t at = head.find("\r\n" + name + ": ");
    if (at == std::string::npos) {
        return {};
    }
    const std::size_t start = at + name.size() + 4;
    return head.substr(start, head.find("\r\n", start) - start);
}

std::string dechunked(const std::string& body, const std::string& answer)
{
    std::string joined;
    std::size_t at = 0;
    while (at < body.size()) {
        const std::size_t lineEnd = body.find("\r\n", at);
        if (lineEnd == std::string::npos) {
            fail("a chunk without its size line", answer);
        }
        const std::size_t size = std::strtoul(body.substr(at, lineEnd - at).c_str(), nullptr, 16);
        joined += body.substr(lineEnd + 2, size);
        at = lineEnd + 2 + size + 2;
    }
    return joined;
}

void checkJson(const std::string& text, const std::string& answer)
{
    if (!json::accept(text)) { // strict: invalid UTF-8 is not accepted either
        fail("a body that is not JSON in valid UTF-8", answer);
    }
}

void checkEvents(const std::string& events, const std::string& answer)
{
    for (std::size_t at = 0; (at = events.find("data: ", at)) != std::string::npos;) {
        const std::size_t end = events.find("\n\n", at);
        if (end == std::string::npos) {
            fail("an event without its end", answer);
        }
        checkJson(events.substr(at + 6, end - at - 6), answer);
        at = end;
    }
}

void checkAnswer(std::string answer)
{
    const std::string interim = "HTTP/1.1 100 Continue\r\n\r\n";
    const std::string whole = answer;
    if (answer.compare(0, interim.size(), interim) == 0) {
        answer.erase(0, interim.size());
    }
    const std::size_t headEnd = answer.find("\r\n\r\n");
    if (answer.compare(0, 9, "HTTP/1.1 ") != 0 || headEnd == std::string::npos) {
        fail("no status line and head", whole);
    }
    const int status = std::atoi(answer.c_str() + 9);
    if (LISTED_STATUSES.count(status) == 0) {
        fail("status " + std::to_string(status) + " is not among those the README lists", whole);
    }
    const std::string head = answer.substr(0, headEnd);
    std::string body = answer.substr(headEnd + 4);
    if (headerValue(head, "Transfer-Encoding") == "chunked") {
        body = dechunked(body, whole);
    }
    const std::string type = headerValue(head, "Content-Type");
    if (type == "text/event-stream") {
        checkEvents(body, whole);
    } else if (type == "application/json" && !body.empty()) {
        checkJson(body, whole);
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static Servers servers;
    if (size == 0) {
        return 0;
    }
    const bool withToken = (data[0] & 1) != 0;
    std::string request(reinterpret_cast<const char*>(data + 1), size - 1);
    replaceAll(request, "{port}", std::to_string(withToken ? servers.tokenedPort : servers.loopbackPort));
    replaceAll(request, "{token}", TOKEN);

    const RequestFraming::Result framing = RequestFraming::frame(request);
    switch (framing.verdict) {
    case RequestFraming::Verdict::Incomplete: return 0; // the gate would wait, then close or answer 408
    case RequestFraming::Verdict::Refused:
        checkAnswer(ConnectionGate::refusal(framing.status, framing.reason));
        return 0;
    case RequestFraming::Verdict::Complete: break;
    }
    MemoryStream stream(request.substr(0, framing.length));
    (withToken ? servers.tokened : servers.loopback).answer(stream);
    if (!stream.answer().empty()) {
        checkAnswer(stream.answer());
    }
    return 0;
}
