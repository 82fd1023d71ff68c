#pragma once

#include <chrono>
#include <cstdint>
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

// Days since 1970-01-01 of the calendar date in `local`.
int64_t daysSinceEpoch(const std::tm& local);

// Local time minus UTC in seconds at `when`, whose local calendar time is
// `local`: what the device clock, which runs in local time, is ahead of UTC.
int32_t localUtcOffsetSeconds(const std::tm& local, std::chrono::system_clock::time_point when);

// The same for the current time.
int32_t currentLocalUtcOffsetSeconds();

} // namespace velmor_detail
