#pragma once

#include <optional>
#include <string>

namespace velmorview {

// What the guard needs to know of one request.
struct RequestFacts {
    std::string host;           // the Host header
    std::optional<std::string> origin;
    std::string authorization;  // the Authorization header
    std::string tokenParameter; // ?token=, for EventSource, which cannot set headers
    bool controlsDevices = false; // anything but the page's own files: may read or drive the devices
    bool changesState = false;    // a POST
};

struct Refusal {
    int status;
    std::string reason;
};

// Decides whether a request may reach the devices.
//
// Without a token the server listens on loopback only, and the Host header
// must name loopback with this port: a page on another site that re-points
// its own host name at 127.0.0.1 (DNS rebinding) sends its own name and is
// refused. With a token (serving other hosts) every request but those for
// the page's own files must carry it. Either way, a state-changing request must come with an Origin equal to
// this server's, which a browser sends and another site's page cannot fake,
// so a form or script elsewhere cannot drive the hardware.
class AccessGuard {
public:
    AccessGuard(std::string token, int port);

    std::optional<Refusal> check(const RequestFacts& request) const;

    // 128 random bits as 32 lower-case hex digits.
    static std::string generateToken();
    // Empty if `token` may be used; otherwise why not.
    static std::string tokenProblem(const std::string& token);

private:
    bool isLoopbackHost(const std::string& host) const;
    bool carriesToken(const RequestFacts& request) const;

    std::string mToken;
    int mPort;
};

} // namespace velmorview
