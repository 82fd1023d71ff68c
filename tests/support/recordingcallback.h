#pragma once

#include <velmor/spectrometercallback.h>

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <exception>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

// A host callback that records every call the manager makes, from any of its
// worker threads, and lets a test wait until enough calls have arrived.
class RecordingCallback : public SpectrometerCallback {
public:
    using Clock = std::chrono::steady_clock;

    struct Spectrum {
        std::string serialNumber;
        std::vector<float> wavelength;
        std::vector<float> values;
        Clock::time_point at;
    };

    struct Batch {
        std::string serialNumber;
        std::vector<float> wavelength;
        std::vector<std::vector<float>> spectra;
        Clock::time_point at;
    };

    struct Error {
        std::string serialNumber;
        std::string message;
        Clock::time_point at;
        std::exception_ptr cause; // velmor::currentWorkerError() during the call
    };

    // Runs on the worker thread after a spectrum has been recorded, with no
    // lock held; it may throw to see how the worker copes. Set it before the
    // measurement starts.
    std::function<void(const std::string& serialNumber)> afterSpectrum;
    // The same after an error has been recorded.
    std::function<void(const std::string& serialNumber)> afterError;

    void onDataReceived(std::string serialNumber, const std::vector<float>& wavelength,
                        const std::vector<float>& spectrum) override;
    void onDataReceivedBanch(std::string serialNumber, const std::vector<float>& wavelength,
                             const std::vector<std::vector<float>>& spectra) override;
    void onError(std::string serialNumber, const std::string& message) override;

    std::vector<Spectrum> spectra() const;
    std::vector<Spectrum> spectraOf(const std::string& serialNumber) const;
    std::vector<Batch> batches() const;
    std::vector<Batch> batchesOf(const std::string& serialNumber) const;
    std::vector<Error> errors() const;
    void clear();

    // True as soon as at least `count` calls of that kind have been recorded
    // in all; false if that has not happened after `limit`.
    bool waitForSpectra(std::size_t count, std::chrono::milliseconds limit = std::chrono::seconds(10)) const;
    bool waitForBatches(std::size_t count, std::chrono::milliseconds limit = std::chrono::seconds(10)) const;
    bool waitForErrors(std::size_t count, std::chrono::milliseconds limit = std::chrono::seconds(10)) const;

private:
    template <typename Record>
    bool waitForCount(const std::vector<Record>& records, std::size_t count, std::chrono::milliseconds limit) const;

    mutable std::mutex mMutex;
    mutable std::condition_variable mRecorded;
    std::vector<Spectrum> mSpectra;
    std::vector<Batch> mBatches;
    std::vector<Error> mErrors;
};
