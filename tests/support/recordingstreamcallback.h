#pragma once

#include <velmor/streamcallback.h>

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

// A StreamCallback that records every call, from any delivery thread, and
// lets a test wait for them. Pixels are not kept, only the first one (which
// numberSpectra() sets).
class RecordingStreamCallback : public StreamCallback {
public:
    struct Spectrum {
        StreamSpectrum header;  // every field but the pixels
        float firstPixel = 0;
        std::size_t pixelCount = 0;
    };
    struct End {
        std::string serialNumber;
        uint64_t delivered = 0;
        uint64_t lost = 0;
    };

    // Runs on the delivery thread after a spectrum was recorded, no lock
    // held (to be slow, or to throw). Set it before the stream starts.
    std::function<void(const StreamSpectrum&)> afterSpectrum;

    void onSpectrum(const StreamSpectrum& spectrum) override;
    void onError(const std::string& serialNumber, const std::string& message) override;
    void onStreamEnd(const std::string& serialNumber, uint64_t delivered, uint64_t lost) override;

    std::vector<Spectrum> spectraOf(const std::string& serialNumber) const;
    std::vector<std::string> errorsOf(const std::string& serialNumber) const;
    std::vector<End> ends() const;
    std::size_t spectrumCount(const std::string& serialNumber) const;

    // False if the condition does not hold after `limit`.
    bool waitFor(const std::function<bool()>& condition,
                 std::chrono::milliseconds limit = std::chrono::seconds(10)) const;
    bool waitForSpectra(const std::string& serialNumber, std::size_t count,
                        std::chrono::milliseconds limit = std::chrono::seconds(10)) const;
    bool waitForEnds(std::size_t count, std::chrono::milliseconds limit = std::chrono::seconds(10)) const;

private:
    mutable std::mutex mMutex;
    mutable std::condition_variable mRecorded;
    std::vector<Spectrum> mSpectra;
    std::vector<std::pair<std::string, std::string>> mErrors;
    std::vector<End> mEnds;
};

class VaskLinkProtocol;

// Stops `manager` when it goes out of scope. Declared right after a callback
// that lives shorter than the manager, it ends the workers before the
// callback goes away, also when an assertion leaves the test early.
class StopOnExit {
public:
    explicit StopOnExit(VaskLinkProtocol& manager) : mManager(manager) {}
    ~StopOnExit();

    StopOnExit(const StopOnExit&) = delete;
    StopOnExit& operator=(const StopOnExit&) = delete;

private:
    VaskLinkProtocol& mManager;
};

// What a device's stream must satisfy whatever happened: sequence numbers
// that rise by missingBefore + 1, the first from 0 + its missingBefore; an
// empty string when it holds, else what broke.
std::string sequenceProblem(const std::vector<RecordingStreamCallback::Spectrum>& spectra);
