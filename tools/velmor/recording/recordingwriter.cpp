#include "recording/recordingwriter.h"

#include "recording/hdf5id.h"

#include <algorithm>
#include <utility>

namespace velmorcli {

RecordingWriter::RecordingWriter(RecordingFile& file, std::size_t deviceCount, std::size_t queueCapacity)
    : mFile(file),
      mCapacity(queueCapacity),
      mWritten(std::make_unique<std::atomic<uint64_t>[]>(deviceCount)),
      mDropped(std::make_unique<std::atomic<uint64_t>[]>(deviceCount)),
      mDeviceCount(deviceCount)
{
    mThread = std::thread([this] { run(); });
}

RecordingWriter::~RecordingWriter()
{
    {
        std::lock_guard<std::mutex> lock(mMutex);
        mStopping = true;
        mQueue.clear();
    }
    mWake.notify_all();
    if (mThread.joinable()) {
        mThread.join();
    }
}

bool RecordingWriter::offer(RecordedSpectrum spectrum)
{
    const std::size_t device = spectrum.device;
    if (device >= mDeviceCount) {
        return false;
    }
    {
        std::lock_guard<std::mutex> lock(mMutex);
        if (!mFailed.load() && !mStopping && mQueue.size() < mCapacity) {
            mQueue.push_back(std::move(spectrum));
            return true;
        }
    }
    ++mDropped[device];
    return false;
}

bool RecordingWriter::drain()
{
    {
        std::lock_guard<std::mutex> lock(mMutex);
        mStopping = true;
    }
    mWake.notify_all();
    if (mThread.joinable()) {
        mThread.join();
    }
    return !failed();
}

void RecordingWriter::run()
{
    silenceHdf5ErrorOutput();
    auto nextFlush = std::chrono::steady_clock::now() + FLUSH_INTERVAL;
    for (;;) {
        std::vector<RecordedSpectrum> batch;
        bool last = false;
        {
            std::unique_lock<std::mutex> lock(mMutex);
            // Gathers for one interval: fewer, larger appends compress better
            // and cost less than one per spectrum.
            mWake.wait_until(lock, nextFlush, [this] { return mStopping; });
            last = mStopping;
            batch.assign(std::make_move_iterator(mQueue.begin()), std::make_move_iterator(mQueue.end()));
            mQueue.clear();
        }
        writeBatch(batch);
        if (last || failed()) {
            return;
        }
        // A steady beat, whatever the write took, so that a crash loses at
        // most one interval; after a slow write the next one follows at once.
        nextFlush = std::max(nextFlush + FLUSH_INTERVAL, std::chrono::steady_clock::now());
    }
}

void RecordingWriter::writeBatch(const std::vector<RecordedSpectrum>& batch)
{
    try {
        mFile.append(batch);
        mFile.flush();
        for (std::size_t i = 0; i < mDeviceCount; ++i) {
            mWritten[i] = mFile.spectraWritten(i);
        }
    } catch (const RecordingFile::NoRoom& error) {
        fail(error.what());
    } catch (const std::exception& error) {
        mFile.abandon();
        mFileIntact = false;
        fail(error.what());
    }
}

void RecordingWriter::fail(const std::string& failure)
{
    std::lock_guard<std::mutex> lock(mMutex);
    mFailure = failure;
    mFailed = true;
    mQueue.clear();
}

bool RecordingWriter::fileIntact() const
{
    return mFileIntact.load();
}

bool RecordingWriter::failed() const
{
    return mFailed.load();
}

std::string RecordingWriter::failure() const
{
    std::lock_guard<std::mutex> lock(mMutex);
    return mFailure;
}

uint64_t RecordingWriter::written(std::size_t device) const
{
    return device < mDeviceCount ? mWritten[device].load() : 0;
}

uint64_t RecordingWriter::dropped(std::size_t device) const
{
    return device < mDeviceCount ? mDropped[device].load() : 0;
}

} // namespace velmorcli
