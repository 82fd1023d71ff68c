#pragma once

#include "recording/recordedspectrum.h"
#include "recording/recordingfile.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace velmorcli {

// Hands spectra from the library's worker threads to one writer thread that
// appends them to the recording and flushes it every FLUSH_INTERVAL. The
// hand-over never blocks the workers: when the queue is full, or writing
// has failed, the spectrum is dropped and counted as lost.
class RecordingWriter {
public:
    static constexpr std::chrono::milliseconds FLUSH_INTERVAL{500};

    // Starts the writer thread; `file` must outlive this object.
    RecordingWriter(RecordingFile& file, std::size_t deviceCount, std::size_t queueCapacity);
    // Stops the writer thread (without finishing the file).
    ~RecordingWriter();

    RecordingWriter(const RecordingWriter&) = delete;
    RecordingWriter& operator=(const RecordingWriter&) = delete;

    // Any thread. Returns false when the spectrum was dropped.
    bool offer(RecordedSpectrum spectrum);

    // Writes what is still queued, flushes and stops the writer thread.
    // Returns false when writing failed (then failure() says why).
    bool drain();

    // Any thread: set once writing has failed; the file then holds what
    // was flushed before.
    bool failed() const;
    std::string failure() const;
    // Whether the file can still be finished after the failure (it ran out
    // of room before anything failed), or was abandoned.
    bool fileIntact() const;

    // Any thread.
    uint64_t written(std::size_t device) const;
    uint64_t dropped(std::size_t device) const;

private:
    void run();
    void writeBatch(const std::vector<RecordedSpectrum>& batch);
    void fail(const std::string& failure);

    RecordingFile& mFile;
    const std::size_t mCapacity;
    mutable std::mutex mMutex;
    std::condition_variable mWake;
    std::deque<RecordedSpectrum> mQueue; // guarded by mMutex
    bool mStopping = false;              // guarded by mMutex
    std::string mFailure;                // guarded by mMutex
    std::atomic<bool> mFailed{false};
    std::atomic<bool> mFileIntact{true};
    std::unique_ptr<std::atomic<uint64_t>[]> mWritten;
    std::unique_ptr<std::atomic<uint64_t>[]> mDropped;
    std::size_t mDeviceCount;
    std::thread mThread;
};

} // namespace velmorcli
