#include "deliverylog.h"

#include "threadcputime.h"

void DeliveryLog::expect(std::size_t spectra)
{
    std::lock_guard<std::mutex> lock(mMutex);
    mExpected = spectra;
    mDelivered = 0;
    mFailure.clear();
    mRecords.clear();
}

bool DeliveryLog::waitForAll(std::chrono::seconds limit)
{
    std::unique_lock<std::mutex> lock(mMutex);
    mChanged.wait_for(lock, limit, [this] { return mDelivered >= mExpected || !mFailure.empty(); });
    return mDelivered >= mExpected && mFailure.empty();
}

std::string DeliveryLog::failure()
{
    std::lock_guard<std::mutex> lock(mMutex);
    return mFailure.empty() ? "measurement did not deliver every spectrum in time" : mFailure;
}

std::map<std::string, DeliveryLog::DeviceRecord> DeliveryLog::records()
{
    std::lock_guard<std::mutex> lock(mMutex);
    return mRecords;
}

void DeliveryLog::onDataReceived(std::string serialNumber, const std::vector<float>&, const std::vector<float>&)
{
    note(serialNumber, 1);
}

void DeliveryLog::onDataReceivedBanch(std::string serialNumber, const std::vector<float>&,
                                      const std::vector<std::vector<float>>& spectra)
{
    note(serialNumber, spectra.size());
}

void DeliveryLog::onError(std::string serialNumber, const std::string& message)
{
    std::lock_guard<std::mutex> lock(mMutex);
    mFailure = serialNumber + ": " + message;
    mChanged.notify_all();
}

void DeliveryLog::note(const std::string& serialNumber, std::size_t spectra)
{
    const Clock::time_point at = Clock::now();
    const std::chrono::nanoseconds workerCpu = cpuTimeOfThisThread();
    std::lock_guard<std::mutex> lock(mMutex);
    DeviceRecord& record = mRecords[serialNumber];
    record.deliveries.push_back({at, spectra});
    record.workerCpu = workerCpu;
    mDelivered += spectra;
    mChanged.notify_all();
}
