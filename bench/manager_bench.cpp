// Continuous measurement through the manager: two devices, one worker each,
// every spectrum handed to the host callback.

#include "simulatedspectrometers.h"

#include <velmor/spectrometercallback.h>
#include <velmor/vasklinkprotocol.h>

#include <benchmark/benchmark.h>

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <mutex>
#include <string>
#include <vector>

namespace {

constexpr int kExposureUs = 1000; // 10 µs of real time at the simulator's time scale
constexpr auto kRunLimit = std::chrono::seconds(60);

// Counts the spectra delivered and wakes the benchmark once the expected
// number arrived or a device reported a time-out.
class DeliveryCounter : public SpectrometerCallback {
public:
    void expect(int spectra)
    {
        std::lock_guard<std::mutex> lock(mMutex);
        mExpected = spectra;
        mDelivered = 0;
    }

    // True when every expected spectrum arrived within `limit`.
    bool waitForAll(std::chrono::seconds limit)
    {
        std::unique_lock<std::mutex> lock(mMutex);
        mChanged.wait_for(lock, limit, [this] { return mDelivered >= mExpected || !mFailure.empty(); });
        return mDelivered >= mExpected && mFailure.empty();
    }

    std::string failure()
    {
        std::lock_guard<std::mutex> lock(mMutex);
        return mFailure.empty() ? "measurement did not deliver every spectrum in time" : mFailure;
    }

    void onDataReceived(std::string, const std::vector<float>&, const std::vector<float>&) override
    {
        std::lock_guard<std::mutex> lock(mMutex);
        ++mDelivered;
        mChanged.notify_all();
    }

    void onDataReceivedBanch(std::string, const std::vector<float>&, const std::vector<std::vector<float>>&) override {}

    void onError(std::string serialNumber, const std::string& message) override
    {
        std::lock_guard<std::mutex> lock(mMutex);
        mFailure = serialNumber + ": " + message;
        mChanged.notify_all();
    }

private:
    std::mutex mMutex;
    std::condition_variable mChanged;
    int mExpected = 0;
    int mDelivered = 0;
    std::string mFailure;
};

// One iteration: startMeasurement() of N spectra per device, until both
// devices delivered them, and stopMeasurement(). "requests/spectrum" counts
// every request the devices received, the run's set-up and stop included.
void BM_ContinuousTwoDevices(benchmark::State& state)
{
    runAgainstSimulator(state, [&state] {
        const int perDevice = static_cast<int>(state.range(0));
        const int total = 2 * perDevice;
        SimulatedSpectrometers bus;
        const std::vector<SimulatedSpectrometers::Attached> devices{bus.attach(SimulatedSpectrometers::config(0)),
                                                                    bus.attach(SimulatedSpectrometers::config(1))};
        DeliveryCounter counter; // outlives the manager's workers
        VaskLinkProtocol manager;
        manager.connectDevice();
        if (manager.getConnectedDeviceCount() != 2) {
            state.SkipWithError("the manager did not connect both simulated devices");
            return;
        }

        for (const auto& device : devices) {
            device.model->clearRequests();
        }
        for (auto _ : state) {
            counter.expect(total);
            manager.startMeasurement(&counter, kExposureUs, 1, 0, perDevice);
            const bool complete = counter.waitForAll(kRunLimit);
            manager.stopMeasurement();
            if (!complete) {
                state.SkipWithError(counter.failure().c_str());
                return;
            }
        }
        const auto delivered = static_cast<double>(state.iterations() * total);
        std::size_t requests = 0;
        for (const auto& device : devices) {
            requests += device.model->requests().size();
        }
        state.counters["spectra/s"] = benchmark::Counter(delivered, benchmark::Counter::kIsRate);
        state.counters["requests/spectrum"] = static_cast<double>(requests) / delivered;
    });
}
BENCHMARK(BM_ContinuousTwoDevices)->Arg(20)->Arg(200)->UseRealTime()->Unit(benchmark::kMillisecond);

} // namespace
