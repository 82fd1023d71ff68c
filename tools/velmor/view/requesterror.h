#pragma once

#include <stdexcept>
#include <string>

namespace velmorview {

// A request the server refuses, with the HTTP status to answer and a reason
// meant for the person at the page.
class RequestError : public std::runtime_error {
public:
    RequestError(int status, const std::string& reason) : std::runtime_error(reason), mStatus(status) {}

    int status() const { return mStatus; }

private:
    int mStatus;
};

} // namespace velmorview
