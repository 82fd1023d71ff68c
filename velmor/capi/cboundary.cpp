#include "cboundary.h"

#include "clasterror.h"
#include "cstatuserror.h"
#include "velmor/velmor_c.h"

#include <exception>
#include <new>
#include <stdexcept>

// The library's own texts pass unchanged; texts of the C layer are prefixed
// with the call's name, since the host may not know which check refused it.
int32_t CBoundary::failWithCurrentException(const char* function) noexcept
{
    try {
        throw;
    } catch (const CStatusError& e) {
        CLastError::set(function, e.what());
        return e.status();
    } catch (const std::bad_alloc& e) {
        CLastError::set(e.what());
        return VELMOR_ERROR_NO_MEMORY;
    } catch (const std::out_of_range& e) {
        CLastError::set(e.what());
        return VELMOR_ERROR_INDEX_OUT_OF_RANGE;
    } catch (const std::invalid_argument& e) {
        CLastError::set(e.what());
        return VELMOR_ERROR_INVALID_ARGUMENT;
    } catch (const std::runtime_error& e) {
        CLastError::set(e.what());
        return VELMOR_ERROR_DEVICE;
    } catch (const std::exception& e) {
        CLastError::set(e.what());
        return VELMOR_ERROR_INTERNAL;
    } catch (...) {
        CLastError::set(function, "unknown exception");
        return VELMOR_ERROR_INTERNAL;
    }
}
