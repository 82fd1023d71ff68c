#pragma once

#include <velmor/streamcallback.h>

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <exception>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

// The bounded queue between one device's USB reader and the host's
// StreamCallback, with the thread that empties it. The reader never waits
// for the host: when the queue is full the oldest spectrum is dropped and
// counted as missing before the next one. The error and the end of the
// stream are delivered after every spectrum queued before them.
class StreamDelivery {
public:
    StreamDelivery(StreamCallback& callback, std::string serialNumber, std::size_t capacity);
    // Delivers what is queued, then onStreamEnd, and joins the thread.
    ~StreamDelivery();

    StreamDelivery(const StreamDelivery&) = delete;
    StreamDelivery& operator=(const StreamDelivery&) = delete;

    void push(StreamSpectrum spectrum);
    // Reported through onError after the spectra queued so far; `failure`
    // is what the host may ask velmor::currentWorkerError for meanwhile.
    void fail(const std::string& message, std::exception_ptr failure);
    // Spectra lost after the last one that will be delivered.
    void addTrailingLoss(uint64_t count);

private:
    void run();
    void deliverSafely(const StreamSpectrum& spectrum);
    void reportErrorSafely(const std::string& message, std::exception_ptr failure);
    void endSafely(uint64_t delivered, uint64_t lost);

    StreamCallback& mCallback;
    const std::string mSerialNumber;
    const std::size_t mCapacity;

    std::mutex mMutex;
    std::condition_variable mWake;
    std::deque<StreamSpectrum> mQueue;
    std::optional<std::string> mError;
    std::exception_ptr mFailure;
    bool mClosing = false;
    uint64_t mDelivered = 0;
    uint64_t mLost = 0;
    std::thread mThread;
};
