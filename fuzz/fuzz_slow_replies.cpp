// Every input becomes a device's reply to one request of the initialization
// or of the dark spectrum: the operation must succeed or throw a
// std::exception, and never touch memory outside a buffer. Each input takes
// at least 100 ms, which the library waits on purpose.

#include "replycases.h"

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv)
{
    prepareFuzzedSpectrometer(*argc, *argv);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size)
{
    runReplyCase(slowReplyCases(), data, size);
    return 0;
}
