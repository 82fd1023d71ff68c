#include "localclock.h"

#include <iomanip>
#include <sstream>

namespace velmor_detail {

std::tm toLocalTime(std::time_t time)
{
    std::tm local{};
#if defined(_WIN32)
    localtime_s(&local, &time);
#else
    localtime_r(&time, &local);
#endif
    return local;
}

int millisecondOfSecond(std::chrono::system_clock::time_point when)
{
    const auto sinceEpoch = std::chrono::duration_cast<std::chrono::milliseconds>(when.time_since_epoch()).count();
    const auto millisecond = sinceEpoch % 1000;
    return static_cast<int>(millisecond < 0 ? millisecond + 1000 : millisecond);
}

std::string formatLocalTimestamp(std::chrono::system_clock::time_point when)
{
    const std::tm local = toLocalTime(std::chrono::system_clock::to_time_t(when));
    std::ostringstream text;
    text << std::put_time(&local, "%Y-%m-%d %H:%M:%S") << '.' << std::setw(3) << std::setfill('0')
         << millisecondOfSecond(when);
    return text.str();
}

} // namespace velmor_detail
