#include "localclock.h"

#include <iomanip>
#include <sstream>

namespace velmor_detail {

namespace {

constexpr int64_t SECONDS_PER_DAY = 86400;

// Days since 1970-01-01 of a proleptic Gregorian date.
int64_t daysFromCivil(int64_t year, unsigned month, unsigned day)
{
    year -= month <= 2 ? 1 : 0;
    const int64_t era = (year >= 0 ? year : year - 399) / 400;
    const int64_t yearOfEra = year - era * 400;
    const int64_t dayOfYear = (153 * (month > 2 ? month - 3 : month + 9) + 2) / 5 + day - 1;
    const int64_t dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
    return era * 146097 + dayOfEra - 719468;
}

} // namespace

int64_t daysSinceEpoch(const std::tm& local)
{
    return daysFromCivil(int64_t{local.tm_year} + 1900, static_cast<unsigned>(local.tm_mon + 1),
                         static_cast<unsigned>(local.tm_mday));
}

int32_t localUtcOffsetSeconds(const std::tm& local, std::chrono::system_clock::time_point when)
{
    const int64_t localSeconds = daysSinceEpoch(local) * SECONDS_PER_DAY + int64_t{local.tm_hour} * 3600 +
                                 int64_t{local.tm_min} * 60 + local.tm_sec;
    return static_cast<int32_t>(localSeconds - static_cast<int64_t>(std::chrono::system_clock::to_time_t(when)));
}

int32_t currentLocalUtcOffsetSeconds()
{
    const auto now = std::chrono::system_clock::now();
    return localUtcOffsetSeconds(toLocalTime(std::chrono::system_clock::to_time_t(now)), now);
}

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
