#include "ccallerbuffer.h"

#include "cstatuserror.h"
#include "velmor/velmor_c.h"

#include <limits>

bool CCallerBuffer::accepts(size_t count, const void* buffer, uint32_t capacity, uint32_t* needed)
{
    if (needed == nullptr) {
        throw CStatusError(VELMOR_ERROR_INVALID_ARGUMENT, "needed is NULL");
    }
    if (count > std::numeric_limits<uint32_t>::max()) {
        throw CStatusError(VELMOR_ERROR_INTERNAL, "result of " + std::to_string(count) + " elements is too large");
    }
    *needed = static_cast<uint32_t>(count);
    if (buffer == nullptr && capacity == 0) {
        return false;
    }
    if (buffer == nullptr) {
        throw CStatusError(VELMOR_ERROR_INVALID_ARGUMENT,
                           "buffer is NULL but capacity is " + std::to_string(capacity));
    }
    if (capacity < count) {
        throw CStatusError(VELMOR_ERROR_BUFFER_TOO_SMALL, "buffer too small: " + std::to_string(count) +
                                                               " elements needed, capacity is " +
                                                               std::to_string(capacity));
    }
    return true;
}

void CCallerBuffer::copyText(const std::string& text, char* buffer, uint32_t capacity, uint32_t* needed)
{
    if (accepts(text.size() + 1, buffer, capacity, needed)) {
        std::copy(text.begin(), text.end(), buffer);
        buffer[text.size()] = '\0';
    }
}
