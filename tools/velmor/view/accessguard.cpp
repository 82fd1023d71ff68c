#include "accessguard.h"

#include "replytext.h"

#include <algorithm>
#include <cctype>
#include <random>

namespace velmorview {
namespace {

constexpr std::size_t MIN_TOKEN_LENGTH = 16;

// Takes the same time wherever the first difference is, so that the token
// cannot be guessed one character at a time from response times.
bool sameText(const std::string& given, const std::string& expected)
{
    unsigned char difference = given.size() == expected.size() ? 0 : 1;
    for (std::size_t i = 0; i < expected.size(); ++i) {
        difference |= static_cast<unsigned char>(expected[i] ^ (i < given.size() ? given[i] : 0));
    }
    return difference == 0;
}

bool isTokenCharacter(char character)
{
    return std::isalnum(static_cast<unsigned char>(character)) || character == '-' || character == '_';
}

} // namespace

AccessGuard::AccessGuard(std::string token, int port) : mToken(std::move(token)), mPort(port)
{
}

std::optional<Refusal> AccessGuard::check(const RequestFacts& request) const
{
    if (mToken.empty() && !isLoopbackHost(request.host)) {
        return Refusal{403, "Host '" + replytext::clientText(request.host) + "' is not this server's loopback address"};
    }
    if (request.controlsDevices && !mToken.empty() && !carriesToken(request)) {
        return Refusal{401, "missing or wrong access token: open the address that 'velmor view' printed"};
    }
    if (request.changesState && request.origin != "http://" + request.host) {
        return Refusal{403, request.origin
                                ? "Origin '" + replytext::clientText(*request.origin) + "' is not this server"
                                : std::string("a request that changes state must carry an Origin")};
    }
    return std::nullopt;
}

bool AccessGuard::isLoopbackHost(const std::string& host) const
{
    const std::string port = ":" + std::to_string(mPort);
    for (const char* name : {"127.0.0.1", "localhost", "[::1]"}) {
        if (host == name + port) {
            return true;
        }
    }
    return false;
}

bool AccessGuard::carriesToken(const RequestFacts& request) const
{
    const std::string bearer = "Bearer ";
    if (request.authorization.compare(0, bearer.size(), bearer) == 0) {
        return sameText(request.authorization.substr(bearer.size()), mToken);
    }
    return sameText(request.tokenParameter, mToken);
}

std::string AccessGuard::generateToken()
{
    std::random_device source;
    std::uniform_int_distribution<int> digit(0, 15);
    std::string token;
    for (int i = 0; i < 32; ++i) {
        token += "0123456789abcdef"[digit(source)];
    }
    return token;
}

std::string AccessGuard::tokenProblem(const std::string& token)
{
    if (token.size() < MIN_TOKEN_LENGTH) {
        return "the token must have at least " + std::to_string(MIN_TOKEN_LENGTH) + " characters";
    }
    if (!std::all_of(token.begin(), token.end(), isTokenCharacter)) {
        return "the token may hold only letters, digits, '-' and '_'";
    }
    return {};
}

} // namespace velmorview
