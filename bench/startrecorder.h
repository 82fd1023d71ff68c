#pragma once

#include "simulator/spectrometermodel.h"
#include "simulator/usbfunction.h"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

// Stands in front of a simulated spectrometer on the bus and notes when
// each start command reaches it: the acquisition begins at that moment, so
// its spectrum is ready one exposure later. Everything else passes through.
class StartRecorder : public velmorsim::UsbFunction {
public:
    using Clock = std::chrono::steady_clock;

    explicit StartRecorder(std::shared_ptr<velmorsim::SpectrometerModel> model);

    std::size_t receiveBulkOut(const std::vector<uint8_t>& data) override;
    std::optional<std::vector<uint8_t>> sendBulkIn(std::size_t maxLength) override;

    const velmorsim::SpectrometerModel& model() const { return *mModel; }

    // The arrival times of the start commands since the last call, oldest
    // first; the recorder forgets them.
    std::vector<Clock::time_point> takeStarts();

private:
    const std::shared_ptr<velmorsim::SpectrometerModel> mModel;
    std::mutex mMutex;
    std::vector<Clock::time_point> mStarts;
};
