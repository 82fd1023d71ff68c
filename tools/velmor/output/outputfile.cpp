#include "output/outputfile.h"

#include <fstream>
#include <stdexcept>

namespace velmorcli {

void writeOutputFile(const std::filesystem::path& path, const std::function<void(std::ostream&)>& write)
{
    std::ofstream file(path, std::ios::binary | std::ios::trunc);
    if (file) {
        write(file);
        file.close();
    }
    if (!file) {
        throw std::runtime_error("cannot write " + path.string());
    }
}

} // namespace velmorcli
