#include "output/timestamp.h"

#include <ctime>
#include <iomanip>
#include <sstream>

namespace velmorcli {

std::string formatLocalTimestamp(std::chrono::system_clock::time_point time)
{
    using namespace std::chrono;
    const auto sinceEpoch = duration_cast<milliseconds>(time.time_since_epoch());
    // Floor, not truncation, so that times before 1970 still get 0-999 ms.
    const auto wholeSeconds = floor<seconds>(sinceEpoch);
    const std::time_t seconds = static_cast<std::time_t>(wholeSeconds.count());
    std::tm local{};
    localtime_r(&seconds, &local);
    std::ostringstream text;
    text << std::put_time(&local, "%Y-%m-%dT%H:%M:%S") << '.' << std::setw(3) << std::setfill('0')
         << (sinceEpoch - wholeSeconds).count();
    return text.str();
}

} // namespace velmorcli
