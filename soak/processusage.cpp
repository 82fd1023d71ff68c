#include "processusage.h"

#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>

namespace {

int entriesIn(const char* directory)
{
    std::error_code error;
    const std::filesystem::directory_iterator entries(directory, error);
    return error ? -1 : static_cast<int>(std::distance(entries, std::filesystem::directory_iterator()));
}

long readResidentKiB()
{
    std::ifstream statm("/proc/self/statm");
    long totalPages = 0;
    long residentPages = 0;
    statm >> totalPages >> residentPages;
    return residentPages * (sysconf(_SC_PAGESIZE) / 1024);
}

} // namespace

ProcessUsage ProcessUsage::now()
{
    ProcessUsage usage;
    usage.residentKiB = readResidentKiB();
    // Less the descriptor that lists the directory.
    usage.openDescriptors = entriesIn("/proc/self/fd") - 1;
    usage.threads = entriesIn("/proc/self/task");
    return usage;
}

std::string ProcessUsage::describe() const
{
    std::ostringstream text;
    text << "resident " << residentKiB / 1024.0 << " MiB, open descriptors " << openDescriptors << ", threads "
         << threads;
    return text.str();
}
