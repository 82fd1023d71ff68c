#pragma once

namespace velmorcli {

// While it lives, the first Ctrl-C (SIGINT) or SIGTERM no longer ends the
// process but only raises a flag, so that a running measurement can be
// stopped cleanly and what arrived so far still be written. A second signal
// ends the process as usual.
class InterruptSignal {
public:
    InterruptSignal();
    ~InterruptSignal();

    InterruptSignal(const InterruptSignal&) = delete;
    InterruptSignal& operator=(const InterruptSignal&) = delete;

    bool raised() const;
};

} // namespace velmorcli
