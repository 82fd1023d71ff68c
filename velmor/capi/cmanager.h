#pragma once

#include "ccallbackadapter.h"
#include "ccallbackscope.h"
#include "cstreamcallbackadapter.h"
#include "velmor/velmor_c.h"
#include "velmor/vasklinkprotocol.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <utility>
#include <vector>

// What a velmor_manager handle points to: the manager, the callback adapters
// its workers may still call, and the rules of the C interface around it.
// Host calls are serialised by one mutex; calls from inside a callback are
// refused, except the identity reads of the manager making the callback,
// which run without the mutex (the pool cannot change while its workers run:
// disconnecting joins them first).
class CManager {
public:
    using StartRun = std::function<void(VaskLinkProtocol&, SpectrometerCallback*)>;
    using StartStream = std::function<void(VaskLinkProtocol&, StreamCallback*)>;

    // The object behind a handle; CStatusError for NULL.
    static CManager& fromHandle(velmor_manager* handle);

    // Runs `work` under the call mutex; refused inside any callback.
    template <typename Work>
    auto exclusive(Work&& work) -> decltype(work(std::declval<VaskLinkProtocol&>()))
    {
        refuseInsideCallback();
        std::lock_guard<std::mutex> lock(mCallMutex);
        return work(mProtocol);
    }

    // Runs `work` on the manager's memory: under the call mutex, or without
    // it inside a callback of this manager's measurement.
    template <typename Work>
    auto identity(Work&& work) -> decltype(work(std::declval<VaskLinkProtocol&>()))
    {
        if (CCallbackScope::activeFor(this)) {
            return work(mProtocol);
        }
        return exclusive(std::forward<Work>(work));
    }

    // Runs `work` that talks to devices without their mutexes, which only
    // the workers of a running measurement may do: refused between a start
    // and the next stop.
    template <typename Work>
    auto withoutWorkers(Work&& work) -> decltype(work(std::declval<VaskLinkProtocol&>()))
    {
        return exclusive([&](VaskLinkProtocol& protocol) {
            refuseWhileMeasuring();
            return work(protocol);
        });
    }

    // Runs `work` on one device directly, on the terms of withoutWorkers.
    template <typename Work>
    auto direct(int32_t deviceIndex, Work&& work) -> decltype(work(std::declval<SpectrometerDevice&>()))
    {
        return withoutWorkers([&](VaskLinkProtocol& protocol) { return work(*protocol.getDevice(deviceIndex)); });
    }

    // Starts a run whose workers call `adapter`, kept alive until no worker
    // can call it any more.
    void start(std::unique_ptr<CCallbackAdapter> adapter, const StartRun& startRun);
    void start(std::unique_ptr<CStreamCallbackAdapter> adapter, const StartStream& startStream);
    void stop();
    void disconnect();

private:
    void refuseInsideCallback() const;
    void refuseWhileMeasuring() const;
    void forgetRuns();
    // Keeps `adapter` alive for the run `startRun` starts.
    void startKeeping(std::shared_ptr<void> adapter, const std::function<void(VaskLinkProtocol&)>& startRun);

    // Declared before the manager, so that they outlive its workers. Of
    // either callback kind, so held without their type.
    std::vector<std::shared_ptr<void>> mAdapters;
    std::atomic<bool> mMeasurementStarted{false};
    std::mutex mCallMutex;
    VaskLinkProtocol mProtocol;
};
