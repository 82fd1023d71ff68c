#include "streamdelivery.h"

#include "logsink.h"
#include "reportedfailure.h"

#include <algorithm>
#include <exception>
#include <utility>

using velmor_detail::LogSink;

StreamDelivery::StreamDelivery(StreamCallback& callback, std::string serialNumber, std::size_t capacity)
    : mCallback(callback), mSerialNumber(std::move(serialNumber)), mCapacity(std::max<std::size_t>(capacity, 1))
{
    mThread = std::thread(&StreamDelivery::run, this);
}

StreamDelivery::~StreamDelivery()
{
    {
        std::lock_guard<std::mutex> lock(mMutex);
        mClosing = true;
    }
    mWake.notify_one();
    mThread.join();
}

void StreamDelivery::push(StreamSpectrum spectrum)
{
    {
        std::lock_guard<std::mutex> lock(mMutex);
        mLost += spectrum.missingBefore;
        if (mQueue.size() >= mCapacity) {
            // The dropped spectrum and the losses before it move onto the
            // spectrum that now comes first.
            const uint64_t dropped = mQueue.front().missingBefore + 1;
            mQueue.pop_front();
            ++mLost;
            StreamSpectrum& next = mQueue.empty() ? spectrum : mQueue.front();
            next.missingBefore += dropped;
        }
        mQueue.push_back(std::move(spectrum));
    }
    mWake.notify_one();
}

void StreamDelivery::fail(const std::string& message, std::exception_ptr failure)
{
    {
        std::lock_guard<std::mutex> lock(mMutex);
        mError = message;
        mFailure = std::move(failure);
    }
    mWake.notify_one();
}

void StreamDelivery::addTrailingLoss(uint64_t count)
{
    std::lock_guard<std::mutex> lock(mMutex);
    mLost += count;
}

void StreamDelivery::run()
{
    std::unique_lock<std::mutex> lock(mMutex);
    for (;;) {
        mWake.wait(lock, [this] { return !mQueue.empty() || mClosing; });
        if (mQueue.empty()) {
            break;
        }
        const StreamSpectrum next = std::move(mQueue.front());
        mQueue.pop_front();
        lock.unlock();
        deliverSafely(next);
        lock.lock();
        ++mDelivered;
    }
    const std::optional<std::string> error = mError;
    const std::exception_ptr failure = mFailure;
    const uint64_t delivered = mDelivered;
    const uint64_t lost = mLost;
    lock.unlock();
    if (error) {
        reportErrorSafely(*error, failure);
    }
    endSafely(delivered, lost);
}

void StreamDelivery::deliverSafely(const StreamSpectrum& spectrum)
{
    try {
        mCallback.onSpectrum(spectrum);
    } catch (const std::exception& e) {
        LogSink::err() << "[VLP] stream callback exception devIndex=" << spectrum.deviceIndex << " what=" << e.what()
                       << std::endl;
    } catch (...) {
        LogSink::err() << "[VLP] stream callback exception devIndex=" << spectrum.deviceIndex << " what=未知异常"
                       << std::endl;
    }
}

void StreamDelivery::reportErrorSafely(const std::string& message, std::exception_ptr failure)
{
    try {
        const velmor_detail::ReportedFailure shown(std::move(failure));
        mCallback.onError(mSerialNumber, message);
    } catch (const std::exception& e) {
        LogSink::err() << "Exception in onError: " << e.what() << std::endl;
    } catch (...) {
        LogSink::err() << "Exception in onError: 未知异常" << std::endl;
    }
}

void StreamDelivery::endSafely(uint64_t delivered, uint64_t lost)
{
    try {
        mCallback.onStreamEnd(mSerialNumber, delivered, lost);
    } catch (const std::exception& e) {
        LogSink::err() << "Exception in onStreamEnd: " << e.what() << std::endl;
    } catch (...) {
        LogSink::err() << "Exception in onStreamEnd: 未知异常" << std::endl;
    }
}
