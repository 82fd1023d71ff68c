#include "simulator/acquisition.h"

#include <algorithm>

namespace velmorsim {

namespace {

// Longer than any test or demo runs; keeps absurd settings from overflowing
// the steady clock's representation.
constexpr double kLongestRealDurationNs = 1e18;

uint64_t exposureTotalUs(const ExposureSettings& settings)
{
    return uint64_t{settings.exposureUs} * std::max<uint32_t>(settings.averaging, 1);
}

uint64_t cycleUs(const ExposureSettings& settings) { return exposureTotalUs(settings) + settings.delayUs; }

} // namespace

Acquisition::Acquisition(Limits limits) : mLimits(limits) {}

Acquisition::Duration Acquisition::realDuration(uint64_t simulatedUs) const
{
    const double ns = std::min(static_cast<double>(simulatedUs) * 1000.0 / mLimits.timeScale, kLongestRealDurationNs);
    // A zero-length cycle would finish infinitely many spectra at once.
    return std::max(Duration(1), std::chrono::duration_cast<Duration>(std::chrono::duration<double, std::nano>(ns)));
}

void Acquisition::advanceTo(SteadyTime now, DeviceClock& clock)
{
    finishDarkIfDue(now);
    if (!mRun || mRun->waitingForTrigger || now < mRun->exposureStart) {
        return;
    }
    const Duration cycle = realDuration(cycleUs(mRun->settings));
    const auto elapsedCycles = static_cast<uint64_t>((now - mRun->exposureStart) / cycle);
    const uint64_t finishableWithoutTrigger = mRun->settings.hardwareTrigger ? 1 : mRun->remaining;
    finishSpectra(std::min(elapsedCycles, finishableWithoutTrigger), cycle, clock);
}

DeviceStatus Acquisition::status() const
{
    if (mDarkRun || (mRun && !mRun->waitingForTrigger)) {
        return DeviceStatus::TakingSpectrum;
    }
    return mRun ? DeviceStatus::WaitingForTrigger : DeviceStatus::Idle;
}

void Acquisition::start(uint32_t count, const ExposureSettings& settings, SteadyTime now)
{
    if (count > 0) {
        mRun = Run{settings, count, settings.hardwareTrigger, now};
    }
}

void Acquisition::startDark(const ExposureSettings& settings, SteadyTime now)
{
    const uint64_t durationUs = mLimits.darkDurationUs != 0 ? mLimits.darkDurationUs : exposureTotalUs(settings);
    mDarkRun = DarkRun{settings, now + realDuration(durationUs)};
}

void Acquisition::stop()
{
    mRun.reset();
    mDarkRun.reset();
}

void Acquisition::trigger(SteadyTime now)
{
    if (mRun && mRun->waitingForTrigger) {
        mRun->waitingForTrigger = false;
        mRun->exposureStart = now;
    }
}

void Acquisition::preload(std::size_t count, const ExposureSettings& settings, SteadyTime now, DeviceClock& clock)
{
    for (std::size_t i = 0; i < count; ++i) {
        store(settings, clock.nextSpectrumStamp(now));
    }
    mMade += count;
}

std::optional<FinishedSpectrum> Acquisition::takeOldest()
{
    if (mBuffer.empty()) {
        return std::nullopt;
    }
    FinishedSpectrum oldest = mBuffer.front();
    mBuffer.pop_front();
    ++mRead;
    return oldest;
}

void Acquisition::finishDarkIfDue(SteadyTime now)
{
    if (mDarkRun && !mDarkNeverEnds && now >= mDarkRun->end) {
        mDark = DarkRecipe{mDarkRun->settings, mNextSequence++};
        mDarkRun.reset();
    }
}

void Acquisition::finishSpectra(uint64_t count, Duration cycle, DeviceClock& clock)
{
    if (count == 0) {
        return;
    }
    // After a long unobserved stretch only the newest spectra can still be
    // in the buffer; the rest are counted as lost without being built.
    const uint64_t lost = count > mLimits.bufferCapacity ? count - mLimits.bufferCapacity : 0;
    mNextSequence += lost;
    mDropped += lost;
    mMade += count;
    for (uint64_t i = lost + 1; i <= count; ++i) {
        store(mRun->settings, clock.nextSpectrumStamp(mRun->exposureStart + cycle * static_cast<Duration::rep>(i)));
    }
    mRun->exposureStart += cycle * static_cast<Duration::rep>(count);
    mRun->remaining -= count;
    mRun->waitingForTrigger = mRun->settings.hardwareTrigger;
    if (mRun->remaining == 0) {
        mRun.reset();
    }
}

void Acquisition::store(const ExposureSettings& settings, ClockStamp stamp)
{
    mBuffer.push_back({settings, stamp, mNextSequence++, mSubtractDark ? mDark : std::nullopt});
    if (mBuffer.size() > mLimits.bufferCapacity) {
        mBuffer.pop_front();
        ++mDropped;
    }
}

} // namespace velmorsim
