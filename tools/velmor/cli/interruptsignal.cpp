#include "cli/interruptsignal.h"

#include <csignal>

namespace velmorcli {
namespace {

volatile std::sig_atomic_t gRaised = 0;

extern "C" void raiseFlag(int signalNumber)
{
    gRaised = 1;
    std::signal(signalNumber, SIG_DFL);
}

} // namespace

InterruptSignal::InterruptSignal()
{
    gRaised = 0;
    std::signal(SIGINT, raiseFlag);
    std::signal(SIGTERM, raiseFlag);
}

InterruptSignal::~InterruptSignal()
{
    std::signal(SIGINT, SIG_DFL);
    std::signal(SIGTERM, SIG_DFL);
}

bool InterruptSignal::raised() const
{
    return gRaised != 0;
}

} // namespace velmorcli
