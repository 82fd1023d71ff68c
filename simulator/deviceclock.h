#pragma once

#include <chrono>
#include <cstdint>
#include <optional>

namespace velmorsim {

using SteadyTime = std::chrono::steady_clock::time_point;

// A reading of the device clock: days since 1970-01-01 (or since power-on
// until the host sets the clock) and the time of day in units of 0.1 ms.
struct ClockStamp {
    uint32_t days = 0;
    uint32_t time01ms = 0;

    bool operator==(const ClockStamp& other) const { return days == other.days && time01ms == other.time01ms; }
    bool operator!=(const ClockStamp& other) const { return !(*this == other); }
    bool operator<(const ClockStamp& other) const
    {
        return days != other.days ? days < other.days : time01ms < other.time01ms;
    }
};

constexpr uint32_t kTicksPerDay = 24u * 3600u * 10000u;

// The instrument's real-time clock. It always runs at wall speed, whatever
// the simulation's time scale, because hosts compare it with their own clock.
class DeviceClock {
public:
    explicit DeviceClock(SteadyTime powerOn);

    void set(ClockStamp value, SteadyTime at);
    bool wasSet() const { return mWasSet; }
    ClockStamp readingAt(SteadyTime at) const;

    // Hosts recognise a spectrum they already hold by its stamp, so two
    // spectra must never share one, however close together they finish.
    ClockStamp nextSpectrumStamp(SteadyTime finishedAt);

private:
    uint64_t ticksAt(SteadyTime at) const;

    SteadyTime mOrigin;
    uint64_t mTicksAtOrigin = 0;
    std::optional<uint64_t> mLastStampTicks;
    bool mWasSet = false;
};

} // namespace velmorsim
