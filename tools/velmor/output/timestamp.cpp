#include "output/timestamp.h"

#include <ctime>
#include <iomanip>
#include <sstream>

namespace velmorcli {

namespace {

std::string formatTimestamp(std::chrono::system_clock::time_point time, const char* format, bool utc)
{
    using namespace std::chrono;
    const auto sinceEpoch = duration_cast<milliseconds>(time.time_since_epoch());
    // Floor, not truncation, so that times before 1970 still get 0-999 ms.
    const auto wholeSeconds = floor<seconds>(sinceEpoch);
    const std::time_t seconds = static_cast<std::time_t>(wholeSeconds.count());
    std::tm fields{};
    if (utc) {
        gmtime_r(&seconds, &fields);
    } else {
        localtime_r(&seconds, &fields);
    }
    std::ostringstream text;
    text << std::put_time(&fields, format) << '.' << std::setw(3) << std::setfill('0')
         << (sinceEpoch - wholeSeconds).count();
    return text.str();
}

} // namespace

std::string formatLocalTimestamp(std::chrono::system_clock::time_point time)
{
    return formatTimestamp(time, "%Y-%m-%dT%H:%M:%S", false);
}

std::string formatUtcTimestamp(std::chrono::system_clock::time_point time, const char* format)
{
    return formatTimestamp(time, format, true);
}

} // namespace velmorcli
