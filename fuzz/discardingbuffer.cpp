#include "discardingbuffer.h"

#include <iostream>

void DiscardingBuffer::discardStandardStreams()
{
    static DiscardingBuffer discarded;
    std::cout.rdbuf(&discarded);
    std::cerr.rdbuf(&discarded);
}
