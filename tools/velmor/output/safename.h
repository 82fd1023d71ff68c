#pragma once

#include <string>

namespace velmorcli {

// `text` with every character other than letters, digits, '-', '_' and '.'
// replaced by '_': serial numbers are the device's to choose, and they end
// up in file and group names.
std::string fileNameSafe(const std::string& text);

} // namespace velmorcli
