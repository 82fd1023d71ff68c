#pragma once

#include "velmor/velmor_c.h"

// Hands the library's diagnostic lines to a host's C log callback, through
// the host interface's log handler, which has its own calling convention and
// argument order.
class CLogForwarder {
public:
    // nullptr restores the standard streams. Once this returns the previous
    // callback is not called again.
    static void install(velmor_log_callback callback, void* user);
};
