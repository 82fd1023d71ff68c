#include "support/recordingstreamcallback.h"

#include <velmor/vasklinkprotocol.h>

void RecordingStreamCallback::onSpectrum(const StreamSpectrum& spectrum)
{
    Spectrum record;
    record.header = spectrum;
    record.header.spectrum.clear();
    record.firstPixel = spectrum.spectrum.empty() ? 0.0f : spectrum.spectrum.front();
    record.pixelCount = spectrum.spectrum.size();
    {
        std::lock_guard<std::mutex> lock(mMutex);
        mSpectra.push_back(std::move(record));
    }
    mRecorded.notify_all();
    if (afterSpectrum) {
        afterSpectrum(spectrum);
    }
}

void RecordingStreamCallback::onError(const std::string& serialNumber, const std::string& message)
{
    {
        std::lock_guard<std::mutex> lock(mMutex);
        mErrors.emplace_back(serialNumber, message);
    }
    mRecorded.notify_all();
}

void RecordingStreamCallback::onStreamEnd(const std::string& serialNumber, uint64_t delivered, uint64_t lost)
{
    {
        std::lock_guard<std::mutex> lock(mMutex);
        mEnds.push_back({serialNumber, delivered, lost});
    }
    mRecorded.notify_all();
}

std::vector<RecordingStreamCallback::Spectrum> RecordingStreamCallback::spectraOf(const std::string& serialNumber) const
{
    std::lock_guard<std::mutex> lock(mMutex);
    std::vector<Spectrum> selected;
    for (const Spectrum& spectrum : mSpectra) {
        if (spectrum.header.serialNumber == serialNumber) {
            selected.push_back(spectrum);
        }
    }
    return selected;
}

std::vector<std::string> RecordingStreamCallback::errorsOf(const std::string& serialNumber) const
{
    std::lock_guard<std::mutex> lock(mMutex);
    std::vector<std::string> messages;
    for (const auto& error : mErrors) {
        if (error.first == serialNumber) {
            messages.push_back(error.second);
        }
    }
    return messages;
}

std::vector<RecordingStreamCallback::End> RecordingStreamCallback::ends() const
{
    std::lock_guard<std::mutex> lock(mMutex);
    return mEnds;
}

std::size_t RecordingStreamCallback::spectrumCount(const std::string& serialNumber) const
{
    return spectraOf(serialNumber).size();
}

bool RecordingStreamCallback::waitFor(const std::function<bool()>& condition, std::chrono::milliseconds limit) const
{
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!condition()) {
        if (std::chrono::steady_clock::now() >= deadline) {
            return false;
        }
        // The condition takes the lock itself: wait in short slices so that a
        // call recorded between the test and the wait is not missed for long.
        std::unique_lock<std::mutex> lock(mMutex);
        mRecorded.wait_for(lock, std::chrono::milliseconds(10));
    }
    return true;
}

bool RecordingStreamCallback::waitForSpectra(const std::string& serialNumber, std::size_t count,
                                             std::chrono::milliseconds limit) const
{
    return waitFor([&] { return spectrumCount(serialNumber) >= count; }, limit);
}

bool RecordingStreamCallback::waitForEnds(std::size_t count, std::chrono::milliseconds limit) const
{
    return waitFor([&] { return ends().size() >= count; }, limit);
}

std::string sequenceProblem(const std::vector<RecordingStreamCallback::Spectrum>& spectra)
{
    uint64_t expected = 0;
    for (std::size_t i = 0; i < spectra.size(); ++i) {
        const StreamSpectrum& header = spectra[i].header;
        if (header.sequence != expected + header.missingBefore) {
            return "spectrum " + std::to_string(i) + " has sequence " + std::to_string(header.sequence) +
                   ", expected " + std::to_string(expected) + " + missingBefore " +
                   std::to_string(header.missingBefore);
        }
        expected = header.sequence + 1;
    }
    return {};
}

StopOnExit::~StopOnExit()
{
    mManager.stopMeasurement();
}
