#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>

// A failure the C interface finds itself (a NULL pointer, a buffer too small,
// a call in the wrong state), with the status code it returns for it.
class CStatusError : public std::runtime_error {
public:
    CStatusError(int32_t status, const std::string& text);

    int32_t status() const noexcept;

private:
    int32_t mStatus;
};
