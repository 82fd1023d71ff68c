#pragma once

#include <map>
#include <string>
#include <vector>

namespace velmorsim {

// Runs a program with extra environment variables and waits for it.
// Returns its exit status, or 128 + the signal that ended it, as a shell does.
// Throws std::runtime_error when the program cannot be started.
int runChildProcess(const std::vector<std::string>& command, const std::map<std::string, std::string>& environment);

} // namespace velmorsim
