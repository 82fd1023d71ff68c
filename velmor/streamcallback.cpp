#include <velmor/streamcallback.h>

// Out of line so that the type information and the virtual table live in the
// library, visible to every host, instead of in each host's objects.
StreamCallback::~StreamCallback() = default;

void StreamCallback::onStreamEnd(const std::string&, uint64_t, uint64_t) {}
