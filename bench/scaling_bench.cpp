// How measurement scales with the number of devices: 1, 2, 4 and 8
// simulated spectrometers in real time at 10 ms exposure, so that the
// devices, not the CPU, should set the pace. Every iteration first measures
// one device alone and then N devices together, back to back, so that the
// ratio of the two is taken under the same load of the machine.

#include "deliverylog.h"
#include "simulatedspectrometers.h"
#include "startrecorder.h"

#include <velmor/vasklinkprotocol.h>

#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kMaxDevices = 8;
constexpr int kExposureUs = 10000;
constexpr int kContinuousSpectra = 20; // per device and run
constexpr int kBatchSpectra = 40;      // 400 ms of acquisition: done by the worker's second look
constexpr auto kRunLimit = std::chrono::seconds(60);

enum class Measurement { Continuous, Batch };

struct RunFigures {
    double seconds = 0;                 // start to the last delivery
    double spectraPerSecondPerDevice = 0;
    std::vector<double> latenciesMs;    // spectrum ready in the device -> callback
    double workerCpuUsPerSpectrum = 0;
};

double milliseconds(Clock::duration duration)
{
    return std::chrono::duration<double, std::milli>(duration).count();
}

// Eight simulated spectrometers in real time on one bus; a run plugs in as
// many as it needs and connects a fresh manager to them.
class Spectrometers {
public:
    Spectrometers()
    {
        for (int index = 0; index < kMaxDevices; ++index) {
            velmorsim::SpectrometerConfig config = SimulatedSpectrometers::config(index);
            config.timeScale = 1.0;
            mRecorders.push_back(std::make_shared<StartRecorder>(
                std::make_shared<velmorsim::SpectrometerModel>(std::move(config))));
            mIds.push_back(mBus.plugIn(mRecorders.back()));
        }
    }

    RunFigures run(int devices, Measurement measurement)
    {
        for (int index = 0; index < kMaxDevices; ++index) {
            if (index < devices) {
                mBus.replug(mIds[index]);
            } else {
                mBus.unplug(mIds[index]);
            }
        }
        DeliveryLog log; // outlives the manager's workers
        VaskLinkProtocol manager;
        manager.connectDevice();
        if (manager.getConnectedDeviceCount() != static_cast<size_t>(devices)) {
            throw std::runtime_error("the manager did not connect every simulated device");
        }
        for (int index = 0; index < devices; ++index) {
            mRecorders[index]->takeStarts();
        }

        const int perDevice = measurement == Measurement::Continuous ? kContinuousSpectra : kBatchSpectra;
        log.expect(static_cast<size_t>(devices * perDevice));
        const Clock::time_point start = Clock::now();
        if (measurement == Measurement::Continuous) {
            manager.startMeasurement(&log, kExposureUs, 1, 0, perDevice);
        } else {
            manager.startBatchMeasurement(&log, kExposureUs, perDevice, 1, 0);
        }
        const bool complete = log.waitForAll(kRunLimit);
        manager.stopMeasurement();
        if (!complete) {
            throw std::runtime_error(log.failure());
        }
        return figures(devices, perDevice, start, log.records());
    }

private:
    RunFigures figures(int devices, int perDevice, Clock::time_point start,
                       const std::map<std::string, DeliveryLog::DeviceRecord>& records)
    {
        RunFigures run;
        Clock::time_point end = start;
        std::chrono::nanoseconds workerCpu{0};
        for (int index = 0; index < devices; ++index) {
            const DeliveryLog::DeviceRecord& record = records.at(mRecorders[index]->model().config().serialNumber);
            const std::vector<Clock::time_point> starts = mRecorders[index]->takeStarts();
            // A continuous run starts once per spectrum, a batch once for all
            // of them; the delivery comes when the last of them is ready.
            for (size_t i = 0; i < std::min(starts.size(), record.deliveries.size()); ++i) {
                const DeliveryLog::Delivery& delivery = record.deliveries[i];
                const auto ready = starts[i] + std::chrono::microseconds(kExposureUs) * delivery.spectra;
                run.latenciesMs.push_back(milliseconds(delivery.at - ready));
            }
            end = std::max(end, record.deliveries.back().at);
            workerCpu += record.workerCpu;
        }
        run.seconds = std::chrono::duration<double>(end - start).count();
        run.spectraPerSecondPerDevice = perDevice / run.seconds;
        run.workerCpuUsPerSpectrum =
            std::chrono::duration<double, std::micro>(workerCpu).count() / (devices * perDevice);
        return run;
    }

    SimulatedSpectrometers mBus;
    std::vector<std::shared_ptr<StartRecorder>> mRecorders;
    std::vector<int> mIds;
};

double percentile(std::vector<double> values, double fraction)
{
    std::sort(values.begin(), values.end());
    const auto rank = static_cast<size_t>(fraction * static_cast<double>(values.size() - 1) + 0.5);
    return values[rank];
}

void measureScaling(benchmark::State& state, Measurement measurement)
{
    runAgainstSimulator(state, [&state, measurement] {
        const int devices = static_cast<int>(state.range(0));
        Spectrometers spectrometers;
        std::vector<double> latencies;
        double alone = 0;
        double together = 0;
        double workerCpu = 0;
        for (auto _ : state) {
            const RunFigures one = spectrometers.run(1, measurement);
            const RunFigures all = spectrometers.run(devices, measurement);
            state.SetIterationTime(all.seconds);
            alone += one.spectraPerSecondPerDevice;
            together += all.spectraPerSecondPerDevice;
            workerCpu += all.workerCpuUsPerSpectrum;
            latencies.insert(latencies.end(), all.latenciesMs.begin(), all.latenciesMs.end());
        }
        const auto iterations = static_cast<double>(state.iterations());
        state.counters["spectra/s/device"] = together / iterations;
        state.counters["alone_spectra/s"] = alone / iterations;
        state.counters["ratio"] = together / alone;
        state.counters["latency_p50_ms"] = percentile(latencies, 0.50);
        state.counters["latency_p90_ms"] = percentile(latencies, 0.90);
        state.counters["latency_p99_ms"] = percentile(latencies, 0.99);
        state.counters["worker_cpu_us/spectrum"] = workerCpu / iterations;
    });
}

void BM_ContinuousScaling(benchmark::State& state)
{
    measureScaling(state, Measurement::Continuous);
}
BENCHMARK(BM_ContinuousScaling)->Arg(1)->Arg(2)->Arg(4)->Arg(8)->Iterations(1)->UseManualTime()->Unit(
    benchmark::kMillisecond);

void BM_BatchScaling(benchmark::State& state)
{
    measureScaling(state, Measurement::Batch);
}
BENCHMARK(BM_BatchScaling)->Arg(1)->Arg(2)->Arg(4)->Arg(8)->Iterations(1)->UseManualTime()->Unit(
    benchmark::kMillisecond);

} // namespace
