#pragma once

#include <velmor/velmorexport.h>

/// Library marker class; constructing it does nothing.
class VELMOR_EXPORT Velmor {
public:
    /// Does nothing and does not throw. Any thread.
    Velmor();
};
