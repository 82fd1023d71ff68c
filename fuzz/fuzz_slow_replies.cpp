// Every input becomes a device's reply to one request of the initialization
// or of the dark spectrum: the operation must succeed or throw a
// std::exception, and never touch memory outside a buffer. The 100 ms the
// library waits on purpose before each of them pass as device time.

#include "replycases.h"

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    prepareFuzzedSpectrometer();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size)
{
    runReplyCase(slowReplyCases(), data, size);
    return 0;
}
