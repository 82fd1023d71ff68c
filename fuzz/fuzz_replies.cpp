// Every input becomes a device's reply to the request of one quick operation
// (status, trigger mode, spectrum reads, gain): the operation must succeed or
// throw a std::exception, and never touch memory outside a buffer.

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
    runReplyCase(quickReplyCases(), data, size);
    return 0;
}
