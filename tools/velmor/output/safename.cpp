#include "output/safename.h"

#include <algorithm>
#include <cctype>

namespace velmorcli {

std::string fileNameSafe(const std::string& text)
{
    std::string safe = text;
    std::replace_if(
        safe.begin(), safe.end(),
        [](unsigned char c) { return !(std::isalnum(c) || c == '-' || c == '_' || c == '.'); }, '_');
    return safe;
}

} // namespace velmorcli
