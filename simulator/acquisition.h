#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <optional>

#include "simulator/deviceclock.h"

namespace velmorsim {

enum class DeviceStatus : uint8_t { Idle = 0, WaitingForTrigger = 1, TakingSpectrum = 2 };

// The settings an acquisition runs with, fixed when it starts.
struct ExposureSettings {
    uint32_t exposureUs = 0;
    uint32_t averaging = 1;
    uint32_t delayUs = 0;
    bool hardwareTrigger = false;
};

struct DarkRecipe {
    ExposureSettings settings;
    uint64_t sequence = 0;
};

// A spectrum waiting in the device, kept as what is needed to render it.
struct FinishedSpectrum {
    ExposureSettings settings;
    ClockStamp stamp;
    uint64_t sequence = 0;
    std::optional<DarkRecipe> subtractedDark;
};

// The sensor's timing and the device's spectrum buffer. Nothing runs in the
// background: every caller first brings the state up to the present with
// advanceTo(), which replays what happened since in simulated time.
class Acquisition {
public:
    struct Limits {
        double timeScale = 1.0;
        uint32_t darkDurationUs = 0;  // 0: exposure x averaging
        std::size_t bufferCapacity = 0;
    };

    explicit Acquisition(Limits limits);

    void advanceTo(SteadyTime now, DeviceClock& clock);
    DeviceStatus status() const;

    void start(uint32_t count, const ExposureSettings& settings, SteadyTime now);
    void startDark(const ExposureSettings& settings, SteadyTime now);
    // Cancels whatever has not finished; finished spectra stay buffered.
    void stop();
    // A rising edge; ignored unless an acquisition waits for it.
    void trigger(SteadyTime now);

    void setDarkNeverEnds(bool neverEnds) { mDarkNeverEnds = neverEnds; }
    void setSubtractDark(bool enabled) { mSubtractDark = enabled; }
    bool subtractDark() const { return mSubtractDark; }
    bool hasDarkSpectrum() const { return mDark.has_value(); }

    void preload(std::size_t count, const ExposureSettings& settings, SteadyTime now, DeviceClock& clock);
    std::optional<FinishedSpectrum> takeOldest();
    const std::deque<FinishedSpectrum>& waiting() const { return mBuffer; }
    uint64_t droppedSpectra() const { return mDropped; }
    // Spectra finished since power-on, those pushed out included, and those
    // handed to the host.
    uint64_t madeSpectra() const { return mMade; }
    uint64_t readSpectra() const { return mRead; }

private:
    using Duration = std::chrono::steady_clock::duration;

    struct Run {
        ExposureSettings settings;
        uint64_t remaining = 0;
        bool waitingForTrigger = false;
        SteadyTime exposureStart;
    };

    struct DarkRun {
        ExposureSettings settings;
        SteadyTime end;
    };

    Duration realDuration(uint64_t simulatedUs) const;
    void finishDarkIfDue(SteadyTime now);
    void finishSpectra(uint64_t count, Duration cycle, DeviceClock& clock);
    void store(const ExposureSettings& settings, ClockStamp stamp);

    Limits mLimits;
    std::optional<Run> mRun;
    std::optional<DarkRun> mDarkRun;
    std::optional<DarkRecipe> mDark;
    bool mDarkNeverEnds = false;
    bool mSubtractDark = false;
    std::deque<FinishedSpectrum> mBuffer;
    uint64_t mNextSequence = 1;
    uint64_t mDropped = 0;
    uint64_t mMade = 0;
    uint64_t mRead = 0;
};

} // namespace velmorsim
