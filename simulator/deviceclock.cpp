#include "simulator/deviceclock.h"

#include <algorithm>

namespace velmorsim {

namespace {

using Ticks = std::chrono::duration<int64_t, std::ratio<1, 10000>>;

ClockStamp stampFromTicks(uint64_t ticks)
{
    return {static_cast<uint32_t>(ticks / kTicksPerDay), static_cast<uint32_t>(ticks % kTicksPerDay)};
}

} // namespace

DeviceClock::DeviceClock(SteadyTime powerOn) : mOrigin(powerOn) {}

void DeviceClock::set(ClockStamp value, SteadyTime at)
{
    mOrigin = at;
    mTicksAtOrigin = uint64_t{value.days} * kTicksPerDay + value.time01ms;
    // A clock set backwards must show in the stamps, not be hidden by the
    // strictly-increasing rule.
    mLastStampTicks.reset();
    mWasSet = true;
}

ClockStamp DeviceClock::readingAt(SteadyTime at) const { return stampFromTicks(ticksAt(at)); }

ClockStamp DeviceClock::nextSpectrumStamp(SteadyTime finishedAt)
{
    uint64_t ticks = ticksAt(finishedAt);
    if (mLastStampTicks) {
        ticks = std::max(ticks, *mLastStampTicks + 1);
    }
    mLastStampTicks = ticks;
    return stampFromTicks(ticks);
}

uint64_t DeviceClock::ticksAt(SteadyTime at) const
{
    const int64_t elapsed = std::chrono::duration_cast<Ticks>(at - mOrigin).count();
    return elapsed > 0 ? mTicksAtOrigin + static_cast<uint64_t>(elapsed) : mTicksAtOrigin;
}

} // namespace velmorsim
