// Continuous measurement through the manager: two devices, one worker each,
// every spectrum handed to the host callback.

#include "deliverylog.h"
#include "simulatedspectrometers.h"

#include <velmor/vasklinkprotocol.h>

#include <benchmark/benchmark.h>

#include <chrono>
#include <cstddef>
#include <vector>

namespace {

constexpr int kExposureUs = 1000; // 10 µs of real time at the simulator's time scale
constexpr auto kRunLimit = std::chrono::seconds(60);

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
        DeliveryLog counter; // outlives the manager's workers
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
            counter.expect(static_cast<std::size_t>(total));
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
