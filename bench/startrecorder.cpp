#include "startrecorder.h"

#include <utility>

StartRecorder::StartRecorder(std::shared_ptr<velmorsim::SpectrometerModel> model) : mModel(std::move(model)) {}

std::size_t StartRecorder::receiveBulkOut(const std::vector<uint8_t>& data)
{
    const bool isStart = data.size() >= 4 && data[0] == (velmorsim::command::kStartMeasure & 0xff) && data[1] == 0 &&
                         data[2] == 0 && data[3] == 0;
    if (isStart) {
        std::lock_guard<std::mutex> lock(mMutex);
        mStarts.push_back(Clock::now());
    }
    return mModel->receiveBulkOut(data);
}

std::optional<std::vector<uint8_t>> StartRecorder::sendBulkIn(std::size_t maxLength)
{
    return mModel->sendBulkIn(maxLength);
}

std::vector<StartRecorder::Clock::time_point> StartRecorder::takeStarts()
{
    std::lock_guard<std::mutex> lock(mMutex);
    return std::exchange(mStarts, {});
}
