#include "acquisition/progressreporter.h"

namespace velmorcli {
namespace {

constexpr std::chrono::milliseconds TERMINAL_INTERVAL{250};
constexpr std::chrono::milliseconds LOG_INTERVAL{5000};

} // namespace

ProgressReporter::ProgressReporter(std::ostream& out, bool onTerminal) : mOut(out), mOnTerminal(onTerminal)
{
}

void ProgressReporter::show(const std::string& status)
{
    if (isDue(status)) {
        write(status);
    }
}

void ProgressReporter::finish(const std::string& finalStatus)
{
    if (finalStatus != mShown) {
        write(finalStatus);
    }
    if (mOnTerminal && !mShown.empty()) {
        mOut << std::endl;
    }
}

void ProgressReporter::write(const std::string& status)
{
    if (mOnTerminal) {
        // Blank out the rest of a longer previous status.
        const std::size_t leftover = mShown.size() > status.size() ? mShown.size() - status.size() : 0;
        mOut << '\r' << status << std::string(leftover, ' ') << std::flush;
    } else {
        mOut << status << std::endl;
    }
    mShown = status;
    mShownAt = std::chrono::steady_clock::now();
}

bool ProgressReporter::isDue(const std::string& status) const
{
    if (status == mShown) {
        return false;
    }
    const auto interval = mOnTerminal ? TERMINAL_INTERVAL : LOG_INTERVAL;
    return mShown.empty() || std::chrono::steady_clock::now() - mShownAt >= interval;
}

} // namespace velmorcli
