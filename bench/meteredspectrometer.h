#pragma once

#include "simulator/spectrometermodel.h"
#include "simulator/usbfunction.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>

// Stands in front of a simulated spectrometer and meters the CPU time and
// the heap its own work takes (synthesizing and framing spectra) on whatever
// thread calls it, so that a bench can take it out of the process's figures
// and keep the library's. Everything passes through unchanged.
class MeteredSpectrometer : public velmorsim::UsbFunction {
public:
    explicit MeteredSpectrometer(velmorsim::SpectrometerConfig config);

    std::size_t receiveBulkOut(const std::vector<uint8_t>& data) override;
    std::optional<std::vector<uint8_t>> sendBulkIn(std::size_t maxLength) override;
    void unplugged() override { mModel->unplugged(); }

    velmorsim::SpectrometerModel& model() { return *mModel; }

    std::chrono::nanoseconds cpuTime() const { return std::chrono::nanoseconds(mCpuNs.load()); }
    uint64_t heapAllocations() const { return mAllocations.load(); }
    uint64_t heapBytes() const { return mBytes.load(); }

private:
    template <typename Call>
    auto metered(Call&& call);

    const std::shared_ptr<velmorsim::SpectrometerModel> mModel;
    std::atomic<int64_t> mCpuNs{0};
    std::atomic<uint64_t> mAllocations{0};
    std::atomic<uint64_t> mBytes{0};
};
