#include "support/recordingcallback.h"

#include <velmor/velmorhost.h>

#include <utility>

namespace {

template <typename Record>
std::vector<Record> ofSerial(const std::vector<Record>& records, const std::string& serialNumber)
{
    std::vector<Record> selected;
    for (const Record& record : records) {
        if (record.serialNumber == serialNumber) {
            selected.push_back(record);
        }
    }
    return selected;
}

} // namespace

void RecordingCallback::onDataReceived(std::string serialNumber, const std::vector<float>& wavelength,
                                       const std::vector<float>& spectrum)
{
    {
        std::lock_guard<std::mutex> lock(mMutex);
        mSpectra.push_back({serialNumber, wavelength, spectrum, Clock::now()});
    }
    mRecorded.notify_all();
    if (afterSpectrum) {
        afterSpectrum(serialNumber);
    }
}

void RecordingCallback::onDataReceivedBanch(std::string serialNumber, const std::vector<float>& wavelength,
                                            const std::vector<std::vector<float>>& spectra)
{
    {
        std::lock_guard<std::mutex> lock(mMutex);
        mBatches.push_back({std::move(serialNumber), wavelength, spectra, Clock::now()});
    }
    mRecorded.notify_all();
}

void RecordingCallback::onError(std::string serialNumber, const std::string& message)
{
    {
        std::lock_guard<std::mutex> lock(mMutex);
        mErrors.push_back({serialNumber, message, Clock::now(), velmor::currentWorkerError()});
    }
    mRecorded.notify_all();
    if (afterError) {
        afterError(serialNumber);
    }
}

std::vector<RecordingCallback::Spectrum> RecordingCallback::spectra() const
{
    std::lock_guard<std::mutex> lock(mMutex);
    return mSpectra;
}

std::vector<RecordingCallback::Spectrum> RecordingCallback::spectraOf(const std::string& serialNumber) const
{
    std::lock_guard<std::mutex> lock(mMutex);
    return ofSerial(mSpectra, serialNumber);
}

std::vector<RecordingCallback::Batch> RecordingCallback::batches() const
{
    std::lock_guard<std::mutex> lock(mMutex);
    return mBatches;
}

std::vector<RecordingCallback::Batch> RecordingCallback::batchesOf(const std::string& serialNumber) const
{
    std::lock_guard<std::mutex> lock(mMutex);
    return ofSerial(mBatches, serialNumber);
}

std::vector<RecordingCallback::Error> RecordingCallback::errors() const
{
    std::lock_guard<std::mutex> lock(mMutex);
    return mErrors;
}

void RecordingCallback::clear()
{
    std::lock_guard<std::mutex> lock(mMutex);
    mSpectra.clear();
    mBatches.clear();
    mErrors.clear();
}

template <typename Record>
bool RecordingCallback::waitForCount(const std::vector<Record>& records, std::size_t count,
                                     std::chrono::milliseconds limit) const
{
    std::unique_lock<std::mutex> lock(mMutex);
    return mRecorded.wait_for(lock, limit, [&records, count] { return records.size() >= count; });
}

bool RecordingCallback::waitForSpectra(std::size_t count, std::chrono::milliseconds limit) const
{
    return waitForCount(mSpectra, count, limit);
}

bool RecordingCallback::waitForBatches(std::size_t count, std::chrono::milliseconds limit) const
{
    return waitForCount(mBatches, count, limit);
}

bool RecordingCallback::waitForErrors(std::size_t count, std::chrono::milliseconds limit) const
{
    return waitForCount(mErrors, count, limit);
}
