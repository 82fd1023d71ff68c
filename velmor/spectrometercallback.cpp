#include <velmor/spectrometercallback.h>

// Out of line so that the type information and the virtual table live in the
// library, visible to every host, instead of in each host's objects.
SpectrometerCallback::~SpectrometerCallback() = default;
