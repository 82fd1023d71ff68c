// One device over the real libusb and the virtual bus: a command round trip,
// and the readout of one spectrum of a typical and of the largest size, each
// also measured against the same exchange made with bare libusb calls.

#include "heaptally.h"
#include "simulatedspectrometers.h"
#include "threadcputime.h"

#include "simulator/spectrumrecord.h"

#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <vector>

namespace {

// A valid spectrum record of `pixels` pixels, as the device sends it.
std::vector<uint8_t> spectrumRecord(uint16_t pixels)
{
    velmorsim::SpectrumHeader header;
    header.exposureTime = 10000;
    header.averaging = 1;
    header.pixelCount = pixels;
    header.name = "10001";
    std::vector<float> values(pixels);
    for (size_t i = 0; i < values.size(); ++i) {
        values[i] = static_cast<float>(i);
    }
    return velmorsim::encodeSpectrumRecord(header, values);
}

// getStatusInfo(): one request frame out, one 8-byte reply in.
void BM_StatusRoundTrip(benchmark::State& state)
{
    runAgainstSimulator(state, [&state] {
        SimulatedSpectrometers bus;
        const auto device = bus.connect(bus.attach(SimulatedSpectrometers::config(0)));

        const HeapUse before = heapUseOfThisThread();
        for (auto _ : state) {
            benchmark::DoNotOptimize(device->getStatusInfo());
        }
        reportHeapUsePerIteration(state, before);
        state.SetItemsProcessed(state.iterations());
    });
}
BENCHMARK(BM_StatusRoundTrip)->UseRealTime()->Unit(benchmark::kMicrosecond);

// getSpectrum() in the form the manager uses (no header log). The device
// answers every read with the same prepared record, so the time is the
// library's and the transport's, not the simulator's spectrum synthesis.
void BM_ReadSpectrum(benchmark::State& state)
{
    runAgainstSimulator(state, [&state] {
        const auto pixels = static_cast<uint16_t>(state.range(0));
        const std::vector<uint8_t> record = spectrumRecord(pixels);
        SimulatedSpectrometers bus;
        const auto attached = bus.attach(SimulatedSpectrometers::config(0, pixels));
        const auto device = bus.connect(attached);
        attached.model->injectFault(velmorsim::command::kReadSpectrum, velmorsim::Fault::fixedReply(record),
                                    velmorsim::kForever);

        uint32_t time01ms = 0;
        uint32_t dateDays = 0;
        uint32_t exposureUs = 0;
        uint32_t averaging = 0;
        const HeapUse before = heapUseOfThisThread();
        for (auto _ : state) {
            benchmark::DoNotOptimize(device->getSpectrum(time01ms, dateDays, exposureUs, averaging));
        }
        reportHeapUsePerIteration(state, before);
        state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(record.size()));
        state.SetItemsProcessed(state.iterations());
    });
}
// 4106 pixels is the largest record that fits one reply (16492 bytes).
BENCHMARK(BM_ReadSpectrum)->Arg(2048)->Arg(4106)->UseRealTime()->Unit(benchmark::kMicrosecond);

using Clock = std::chrono::steady_clock;

constexpr int kExchangesPerTurn = 25;

// The wall time of a turn and the CPU time the benchmark's thread spent in
// it: the load of a shared machine stretches the first much more than the
// second.
struct TurnCost {
    Clock::duration wall{};
    std::chrono::nanoseconds cpu{};

    template <typename Turn>
    void add(Turn&& turn)
    {
        const std::chrono::nanoseconds cpuBefore = cpuTimeOfThisThread();
        const Clock::time_point wallBefore = Clock::now();
        turn();
        wall += Clock::now() - wallBefore;
        cpu += cpuTimeOfThisThread() - cpuBefore;
    }
};

// Turns of kExchangesPerTurn exchanges through the library and through bare
// libusb alternate on the same device, so that both see the same load of the
// machine; the library's transport is closed while the bare one has the
// device. The iteration time is the library's turn; "ratio" is the library's
// time per exchange over the bare one's, "cpu_ratio" the same for the CPU
// time of this thread.
void compareWithBareLibusb(benchmark::State& state, const SimulatedSpectrometers& bus,
                           const SimulatedSpectrometers::Attached& attached, uint32_t command,
                           const std::function<void(SpectrometerDevice&)>& libraryExchange)
{
    auto owned = bus.transport(attached);
    LibusbInterface& transport = *owned;
    SpectrometerDevice device(std::move(owned));
    const uint8_t request[4] = {static_cast<uint8_t>(command), static_cast<uint8_t>(command >> 8), 0, 0};
    std::vector<uint8_t> reply(SpectrometerDevice::MAX_RX_LENGTH);

    TurnCost library;
    TurnCost bare;
    HeapUse libraryHeap;
    for (auto _ : state) {
        const HeapUse heapBefore = heapUseOfThisThread();
        const Clock::duration wallBefore = library.wall;
        library.add([&] {
            for (int i = 0; i < kExchangesPerTurn; ++i) {
                libraryExchange(device);
            }
        });
        libraryHeap.allocations += heapUseOfThisThread().allocations - heapBefore.allocations;
        libraryHeap.bytes += heapUseOfThisThread().bytes - heapBefore.bytes;
        state.SetIterationTime(std::chrono::duration<double>(library.wall - wallBefore).count());
        transport.close();
        {
            const auto bareDevice = bus.openRaw(attached);
            bare.add([&] {
                for (int i = 0; i < kExchangesPerTurn; ++i) {
                    benchmark::DoNotOptimize(
                        bareDevice->exchange(request, sizeof request, reply.data(), static_cast<int>(reply.size())));
                }
            });
        }
        transport.open();
    }
    const double exchanges = static_cast<double>(state.iterations() * kExchangesPerTurn);
    const auto microseconds = [exchanges](auto total) {
        return std::chrono::duration<double, std::micro>(total).count() / exchanges;
    };
    state.counters["library_us"] = microseconds(library.wall);
    state.counters["bare_us"] = microseconds(bare.wall);
    state.counters["ratio"] = microseconds(library.wall) / microseconds(bare.wall);
    state.counters["library_cpu_us"] = microseconds(library.cpu);
    state.counters["bare_cpu_us"] = microseconds(bare.cpu);
    state.counters["cpu_ratio"] = microseconds(library.cpu) / microseconds(bare.cpu);
    state.counters["library_allocs"] = static_cast<double>(libraryHeap.allocations) / exchanges;
    state.counters["library_heap_bytes"] = static_cast<double>(libraryHeap.bytes) / exchanges;
}

void BM_StatusVsBareLibusb(benchmark::State& state)
{
    runAgainstSimulator(state, [&state] {
        SimulatedSpectrometers bus;
        const auto attached = bus.attach(SimulatedSpectrometers::config(0));
        compareWithBareLibusb(state, bus, attached, velmorsim::command::kGetStatus,
                              [](SpectrometerDevice& device) { benchmark::DoNotOptimize(device.getStatusInfo()); });
    });
}
BENCHMARK(BM_StatusVsBareLibusb)->UseManualTime()->Unit(benchmark::kMillisecond);

// The library decodes the record into pixels as well; bare libusb only
// moves its bytes.
void BM_SpectrumVsBareLibusb(benchmark::State& state)
{
    runAgainstSimulator(state, [&state] {
        const auto pixels = static_cast<uint16_t>(state.range(0));
        SimulatedSpectrometers bus;
        const auto attached = bus.attach(SimulatedSpectrometers::config(0, pixels));
        attached.model->injectFault(velmorsim::command::kReadSpectrum,
                                    velmorsim::Fault::fixedReply(spectrumRecord(pixels)), velmorsim::kForever);
        compareWithBareLibusb(state, bus, attached, velmorsim::command::kReadSpectrum, [](SpectrometerDevice& device) {
            uint32_t time01ms = 0;
            uint32_t dateDays = 0;
            uint32_t exposureUs = 0;
            uint32_t averaging = 0;
            benchmark::DoNotOptimize(device.getSpectrum(time01ms, dateDays, exposureUs, averaging));
        });
    });
}
BENCHMARK(BM_SpectrumVsBareLibusb)->Arg(2048)->Arg(4106)->UseManualTime()->Unit(benchmark::kMillisecond);

} // namespace
