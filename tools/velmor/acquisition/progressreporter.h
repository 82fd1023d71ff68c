#pragma once

#include <chrono>
#include <cstddef>
#include <ostream>
#include <string>

namespace velmorcli {

// Shows a status line a few times per second at most. On a terminal the line
// is rewritten in place; elsewhere (a pipe, a log) a new line is written
// only when the status has changed, and less often.
class ProgressReporter {
public:
    ProgressReporter(std::ostream& out, bool onTerminal);

    void show(const std::string& status);
    // Shows the last status whatever the time, and ends its line so that the
    // next output starts on a line of its own.
    void finish(const std::string& finalStatus);

private:
    bool isDue(const std::string& status) const;
    void write(const std::string& status);

    std::ostream& mOut;
    bool mOnTerminal;
    std::chrono::steady_clock::time_point mShownAt;
    std::string mShown;
};

} // namespace velmorcli
