#include <velmor/velmor.h>

Velmor::Velmor() = default;
