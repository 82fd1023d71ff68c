#pragma once

#include <stdexcept>
#include <string>

namespace velmorcli {

// A command that could not do its job, with the exit status the tool ends
// with. The message is meant for the user as it stands.
class CommandFailure : public std::runtime_error {
public:
    static constexpr int FAILURE = 1;
    static constexpr int NO_DEVICE = 2;
    static constexpr int INTERRUPTED = 130;

    CommandFailure(int exitStatus, const std::string& message);

    int exitStatus() const;

private:
    int mExitStatus;
};

} // namespace velmorcli
