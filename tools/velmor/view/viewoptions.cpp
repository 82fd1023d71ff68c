#include "viewoptions.h"

#include "accessguard.h"

#include <cstdlib>
#include <fstream>
#include <stdexcept>

namespace velmorview {
namespace {

constexpr std::size_t LONGEST_TOKEN_LINE = 1024;

std::string firstLineOf(const std::string& path)
{
    std::ifstream file(path);
    std::string line;
    if (!file || !std::getline(file, line) || line.size() > LONGEST_TOKEN_LINE) {
        throw std::invalid_argument("--token-file " + path + ": cannot read a token from its first line");
    }
    while (!line.empty() && (line.back() == '\r' || line.back() == ' ' || line.back() == '\t')) {
        line.pop_back();
    }
    return line;
}

std::string checked(const std::string& token, const std::string& source)
{
    const std::string problem = AccessGuard::tokenProblem(token);
    if (!problem.empty()) {
        throw std::invalid_argument(source + ": " + problem);
    }
    return token;
}

} // namespace

std::string chosenToken(const ViewOptions& options)
{
    if (!options.token.empty()) {
        return checked(options.token, "--token");
    }
    if (!options.tokenFile.empty()) {
        return checked(firstLineOf(options.tokenFile), "--token-file " + options.tokenFile);
    }
    const char* fromEnvironment = std::getenv(ViewOptions::TOKEN_VARIABLE);
    if (fromEnvironment != nullptr && *fromEnvironment != '\0') {
        return checked(fromEnvironment, ViewOptions::TOKEN_VARIABLE);
    }
    return options.listenAddress.empty() ? std::string() : AccessGuard::generateToken();
}

} // namespace velmorview
