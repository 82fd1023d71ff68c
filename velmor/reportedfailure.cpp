#include "reportedfailure.h"

#include <utility>

namespace velmor_detail {

namespace {

thread_local std::exception_ptr tReportedFailure;

} // namespace

ReportedFailure::ReportedFailure(std::exception_ptr failure) noexcept
    : mPrevious(std::exchange(tReportedFailure, std::move(failure)))
{
}

ReportedFailure::~ReportedFailure()
{
    tReportedFailure = std::move(mPrevious);
}

std::exception_ptr ReportedFailure::current() noexcept
{
    return tReportedFailure;
}

} // namespace velmor_detail
