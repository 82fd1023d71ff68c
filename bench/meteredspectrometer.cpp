#include "meteredspectrometer.h"

#include "heaptally.h"
#include "threadcputime.h"

MeteredSpectrometer::MeteredSpectrometer(velmorsim::SpectrometerConfig config)
    : mModel(std::make_shared<velmorsim::SpectrometerModel>(std::move(config)))
{
}

template <typename Call>
auto MeteredSpectrometer::metered(Call&& call)
{
    const HeapUse heapBefore = heapUseOfThisThread();
    const std::chrono::nanoseconds cpuBefore = cpuTimeOfThisThread();
    auto result = call();
    mCpuNs += (cpuTimeOfThisThread() - cpuBefore).count();
    const HeapUse heapAfter = heapUseOfThisThread();
    mAllocations += heapAfter.allocations - heapBefore.allocations;
    mBytes += heapAfter.bytes - heapBefore.bytes;
    return result;
}

std::size_t MeteredSpectrometer::receiveBulkOut(const std::vector<uint8_t>& data)
{
    return metered([&] { return mModel->receiveBulkOut(data); });
}

std::optional<std::vector<uint8_t>> MeteredSpectrometer::sendBulkIn(std::size_t maxLength)
{
    return metered([&] { return mModel->sendBulkIn(maxLength); });
}
