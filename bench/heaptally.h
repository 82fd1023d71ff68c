#pragma once

#include <benchmark/benchmark.h>

#include <cstdint>

// Heap use of the calling thread, counted by this executable's replacement
// of the global operator new. Only the benchmark's own thread is seen: the
// simulator's bus thread and the manager's workers allocate elsewhere.
struct HeapUse {
    uint64_t allocations = 0;
    uint64_t bytes = 0;
};

HeapUse heapUseOfThisThread();
// The same over every thread of the process.
HeapUse heapUseOfProcess();

// Adds the counters "allocs/op" and "heap_bytes/op": what this thread
// allocated since `before`, per iteration.
void reportHeapUsePerIteration(benchmark::State& state, const HeapUse& before);
