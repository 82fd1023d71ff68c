#include "heaptally.h"

#include <atomic>
#include <cstdlib>
#include <new>

namespace {

thread_local HeapUse tHeapUse;
std::atomic<uint64_t> gAllocations{0};
std::atomic<uint64_t> gBytes{0};

} // namespace

HeapUse heapUseOfThisThread()
{
    return tHeapUse;
}

HeapUse heapUseOfProcess()
{
    return HeapUse{gAllocations.load(std::memory_order_relaxed), gBytes.load(std::memory_order_relaxed)};
}

void reportHeapUsePerIteration(benchmark::State& state, const HeapUse& before)
{
    const HeapUse after = heapUseOfThisThread();
    state.counters["allocs/op"] =
        benchmark::Counter(static_cast<double>(after.allocations - before.allocations), benchmark::Counter::kAvgIterations);
    state.counters["heap_bytes/op"] =
        benchmark::Counter(static_cast<double>(after.bytes - before.bytes), benchmark::Counter::kAvgIterations);
}

// The other forms of new (arrays, nothrow) end up here in libstdc++; the
// aligned forms are not counted, and nothing in the library uses them.
void* operator new(std::size_t size)
{
    ++tHeapUse.allocations;
    tHeapUse.bytes += size;
    gAllocations.fetch_add(1, std::memory_order_relaxed);
    gBytes.fetch_add(size, std::memory_order_relaxed);
    if (void* block = std::malloc(size != 0 ? size : 1)) {
        return block;
    }
    throw std::bad_alloc();
}

void operator delete(void* block) noexcept
{
    std::free(block);
}

void operator delete(void* block, std::size_t) noexcept
{
    std::free(block);
}
