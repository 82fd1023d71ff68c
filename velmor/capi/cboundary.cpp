#include "cboundary.h"

#include "clasterror.h"
#include "cstatuserror.h"
#include "velmor/communicationerror.h"
#include "velmor/nodeviceserror.h"
#include "velmor/velmor_c.h"

#include <new>
#include <stdexcept>

namespace {

int32_t statusOfCommunication(CommunicationError::Kind kind) noexcept
{
    switch (kind) {
    case CommunicationError::Kind::Timeout:
        return VELMOR_ERROR_TIMEOUT;
    case CommunicationError::Kind::DeviceGone:
        return VELMOR_ERROR_DEVICE_GONE;
    default:
        return VELMOR_ERROR_DEVICE;
    }
}

} // namespace

int32_t CBoundary::statusOf(const std::exception_ptr& failure) noexcept
{
    if (!failure) {
        return VELMOR_OK;
    }
    try {
        std::rethrow_exception(failure);
    } catch (const CStatusError& e) {
        return e.status();
    } catch (const std::bad_alloc&) {
        return VELMOR_ERROR_NO_MEMORY;
    } catch (const std::out_of_range&) {
        return VELMOR_ERROR_INDEX_OUT_OF_RANGE;
    } catch (const std::invalid_argument&) {
        return VELMOR_ERROR_INVALID_ARGUMENT;
    } catch (const NoDevicesError&) {
        return VELMOR_ERROR_NO_DEVICE;
    } catch (const CommunicationError& e) {
        return statusOfCommunication(e.kind());
    } catch (const std::runtime_error&) {
        return VELMOR_ERROR_DEVICE;
    } catch (...) {
        return VELMOR_ERROR_INTERNAL;
    }
}

// The library's own texts pass unchanged; texts of the C layer are prefixed
// with the call's name, since the host may not know which check refused it.
int32_t CBoundary::failWithCurrentException(const char* function) noexcept
{
    const int32_t status = statusOf(std::current_exception());
    try {
        throw;
    } catch (const CStatusError& e) {
        CLastError::set(function, e.what());
    } catch (const std::exception& e) {
        CLastError::set(e.what());
    } catch (...) {
        CLastError::set(function, "unknown exception");
    }
    return status;
}
