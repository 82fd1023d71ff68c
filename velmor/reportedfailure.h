#pragma once

#include <exception>

namespace velmor_detail {

// Shows the exception a worker is reporting through onError to the code
// that onError calls on the same thread (velmor::currentWorkerError, the C
// interface's velmor_error_callback_status), for as long as it lives.
class ReportedFailure {
public:
    explicit ReportedFailure(std::exception_ptr failure) noexcept;
    ~ReportedFailure();

    ReportedFailure(const ReportedFailure&) = delete;
    ReportedFailure& operator=(const ReportedFailure&) = delete;

    // The failure being reported on this thread, or null.
    static std::exception_ptr current() noexcept;

private:
    std::exception_ptr mPrevious;
};

} // namespace velmor_detail
