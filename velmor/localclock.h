#pragma once

#include <chrono>
#include <ctime>
#include <string>

// Local-time helpers shared by the device and the manager. Workers of several
// devices call them at once, so they use the re-entrant conversion.
namespace velmor_detail {

std::tm toLocalTime(std::time_t time);

// "YYYY-MM-DD HH:MM:SS.mmm" in local time.
std::string formatLocalTimestamp(std::chrono::system_clock::time_point when);

// Milliseconds within the second of `when` (0-999).
int millisecondOfSecond(std::chrono::system_clock::time_point when);

} // namespace velmor_detail
