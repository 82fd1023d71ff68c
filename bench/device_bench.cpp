// One device over the real libusb and the virtual bus: a command round trip,
// and the readout of one spectrum of a typical and of the largest size.

#include "heaptally.h"
#include "simulatedspectrometers.h"

#include "simulator/spectrumrecord.h"

#include <benchmark/benchmark.h>

#include <cstdint>
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

} // namespace
