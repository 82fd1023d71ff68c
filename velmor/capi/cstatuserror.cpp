#include "cstatuserror.h"

CStatusError::CStatusError(int32_t status, const std::string& text) : std::runtime_error(text), mStatus(status) {}

int32_t CStatusError::status() const noexcept
{
    return mStatus;
}
