#include "heaptally.h"

#include <cstdlib>
#include <new>

namespace {

thread_local HeapUse tHeapUse;

} // namespace

HeapUse heapUseOfThisThread()
{
    return tHeapUse;
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
