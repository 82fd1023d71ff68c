#pragma once

#include <filesystem>
#include <functional>
#include <ostream>

namespace velmorcli {

// Writes a whole output file (replacing it) through `write`; throws
// std::runtime_error naming the file when it cannot be written.
void writeOutputFile(const std::filesystem::path& path, const std::function<void(std::ostream&)>& write);

} // namespace velmorcli
