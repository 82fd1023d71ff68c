#include "cli/commandfailure.h"

namespace velmorcli {

CommandFailure::CommandFailure(int exitStatus, const std::string& message)
    : std::runtime_error(message), mExitStatus(exitStatus)
{
}

int CommandFailure::exitStatus() const
{
    return mExitStatus;
}

} // namespace velmorcli
