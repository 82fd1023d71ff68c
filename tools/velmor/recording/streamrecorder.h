#pragma once

#include "recording/recordingwriter.h"

#include <velmor/streamcallback.h>

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace velmorcli {

// Receives the library's stream of every device and hands each spectrum to
// the recording's writer, keeping per device what arrived, what was lost
// and how its stream ended.
class StreamRecorder : public StreamCallback {
public:
    struct DeviceState {
        uint64_t received = 0;
        uint64_t lost = 0; // reported by the stream, and dropped on the way to the file
        bool ended = false;
        uint64_t spectraMade = 0; // once ended: delivered and lost, as the stream counted them
        std::string error;
    };

    // `serialNumbers` in the order of the library's device indices; the
    // writer must outlive the stream.
    StreamRecorder(RecordingWriter& writer, std::vector<std::string> serialNumbers);

    // The library's delivery threads.
    void onSpectrum(const StreamSpectrum& spectrum) override;
    void onError(const std::string& serialNumber, const std::string& message) override;
    void onStreamEnd(const std::string& serialNumber, uint64_t delivered, uint64_t lost) override;

    // Any thread.
    std::vector<DeviceState> devices() const;
    bool allEnded() const;

private:
    std::size_t indexOf(const std::string& serialNumber) const;

    RecordingWriter& mWriter;
    const std::vector<std::string> mSerialNumbers;
    mutable std::mutex mMutex;
    std::vector<DeviceState> mDevices; // guarded by mMutex; `lost` without the writer's drops
};

} // namespace velmorcli
