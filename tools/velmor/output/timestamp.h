#pragma once

#include <chrono>
#include <string>

namespace velmorcli {

// Local time with milliseconds, e.g. "2026-12-08T05:12:03.123".
std::string formatLocalTimestamp(std::chrono::system_clock::time_point time);

// UTC in the strftime `format`, followed by '.' and the milliseconds, e.g.
// "2026-12-08T05:12:03.123" for "%Y-%m-%dT%H:%M:%S".
std::string formatUtcTimestamp(std::chrono::system_clock::time_point time, const char* format);

} // namespace velmorcli
