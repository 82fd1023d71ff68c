#include "countingcallback.h"

void CountingCallback::onDataReceived(std::string serialNumber, const std::vector<float>&,
                                      const std::vector<float>& spectrum)
{
    std::lock_guard<std::mutex> lock(mMutex);
    count(serialNumber, spectrum);
}

void CountingCallback::onDataReceivedBanch(std::string serialNumber, const std::vector<float>&,
                                           const std::vector<std::vector<float>>& spectra)
{
    std::lock_guard<std::mutex> lock(mMutex);
    for (const auto& spectrum : spectra) {
        count(serialNumber, spectrum);
    }
}

void CountingCallback::onError(std::string, const std::string&)
{
    std::lock_guard<std::mutex> lock(mMutex);
    ++mErrors;
}

// Caller holds mMutex.
void CountingCallback::count(const std::string& serialNumber, const std::vector<float>& spectrum)
{
    ++mDelivered;
    if (!spectrum.empty() && !mNumbersBySerial[serialNumber].insert(spectrum.front()).second) {
        ++mDuplicates;
    }
}

uint64_t CountingCallback::delivered() const
{
    std::lock_guard<std::mutex> lock(mMutex);
    return mDelivered;
}

uint64_t CountingCallback::duplicates() const
{
    std::lock_guard<std::mutex> lock(mMutex);
    return mDuplicates;
}

uint64_t CountingCallback::errors() const
{
    std::lock_guard<std::mutex> lock(mMutex);
    return mErrors;
}
