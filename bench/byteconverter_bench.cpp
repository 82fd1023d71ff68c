// Decoding without USB: the per-value conversion that turns a spectrum
// reply into pixels, over a buffer the size of the largest reply.

#include "heaptally.h"

#include <velmor/byteconverter.h>

#include <benchmark/benchmark.h>

#include <cstdint>
#include <numeric>
#include <vector>

namespace {

// convert<float> at every 4-byte offset of the buffer into a preallocated
// vector, as the device decodes the pixels of a record.
void BM_ConvertFloats(benchmark::State& state)
{
    std::vector<uint8_t> buffer(static_cast<size_t>(state.range(0)));
    std::iota(buffer.begin(), buffer.end(), uint8_t{0});
    std::vector<float> values(buffer.size() / sizeof(float));

    const HeapUse before = heapUseOfThisThread();
    for (auto _ : state) {
        for (size_t i = 0; i < values.size(); ++i) {
            values[i] = ByteConverter::convert<float>(buffer, i * sizeof(float), true);
        }
        benchmark::DoNotOptimize(values.data());
        benchmark::ClobberMemory();
    }
    reportHeapUsePerIteration(state, before);
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(buffer.size()));
    state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(values.size()));
}
BENCHMARK(BM_ConvertFloats)->Arg(16 * 1024);

} // namespace
